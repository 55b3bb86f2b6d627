#pragma once
// Owns one device-information set of the set-up API and destroys it when
// dropped.
#include <windows.h>

#include <setupapi.h>

class CDevInfoSet {
public:
    explicit CDevInfoSet(HDEVINFO hSet) : m_hSet(hSet) {}
    ~CDevInfoSet()
    {
        if (IsValid())
            ::SetupDiDestroyDeviceInfoList(m_hSet);
    }
    CDevInfoSet(const CDevInfoSet&) = delete;
    CDevInfoSet& operator=(const CDevInfoSet&) = delete;

    HDEVINFO Get() const { return m_hSet; }
    bool IsValid() const { return m_hSet != INVALID_HANDLE_VALUE; }

private:
    HDEVINFO m_hSet;
};
