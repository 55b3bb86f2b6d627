#pragma once
// A bare pseudo-terminal whose master side the test drives by hand: the far
// end of the line, for link-level behaviour the simulator cannot stage
// (a far end that stops reading, or one that writes at a chosen moment).
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

class CPtyPair {
public:
    CPtyPair()
    {
        m_master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (m_master < 0 || ::grantpt(m_master) != 0 || ::unlockpt(m_master) != 0)
            return;
        m_strSlave = ::ptsname(m_master);
        // Keep the line up while the link under test opens and closes it. The
        // line keeps a new tty's kernel defaults (echo, XON/XOFF, CR/NL
        // mapping), as a freshly plugged adapter does: making it raw is the
        // link's job.
        m_slaveKeeper = ::open(m_strSlave.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    }
    ~CPtyPair()
    {
        CloseMaster();
        if (m_slaveKeeper >= 0)
            ::close(m_slaveKeeper);
    }
    CPtyPair(const CPtyPair&) = delete;
    CPtyPair& operator=(const CPtyPair&) = delete;

    const std::string& SlavePath() const { return m_strSlave; }
    int SlaveKeeper() const { return m_slaveKeeper; }

    void Send(const std::vector<uint8_t>& bytes) const
    {
        size_t nDone = 0;
        while (nDone < bytes.size()) {
            const ssize_t n = ::write(m_master, bytes.data() + nDone, bytes.size() - nDone);
            if (n <= 0)
                return;
            nDone += static_cast<size_t>(n);
        }
    }
    // Everything that arrives within nTimeoutMs of quiet.
    std::vector<uint8_t> Receive(int nTimeoutMs = 200) const
    {
        std::vector<uint8_t> bytes;
        uint8_t buffer[4096];
        pollfd pfd {m_master, POLLIN, 0};
        while (::poll(&pfd, 1, nTimeoutMs) > 0) {
            const ssize_t n = ::read(m_master, buffer, sizeof buffer);
            if (n <= 0)
                break;
            bytes.insert(bytes.end(), buffer, buffer + n);
        }
        return bytes;
    }
    void CloseMaster()
    {
        if (m_master >= 0)
            ::close(m_master);
        m_master = -1;
    }

private:
    int m_master = -1;
    int m_slaveKeeper = -1;
    std::string m_strSlave;
};
