// The serial terminal on the download channel: send a string once, and poll
// what arrives into the log.
#include <vector>

#include <fmt/format.h>

#include "download/CLoader.h"
#include "terminal/HexText.h"

namespace {
// The most bytes one poll takes; the rest waits for the next poll.
constexpr int kPollBytes = 2048;
}  // namespace

void CLoader::ManualSend(const std::string& strSend, int nSendMode)
{
    if (!m_bIdle.load())
        return;
    if (nSendMode == 1) {
        std::vector<uint8_t> bytes;
        std::string strBadToken;
        if (!HexStringToBytes(strSend, bytes, strBadToken)) {
            Log(fmt::format("## \"{}\" is not hex: nothing was sent\r\n", strBadToken), kLogRed);
            return;
        }
        if (!bytes.empty())
            m_channel.SendBytes(static_cast<int>(bytes.size()), bytes.data());
        return;
    }
    const std::string strBytes = Utf8ToCodePage936(strSend);
    if (!strBytes.empty())
        m_channel.SendBytes(static_cast<int>(strBytes.size()), reinterpret_cast<const uint8_t*>(strBytes.data()));
}

void CLoader::PollReceive()
{
    if (!m_bIdle.load())
        return;
    uint8_t buffer[kPollBytes];
    const int n = m_channel.ReceiveAvailable(kPollBytes, buffer);
    // A zero byte would end the text where the log takes it: it is dropped.
    int nKept = 0;
    for (int i = 0; i < n; ++i) {
        if (buffer[i] != 0)
            buffer[nKept++] = buffer[i];
    }
    const std::string strText = m_receiveDecoder.Decode(buffer, static_cast<size_t>(nKept));
    if (!strText.empty()) {
        m_bReceivedMidLine = strText.back() != '\n';
        Log(strText, kLogBlack);
    }
}

void CLoader::StartTerminalSession()
{
    // A lead byte left over from the port before is no half of a character
    // from this one.
    m_receiveDecoder.Reset();
    m_bReceivedMidLine = false;
}

std::string CLoader::EndTerminalSession()
{
    const bool bMidLine = m_bReceivedMidLine;
    StartTerminalSession();
    return bMidLine ? "\r\n" : "";
}
