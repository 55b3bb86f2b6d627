#pragma once
// Owns one file descriptor and closes it when dropped.
#include <unistd.h>

#include <utility>

class CUniqueFd {
public:
    CUniqueFd() = default;
    explicit CUniqueFd(int fd) : m_fd(fd) {}
    ~CUniqueFd() { Reset(); }
    CUniqueFd(CUniqueFd&& other) noexcept : m_fd(std::exchange(other.m_fd, -1)) {}
    CUniqueFd& operator=(CUniqueFd&& other) noexcept
    {
        if (this != &other)
            Reset(std::exchange(other.m_fd, -1));
        return *this;
    }
    CUniqueFd(const CUniqueFd&) = delete;
    CUniqueFd& operator=(const CUniqueFd&) = delete;

    int Get() const { return m_fd; }
    // Gives the descriptor up to a new owner.
    int Release() { return std::exchange(m_fd, -1); }
    // Closes now; false when close itself failed (a write may be lost).
    bool Close() { return m_fd < 0 || ::close(std::exchange(m_fd, -1)) == 0; }
    bool IsValid() const { return m_fd >= 0; }
    void Reset(int fd = -1)
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = fd;
    }

private:
    int m_fd = -1;
};
