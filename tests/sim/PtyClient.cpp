#include "PtyClient.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include "protocol/Checksums.h"

namespace {
using Clock = std::chrono::steady_clock;

int MsLeft(Clock::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}
}  // namespace

bool CPtyClient::Open(const std::string& strPath)
{
    m_fd.Reset(::open(strPath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!m_fd.IsValid())
        return false;
    termios tio {};
    if (tcgetattr(m_fd.Get(), &tio) != 0)
        return false;
    cfmakeraw(&tio);
    return tcsetattr(m_fd.Get(), TCSANOW, &tio) == 0;
}

bool CPtyClient::Write(const Bytes& vecData)
{
    size_t nDone = 0;
    while (nDone < vecData.size()) {
        const ssize_t n = ::write(m_fd.Get(), vecData.data() + nDone, vecData.size() - nDone);
        if (n > 0) {
            nDone += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN)
            return false;
        pollfd fd {m_fd.Get(), POLLOUT, 0};
        if (poll(&fd, 1, 2000) <= 0)
            return false;
    }
    return true;
}

Bytes CPtyClient::Read(size_t nCount, int nTimeoutMs)
{
    Bytes vecData;
    const auto deadline = Clock::now() + std::chrono::milliseconds(nTimeoutMs);
    while (vecData.size() < nCount) {
        pollfd fd {m_fd.Get(), POLLIN, 0};
        if (poll(&fd, 1, MsLeft(deadline)) <= 0 || !(fd.revents & POLLIN))
            break;
        uint8_t abBuffer[512];
        const size_t nWant = std::min(sizeof(abBuffer), nCount - vecData.size());
        const ssize_t n = ::read(m_fd.Get(), abBuffer, nWant);
        if (n <= 0)
            break;
        vecData.insert(vecData.end(), abBuffer, abBuffer + n);
    }
    return vecData;
}

Bytes CPtyClient::ReadUntilQuiet(int nQuietMs)
{
    Bytes vecData;
    for (;;) {
        Bytes vecMore = Read(4096, nQuietMs);
        if (vecMore.empty())
            return vecData;
        vecData.insert(vecData.end(), vecMore.begin(), vecMore.end());
    }
}

Bytes CPtyClient::Exchange(const Bytes& vecRequest, size_t nReply, int nTimeoutMs)
{
    if (!Write(vecRequest))
        return {};
    return Read(nReply, nTimeoutMs);
}

bool CPtyClient::SeesHangUp(int nTimeoutMs)
{
    pollfd fd {m_fd.Get(), POLLIN, 0};
    if (poll(&fd, 1, nTimeoutMs) <= 0)
        return false;
    if (fd.revents & (POLLHUP | POLLERR))
        return true;
    uint8_t nByte = 0;
    const ssize_t n = ::read(m_fd.Get(), &nByte, 1);
    return n == 0 || (n < 0 && errno == EIO);
}

Bytes IapFrame(uint8_t nCode, const std::array<uint8_t, 6>& payload)
{
    Bytes vecFrame {0xFE, nCode};
    vecFrame.insert(vecFrame.end(), payload.begin(), payload.end());
    const uint16_t nCrc = Crc16(vecFrame.data(), 8);
    vecFrame.push_back(static_cast<uint8_t>(nCrc >> 8));
    vecFrame.push_back(static_cast<uint8_t>(nCrc));
    return vecFrame;
}

Bytes IapReply(uint8_t nCode, const std::array<uint8_t, 5>& data, uint8_t nStatus)
{
    Bytes vecReply {0xFE, nCode};
    vecReply.insert(vecReply.end(), data.begin(), data.end());
    vecReply.push_back(nStatus);
    const uint16_t nCrc = Crc16(vecReply.data(), 8);
    vecReply.push_back(static_cast<uint8_t>(nCrc >> 8));
    vecReply.push_back(static_cast<uint8_t>(nCrc));
    return vecReply;
}

Bytes FlashFrame(uint8_t nCode, const Bytes& vecData)
{
    Bytes vecFrame {nCode};
    vecFrame.insert(vecFrame.end(), vecData.begin(), vecData.end());
    vecFrame.push_back(static_cast<uint8_t>(Sum8(vecFrame.data(), static_cast<int>(vecFrame.size()))));
    return vecFrame;
}

Bytes Concat(const std::vector<Bytes>& vecParts)
{
    Bytes vecAll;
    for (const Bytes& vecPart : vecParts)
        vecAll.insert(vecAll.end(), vecPart.begin(), vecPart.end());
    return vecAll;
}
