#pragma once
// Owns one Win32 kernel handle (a file, an event) and closes it when dropped.
#include <utility>

#include <windows.h>

class CUniqueHandle {
public:
    CUniqueHandle() = default;
    // INVALID_HANDLE_VALUE and null both mean "none": CreateFile gives the
    // first on failure, CreateEvent the second.
    explicit CUniqueHandle(HANDLE h) : m_h(h) {}
    ~CUniqueHandle() { Reset(); }
    CUniqueHandle(CUniqueHandle&& other) noexcept : m_h(std::exchange(other.m_h, nullptr)) {}
    CUniqueHandle& operator=(CUniqueHandle&& other) noexcept
    {
        if (this != &other)
            Reset(std::exchange(other.m_h, nullptr));
        return *this;
    }
    CUniqueHandle(const CUniqueHandle&) = delete;
    CUniqueHandle& operator=(const CUniqueHandle&) = delete;

    HANDLE Get() const { return m_h; }
    bool IsValid() const { return m_h != nullptr && m_h != INVALID_HANDLE_VALUE; }
    // Gives the handle up to a new owner.
    HANDLE Release() { return std::exchange(m_h, nullptr); }
    // Closes now; false when closing failed (a write may be lost).
    bool Close()
    {
        const HANDLE h = std::exchange(m_h, nullptr);
        return h == nullptr || h == INVALID_HANDLE_VALUE || ::CloseHandle(h) != 0;
    }
    void Reset(HANDLE h = nullptr)
    {
        Close();
        m_h = h;
    }

private:
    HANDLE m_h = nullptr;
};
