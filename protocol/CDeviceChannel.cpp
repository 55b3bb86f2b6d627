#include "protocol/CDeviceChannel.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <vector>

#include <fmt/format.h>

#include "protocol/Checksums.h"
#include "core/MessageBoxes.h"
#include "serial/ComPortMap.h"

namespace {
// Frames longer than this are built on the heap; every frame in use is shorter.
constexpr int kSmallFrame = 64;

// Hands each flash command that writes a block to send, in order, until
// send returns 0: set the address, then the bytes. The device writes whole
// words at even addresses: an odd start gets one byte first, then pairs,
// then any odd byte left. send gets the code, its data, their length and
// whether it is the block's last command.
template <typename FSend>
int ForEachWriteCommand(int nAddress, int nLength, const uint8_t* pData, FSend send)
{
    const uint8_t address[3] = {static_cast<uint8_t>(nAddress >> 16), static_cast<uint8_t>(nAddress >> 8),
                                static_cast<uint8_t>(nAddress)};
    if (!send(kFlashSetAddress, address, 3, nLength == 0))
        return 0;
    int nOffset = 0;
    if ((nAddress & 1) && nLength > 0) {
        if (!send(kFlashWriteOne, pData, 1, nLength == 1))
            return 0;
        nOffset = 1;
    }
    for (; nOffset + 1 < nLength; nOffset += 2) {
        if (!send(kFlashWriteTwo, pData + nOffset, 2, nOffset + 2 == nLength))
            return 0;
    }
    if (nOffset < nLength && !send(kFlashWriteOne, pData + nOffset, 1, true))
        return 0;
    return 1;
}

long long MicrosecondsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start).count();
}
}  // namespace

CDeviceChannel::CDeviceChannel() = default;

CDeviceChannel::~CDeviceChannel() = default;

int CDeviceChannel::OpenPort(int nPort, int nBaudRate)
{
    const std::string strPath = m_pComPorts ? m_pComPorts->Path(nPort) : std::string();
    return OpenLink(nPort, strPath, nBaudRate, ComName(nPort));
}

int CDeviceChannel::OpenPortPath(const std::string& strPath, int nBaudRate)
{
    return OpenLink(0, strPath, nBaudRate, strPath);
}

int CDeviceChannel::OpenLink(int nPort, const std::string& strPath, int nBaudRate, const std::string& strName)
{
    // The device always talks 8 data bits, no parity, one stop bit.
    m_link.SetLineParameters(nBaudRate, 0, 0, 8, 0);
    if (!m_link.Open(nPort, strPath)) {
        m_strError = fmt::format("Open {} failed, BaudRate = {}.", strName, nBaudRate);
        return 0;
    }
    m_bOpen = 1;
    // A running application may talk unasked (a banner): what it sent before
    // the first request is no reply to it.
    m_bStaleInput = true;
    m_dqPosted.clear();
    m_nFastestIapUs = -1;
    return 1;
}

void CDeviceChannel::ClosePort()
{
    m_link.Close();
    m_bOpen = 0;
}

int CDeviceChannel::SendBytes(int nLength, const uint8_t* pData)
{
    return m_link.Write(pData, nLength);
}

int CDeviceChannel::ReceiveBytes(int nCount, uint8_t* pBuffer)
{
    int nStored = 0;
    uint32_t value = 0;
    while (nStored < nCount && m_link.ReadByte(&value))
        pBuffer[nStored++] = static_cast<uint8_t>(value);
    return nStored;
}

int CDeviceChannel::ReceiveAvailable(int nCapacity, uint8_t* pBuffer)
{
    const int n = m_link.ReadAvailable(pBuffer, nCapacity);
    return n < 0 ? 0 : n;
}

void CDeviceChannel::SetExchangeError(uint8_t nCode, const char* pWhat)
{
    m_strError = fmt::format("Command 0x{:02X}: {}.", nCode, pWhat);
}

void CDeviceChannel::ShowMessageBox(const std::string& strText)
{
    if (m_pMessageBoxes)
        m_pMessageBoxes->ShowMessageBox(strText);
}

int CDeviceChannel::WriteFrame(uint8_t nCode, const uint8_t* pFrame, int nLength)
{
    if (m_bStaleInput) {
        // The device speaks only when asked: whatever waits now is the rest
        // of a reply that was given up.
        m_link.DropStaleInput();
        m_bStaleInput = false;
    }
    if (m_link.Write(pFrame, nLength))
        return 1;
    SetExchangeError(nCode, m_link.GetLastFailure().c_str());
    return Failed();
}

int CDeviceChannel::Failed()
{
    m_bStaleInput = true;
    return 0;
}

int CDeviceChannel::ReadReplyByte(uint8_t nCode, uint8_t& value)
{
    uint32_t nValue = 0;
    if (!m_link.ReadByte(&nValue)) {
        SetExchangeError(nCode, m_link.GetLastFailure().c_str());
        return 0;
    }
    value = static_cast<uint8_t>(nValue);
    return 1;
}

int CDeviceChannel::IapCommand(uint8_t nCode, uint8_t* pBuffer, int nFrameLength, int nReplyLength)
{
    if (!pBuffer || nFrameLength < 4 || nReplyLength < 3) {
        SetExchangeError(nCode, "frame too short");
        return 0;
    }
    uint8_t small[kSmallFrame];
    std::vector<uint8_t> large;
    uint8_t* pFrame = small;
    if (nFrameLength > kSmallFrame) {
        large.resize(static_cast<size_t>(nFrameLength));
        pFrame = large.data();
    }
    pFrame[0] = kIapMarker;
    pFrame[1] = nCode;
    std::memcpy(pFrame + 2, pBuffer + 2, static_cast<size_t>(nFrameLength - 4));
    const uint16_t crc = Crc16(pFrame, nFrameLength - 2);
    pFrame[nFrameLength - 2] = static_cast<uint8_t>(crc >> 8);
    pFrame[nFrameLength - 1] = static_cast<uint8_t>(crc);
    const auto start = std::chrono::steady_clock::now();
    if (!WriteFrame(nCode, pFrame, nFrameLength))
        return 0;

    // The reply lands in the caller's buffer; bytes already read stay on failure.
    for (int i = 0; i < nReplyLength; ++i) {
        if (!ReadReplyByte(nCode, pBuffer[i]))
            return Failed();
    }
    const long long nMicroseconds = MicrosecondsSince(start);
    if (m_nFastestIapUs < 0 || nMicroseconds < m_nFastestIapUs)
        m_nFastestIapUs = nMicroseconds;
    const uint8_t nStatus = pBuffer[nReplyLength - 3];
    if (nStatus == kIapAccepted)
        return 1;
    if (nStatus == kIapRefused) {
        SetExchangeError(nCode, "refused by the device, status 0xaa");
        ShowMessageBox("状态返回失败，返回值为0xaa。");
    } else {
        m_strError = fmt::format("Command 0x{:02X}: malformed reply, status 0x{:02x}.", nCode, nStatus);
        ShowMessageBox("命令格式不对，返回内容应为0x55 或 0xaa。");
    }
    return Failed();
}

int CDeviceChannel::FlashCommand(uint8_t nCode, const uint8_t* pData, int nDataLength, int nReplyCount,
                                 uint8_t* pReplyData)
{
    // Arguments are checked before anything is sent: a request that cannot
    // be completed must not reach the device.
    if (nDataLength < 0 || nReplyCount < 0 || (nDataLength > 0 && !pData) ||
        (nCode == kFlashRead && nReplyCount > 0 && !pReplyData)) {
        SetExchangeError(nCode, "bad arguments");
        return 0;
    }
    uint8_t small[kSmallFrame];
    std::vector<uint8_t> large;
    uint8_t* pFrame = small;
    if (nDataLength + 2 > kSmallFrame) {
        large.resize(static_cast<size_t>(nDataLength) + 2);
        pFrame = large.data();
    }
    pFrame[0] = nCode;
    if (nDataLength > 0)
        std::memcpy(pFrame + 1, pData, static_cast<size_t>(nDataLength));
    pFrame[nDataLength + 1] = static_cast<uint8_t>(Sum8(pFrame, nDataLength + 1));
    if (!WriteFrame(nCode, pFrame, nDataLength + 2))
        return 0;

    uint8_t reply[kFlashMaxRead + 2];
    if (CheckReply(nCode, nReplyCount, reply) <= 0)
        return Failed();
    // reply[1..n] is the data; the closing byte after it is not examined.
    if (nCode == kFlashRead && nReplyCount > 0)
        std::memcpy(pReplyData, reply + 1, static_cast<size_t>(nReplyCount));
    return 1;
}

int CDeviceChannel::CheckReply(uint8_t nCode, int nReplyCount, uint8_t* pReply)
{
    // Status, the data, then a closing byte: n + 2 bytes in all. The first two
    // are read before the count is looked at. -1: the line failed; 0: the
    // device's answer is refused.
    if (!ReadReplyByte(nCode, pReply[0]) || !ReadReplyByte(nCode, pReply[1]))
        return -1;
    if ((pReply[0] & 0xF0) != 0xC0) {
        m_strError = fmt::format("Command 0x{:02X}: refused by the device, status 0x{:02x}.", nCode, pReply[0]);
        return 0;
    }
    if (nReplyCount > kFlashMaxRead) {
        m_strError = fmt::format("Command 0x{:02X}: {} bytes are too many to read at once.", nCode, nReplyCount);
        ShowMessageBox(fmt::format("一次性读入:{}数据太多了!", nReplyCount));
        return 0;
    }
    for (int i = 0; i < nReplyCount; ++i) {
        if (!ReadReplyByte(nCode, pReply[i + 2]))
            return -1;
    }
    return 1;
}

int CDeviceChannel::WriteBlock(int nAddress, int nLength, const uint8_t* pData)
{
    if (nLength < 0 || (nLength > 0 && !pData)) {
        SetExchangeError(kFlashSetAddress, "bad arguments");
        return 0;
    }
    return ForEachWriteCommand(nAddress, nLength, pData,
                               [this](uint8_t nCode, const uint8_t* pBytes, int nCount, bool) {
                                   return FlashCommand(nCode, pBytes, nCount, 0);
                               });
}

int CDeviceChannel::ReadBlock(int nAddress, int nLength, uint8_t* pBuffer)
{
    if (nLength <= 0 || !pBuffer) {
        SetExchangeError(kFlashRead, "nothing to read");
        return 0;
    }
    uint8_t address[3] = {static_cast<uint8_t>(nAddress >> 16), static_cast<uint8_t>(nAddress >> 8),
                          static_cast<uint8_t>(nAddress)};
    if (!FlashCommand(kFlashSetAddress, address, 3, 0))
        return 0;
    const uint8_t nCount = static_cast<uint8_t>(nLength);
    return FlashCommand(kFlashRead, &nCount, 1, nLength, pBuffer);
}

void CDeviceChannel::SetWindow(int nWindow)
{
    m_nWindow = std::clamp(nWindow, 1, kMaxWindow);
}

int CDeviceChannel::PostWriteBlock(int nTag, int nAddress, int nLength, const uint8_t* pData, const CBlockDone& done)
{
    if (nLength < 0 || (nLength > 0 && !pData)) {
        SetExchangeError(kFlashSetAddress, "bad arguments");
        return FailPosted(nTag, done);
    }
    return ForEachWriteCommand(nAddress, nLength, pData,
                               [&](uint8_t nCode, const uint8_t* pBytes, int nCount, bool bLast) {
                                   return PostCommand(nCode, pBytes, nCount, 0, nTag, bLast, done);
                               });
}

int CDeviceChannel::PostReadBlock(int nTag, int nAddress, int nLength, const CBlockDone& done)
{
    if (nLength <= 0) {
        SetExchangeError(kFlashRead, "nothing to read");
        return FailPosted(nTag, done);
    }
    const uint8_t address[3] = {static_cast<uint8_t>(nAddress >> 16), static_cast<uint8_t>(nAddress >> 8),
                                static_cast<uint8_t>(nAddress)};
    const uint8_t nCount = static_cast<uint8_t>(nLength);
    return PostCommand(kFlashSetAddress, address, 3, 0, nTag, false, done) &&
           PostCommand(kFlashRead, &nCount, 1, nLength, nTag, true, done);
}

int CDeviceChannel::FinishPosted(const CBlockDone& done)
{
    while (!m_dqPosted.empty()) {
        if (!CompleteOldest(done))
            return 0;
    }
    return 1;
}

int CDeviceChannel::PostCommand(uint8_t nCode, const uint8_t* pData, int nDataLength, int nReplyCount, int nTag,
                                bool bLast, const CBlockDone& done)
{
    while (static_cast<int>(m_dqPosted.size()) >= m_nWindow) {
        if (!CompleteOldest(done))
            return 0;
    }
    uint8_t frame[kSmallFrame];
    frame[0] = nCode;
    std::memcpy(frame + 1, pData, static_cast<size_t>(nDataLength));
    frame[nDataLength + 1] = static_cast<uint8_t>(Sum8(frame, nDataLength + 1));
    if (!WriteFrame(nCode, frame, nDataLength + 2))
        return FailPosted(nTag, done);
    m_dqPosted.push_back({nCode, nReplyCount, nTag, bLast});
    return 1;
}

int CDeviceChannel::FailPosted(int nTag, const CBlockDone& done)
{
    // The replies of the commands already sent come first: the first of them
    // that fails is the failure a strict exchange would have met.
    const std::string strError = m_strError;
    if (!FinishPosted(done))
        return 0;
    m_strError = strError;
    m_nFailedTag = nTag;
    return Failed();
}

int CDeviceChannel::CompleteOldest(const CBlockDone& done)
{
    const CPosted posted = m_dqPosted.front();
    m_dqPosted.pop_front();
    uint8_t reply[kFlashMaxRead + 2];
    const int nChecked = CheckReply(posted.nCode, posted.nReplyCount, reply);
    if (nChecked > 0) {
        if (posted.bLast && done)
            done(posted.nTag, posted.nCode == kFlashRead ? reply + 1 : nullptr);
        return 1;
    }
    m_nFailedTag = posted.nTag;
    // Nothing more is sent. The replies still due are read, each as its
    // status says (a refused command answers without data), while the line
    // keeps delivering within its limit; a line that already failed has
    // waited its limit and dropped its input.
    for (bool bLineAlive = nChecked == 0; bLineAlive && !m_dqPosted.empty(); m_dqPosted.pop_front()) {
        uint32_t nStatus = 0, nByte = 0;
        bLineAlive = m_link.ReadByte(&nStatus) && m_link.ReadByte(&nByte);
        const int nData = (nStatus & 0xF0) == 0xC0 ? std::min(m_dqPosted.front().nReplyCount, kFlashMaxRead) : 0;
        for (int i = 0; bLineAlive && i < nData; ++i)
            bLineAlive = m_link.ReadByte(&nByte);
    }
    m_dqPosted.clear();
    return Failed();
}
