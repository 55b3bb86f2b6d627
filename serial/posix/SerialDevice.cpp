// POSIX serial device: termios raw mode, exclusive open, poll-based waits.
#include "serial/SerialDevice.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <fmt/format.h>

#include "core/CUniqueFd.h"
#include "serial/posix/SystemLine.h"
#include "serial/posix/OpenFailure.h"

namespace {

using Clock = std::chrono::steady_clock;

// Milliseconds left until the deadline, never negative.
int RemainingMs(Clock::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// Waits until fd is ready for nWanted or the deadline passes: kOk with the
// events that came, kTimeout, or kError.
EIoStatus WaitUntil(int fd, short nWanted, Clock::time_point deadline, short& nEvents)
{
    for (;;) {
        pollfd pfd {fd, nWanted, 0};
        const int nReady = ::poll(&pfd, 1, RemainingMs(deadline));
        if (nReady < 0 && errno == EINTR)
            continue;
        if (nReady < 0)
            return EIoStatus::kError;
        if (nReady == 0)
            return EIoStatus::kTimeout;
        nEvents = pfd.revents;
        return EIoStatus::kOk;
    }
}

speed_t StandardSpeed(int nBaudRate)
{
    switch (nBaudRate) {
    case 1200: return B1200;
    case 2400: return B2400;
    case 4800: return B4800;
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    case 230400: return B230400;
    case 460800: return B460800;
    case 921600: return B921600;
    default: return B0;
    }
}

// Fully raw 8-bit transfer with the caller's framing. A new Linux tty starts
// with XON/XOFF, CR/NL mapping and echo on, which would eat or change the
// protocol's 0x11, 0x13, 0x0D and 0x0A: all of that goes. Only hardware flow
// control (CRTSCTS) stays as the driver reports it.
void MakeRaw(termios& tio, const CLineSettings& settings)
{
    tio.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IGNPAR | INPCK |
                                          IXON | IXOFF | IXANY | IUCLC | IMAXBEL | IUTF8);
    if (settings.bParityCheck && settings.nParity != 0)
        tio.c_iflag |= INPCK;
    tio.c_oflag &= ~static_cast<tcflag_t>(OPOST | ONLCR | OCRNL | ONOCR | ONLRET | OLCUC | OFILL);
    tio.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHOE | ECHOK | ECHONL | ECHOCTL | ECHOKE | ECHOPRT | ICANON | ISIG |
                                          IEXTEN | XCASE | TOSTOP | NOFLSH);

    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB);
    tio.c_cflag |= CREAD | CLOCAL;
    switch (settings.nDataBits) {
    case 5: tio.c_cflag |= CS5; break;
    case 6: tio.c_cflag |= CS6; break;
    case 7: tio.c_cflag |= CS7; break;
    default: tio.c_cflag |= CS8; break;
    }
    switch (settings.nParity) {
    case 1: tio.c_cflag |= PARENB | PARODD; break;
    case 2: tio.c_cflag |= PARENB; break;
    case 3: tio.c_cflag |= PARENB | CMSPAR | PARODD; break;
    case 4: tio.c_cflag |= PARENB | CMSPAR; break;
    default: break;
    }
    // One and a half stop bits exist only for 5-bit characters; POSIX
    // offers two, which the receiver accepts as well.
    if (settings.nStopBits != 0)
        tio.c_cflag |= CSTOPB;
    // A read with nothing queued says EAGAIN, so a read of 0 means hang-up.
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
}

}  // namespace

CSerialDevice::CSerialDevice() = default;

CSerialDevice::~CSerialDevice()
{
    Close();
}

std::string SystemComPortPath(int)
{
    return std::string();  // COM numbers here are what the COM map makes them
}

std::string DeviceIdentity(const std::string& strPath)
{
    struct stat info {};
    if (strPath.empty() || ::stat(strPath.c_str(), &info) != 0)
        return std::string();
    // A device node and every link to it (or another node made for it) share
    // the device number; a restarted pseudo-terminal gets a new one.
    if (S_ISCHR(info.st_mode))
        return fmt::format("char {}", static_cast<unsigned long long>(info.st_rdev));
    return fmt::format("file {}:{}", static_cast<unsigned long long>(info.st_dev),
                       static_cast<unsigned long long>(info.st_ino));
}

bool CSerialDevice::Open(const std::string& strPath, const CLineSettings& settings, std::string& strError)
{
    Close();
    const int fd = ::open(strPath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        strError = OpenErrorReason(strPath, errno);
        return false;
    }
    CUniqueFd guard(fd);
    // Before any line setting: raw mode on the console or on our own
    // terminal would take it from whoever uses it.
    strError = NotSerialReason(fd);
    if (!strError.empty())
        return false;
    // Two locks: flock keeps out programs that honour it (and a second open of
    // ours, even as root); TIOCEXCL keeps out those that do not.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        struct stat info {};
        strError = HeldByReason(strPath, ::fstat(fd, &info) == 0 ? info.st_rdev : 0);
        return false;
    }
    ::ioctl(fd, TIOCEXCL);

    termios tio {};
    if (::tcgetattr(fd, &tio) != 0) {
        strError = fmt::format("not a serial device ({})", std::strerror(errno));
        return false;
    }
    MakeRaw(tio, settings);
    const speed_t speed = StandardSpeed(settings.nBaudRate);
    if (speed != B0)
        ::cfsetspeed(&tio, speed);
    if (::tcsetattr(fd, TCSANOW, &tio) != 0) {
        strError = fmt::format("the driver refused the line settings ({})", std::strerror(errno));
        return false;
    }
    if (speed == B0 && !SetBaudRate(fd, settings.nBaudRate)) {
        strError = "the driver refused the bit rate";
        return false;
    }

    // DTR held off. Modem-control calls fail on a pseudo-terminal; that is fine.
    int nDtr = TIOCM_DTR;
    ::ioctl(fd, TIOCMBIC, &nDtr);
    SetLowLatency(fd);

    m_fd = guard.Release();
    m_nRxHead = m_nRxTail = 0;
    return true;
}

void CSerialDevice::Close()
{
    if (m_fd < 0)
        return;
    ::ioctl(m_fd, TIOCNXCL);
    ::close(m_fd);
    m_fd = -1;
    m_nRxHead = m_nRxTail = 0;
}

bool CSerialDevice::IsOpen() const
{
    return m_fd >= 0;
}

EIoStatus CSerialDevice::Write(const uint8_t* pData, size_t nLength, int nTimeoutMs)
{
    if (m_fd < 0)
        return EIoStatus::kError;
    const auto deadline = Clock::now() + std::chrono::milliseconds(nTimeoutMs);
    size_t nDone = 0;
    while (nDone < nLength) {
        const ssize_t n = ::write(m_fd, pData + nDone, nLength - nDone);
        if (n > 0) {
            nDone += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN)
            return (errno == EIO || errno == ENXIO || errno == ENODEV) ? EIoStatus::kGone : EIoStatus::kError;
        short nEvents = 0;
        const EIoStatus wait = WaitUntil(m_fd, POLLOUT, deadline, nEvents);
        if (wait != EIoStatus::kOk)
            return wait;
        if (nEvents & (POLLHUP | POLLERR | POLLNVAL))
            return EIoStatus::kGone;
    }
    return EIoStatus::kOk;
}

EIoStatus CSerialDevice::FillBuffer(int nTimeoutMs)
{
    // Poll first: a reply is awaited, so a read before it would almost always
    // fail with EAGAIN and cost a system call per reply.
    const auto deadline = Clock::now() + std::chrono::milliseconds(nTimeoutMs);
    bool bWaited = nTimeoutMs == 0;
    for (;;) {
        if (!bWaited) {
            short nEvents = 0;
            const EIoStatus wait = WaitUntil(m_fd, POLLIN, deadline, nEvents);
            if (wait != EIoStatus::kOk)
                return wait;
            if (nEvents & POLLNVAL)
                return EIoStatus::kError;
            // POLLIN or POLLHUP: the read tells which.
        }
        const ssize_t n = ::read(m_fd, m_rxBuffer, sizeof m_rxBuffer);
        if (n > 0) {
            m_nRxHead = 0;
            m_nRxTail = static_cast<size_t>(n);
            return EIoStatus::kOk;
        }
        if (n == 0)
            return EIoStatus::kGone;  // hung up: the far end closed
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN)
            return (errno == EIO || errno == ENXIO || errno == ENODEV) ? EIoStatus::kGone : EIoStatus::kError;
        if (RemainingMs(deadline) == 0)
            return EIoStatus::kTimeout;
        bWaited = false;  // woken without data (a spurious wake-up): wait again
    }
}

void CSerialDevice::Purge()
{
    if (m_fd >= 0)
        ::tcflush(m_fd, TCIOFLUSH);
    m_nRxHead = m_nRxTail = 0;
}

size_t CSerialDevice::PendingOutput() const
{
    int nQueued = 0;
    if (m_fd < 0 || ::ioctl(m_fd, TIOCOUTQ, &nQueued) != 0 || nQueued < 0)
        return 0;
    return static_cast<size_t>(nQueued);
}

void CSerialDevice::DropStaleInput(int nQuietMs, int nLimitMs)
{
    m_nRxHead = m_nRxTail = 0;
    if (m_fd < 0)
        return;
    ::tcflush(m_fd, TCIFLUSH);
    // The flush takes only what has arrived; the rest of a reply may still be
    // on the line. Drop until nothing came for nQuietMs, bounded in all.
    const auto limit = Clock::now() + std::chrono::milliseconds(nLimitMs);
    while (RemainingMs(limit) > 0) {
        pollfd pfd {m_fd, POLLIN, 0};
        const int nReady = ::poll(&pfd, 1, std::min(nQuietMs, RemainingMs(limit)));
        if (nReady < 0 && errno == EINTR)
            continue;
        if (nReady <= 0 || !(pfd.revents & POLLIN))
            break;
        uint8_t discard[256];
        if (::read(m_fd, discard, sizeof discard) <= 0)
            break;
    }
    m_nRxHead = m_nRxTail = 0;
}
