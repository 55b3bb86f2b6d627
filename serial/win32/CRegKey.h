#pragma once
// Owns one open registry key and closes it when dropped.
#include <windows.h>

#include <utility>

class CRegKey {
public:
    CRegKey() = default;
    explicit CRegKey(HKEY hKey) : m_hKey(hKey) {}
    ~CRegKey() { Reset(); }
    CRegKey(CRegKey&& other) noexcept : m_hKey(std::exchange(other.m_hKey, nullptr)) {}
    CRegKey& operator=(CRegKey&& other) noexcept
    {
        if (this != &other)
            Reset(std::exchange(other.m_hKey, nullptr));
        return *this;
    }
    CRegKey(const CRegKey&) = delete;
    CRegKey& operator=(const CRegKey&) = delete;

    HKEY Get() const { return m_hKey; }
    bool IsOpen() const { return m_hKey != nullptr; }
    // Opens a subkey of hParent for reading in place of the key held now;
    // false, and nothing held, when it cannot be opened.
    bool OpenForReading(HKEY hParent, const wchar_t* pszName)
    {
        HKEY hKey = nullptr;
        const bool bOpened = ::RegOpenKeyExW(hParent, pszName, 0, KEY_READ, &hKey) == ERROR_SUCCESS;
        Reset(bOpened ? hKey : nullptr);
        return bOpened;
    }
    void Reset(HKEY hKey = nullptr)
    {
        if (m_hKey != nullptr)
            ::RegCloseKey(m_hKey);
        m_hKey = hKey;
    }

private:
    HKEY m_hKey = nullptr;
};
