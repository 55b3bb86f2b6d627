#include "cli/MonitorText.h"

#include <chrono>
#include <ctime>

#include <fmt/chrono.h>
#include <fmt/format.h>

#include "download/FirmwareReader.h"

void CReceivedText::StartLine(std::string& strOut, const std::string& strStamp)
{
    if (!m_bAtLineStart)
        return;
    if (m_bTimestamps)
        strOut += strStamp;
    m_bAtLineStart = false;
}

void CReceivedText::EndLine(std::string& strOut, const std::string& strStamp)
{
    // An empty line still shows when it came.
    StartLine(strOut, strStamp);
    strOut += '\n';
    m_bAtLineStart = true;
}

std::string CReceivedText::Take(const uint8_t* pBytes, size_t nLength, const std::string& strStamp)
{
    return m_bHex ? TakeHex(pBytes, nLength, strStamp) : TakeText(pBytes, nLength, strStamp);
}

std::string CReceivedText::TakeHex(const uint8_t* pBytes, size_t nLength, const std::string& strStamp)
{
    std::string strOut;
    for (size_t i = 0; i < nLength; ++i) {
        if (!m_bAtLineStart)
            strOut += ' ';
        StartLine(strOut, strStamp);
        strOut += fmt::format("{:02X}", pBytes[i]);
        if (pBytes[i] == '\n' || ++m_nHexInLine == kMonitorHexPerLine) {
            EndLine(strOut, strStamp);
            m_nHexInLine = 0;
        }
    }
    return strOut;
}

std::string CReceivedText::TakeText(const uint8_t* pBytes, size_t nLength, const std::string& strStamp)
{
    std::string strBytes;
    strBytes.reserve(nLength);
    for (size_t i = 0; i < nLength; ++i) {
        if (pBytes[i] != 0)
            strBytes += static_cast<char>(pBytes[i]);
    }
    const std::string strText = m_decoder.Decode(reinterpret_cast<const uint8_t*>(strBytes.data()), strBytes.size());
    std::string strOut;
    // Runs between line ends are escaped whole, so that a C1 control
    // (two bytes in UTF-8) is seen as one.
    size_t nRunStart = 0;
    const auto flushRun = [&](size_t nEnd) {
        if (nEnd > nRunStart) {
            StartLine(strOut, strStamp);
            strOut += ShownFileText(std::string_view(strText).substr(nRunStart, nEnd - nRunStart), std::string::npos);
        }
    };
    for (size_t i = 0; i < strText.size(); ++i) {
        const char c = strText[i];
        if (c != '\r' && c != '\n') {
            m_cLastLineEnd = 0;
            continue;
        }
        flushRun(i);
        nRunStart = i + 1;
        // CR LF and LF CR end one line; two alike end two.
        if (m_cLastLineEnd != 0 && m_cLastLineEnd != c) {
            m_cLastLineEnd = 0;
            continue;
        }
        EndLine(strOut, strStamp);
        m_cLastLineEnd = c;
    }
    flushRun(strText.size());
    return strOut;
}

std::string CReceivedText::Finish()
{
    m_decoder.Reset();
    m_cLastLineEnd = 0;
    m_nHexInLine = 0;
    if (m_bAtLineStart)
        return std::string();
    m_bAtLineStart = true;
    return "\n";
}

std::string MonitorTimeStamp()
{
    using namespace std::chrono;
    const auto now = system_clock::now();
    const auto nMs = duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000;
    return fmt::format("[{:%H:%M:%S}.{:03}] ", fmt::localtime(system_clock::to_time_t(now)), nMs);
}

bool CTypedLine::TakeKeys(std::string_view keys, std::vector<std::string>& vecLines)
{
    for (const char c : keys) {
        const auto byte = static_cast<uint8_t>(c);
        const bool bAfterCr = m_bAfterCr;
        m_bAfterCr = false;
        if (m_nEscape == 1) {
            m_nEscape = (c == '[' || c == 'O') ? 2 : 0;
            continue;
        }
        if (m_nEscape == 2) {
            if (byte >= 0x40 && byte <= 0x7E)
                m_nEscape = 0;
            continue;
        }
        if (c == kMonitorQuitKey || c == kMonitorInterruptKey)
            return true;
        if (c == '\r' || (c == '\n' && !bAfterCr)) {
            vecLines.push_back(m_strText);
            m_strText.clear();
            m_bAfterCr = c == '\r';
        } else if (c == '\x7F' || c == '\b') {
            // A whole character: its UTF-8 continuation bytes go with it.
            while (!m_strText.empty() && (static_cast<uint8_t>(m_strText.back()) & 0xC0) == 0x80)
                m_strText.pop_back();
            if (!m_strText.empty())
                m_strText.pop_back();
        } else if (c == '\x15') {
            m_strText.clear();
        } else if (c == '\x1B') {
            m_nEscape = 1;
        } else if (byte >= 0x20) {
            m_strText += c;
        }
    }
    return false;
}

void CTypedLine::TakeText(std::string_view text, std::vector<std::string>& vecLines)
{
    for (const char c : text) {
        if (c != '\n') {
            m_strText += c;
            continue;
        }
        if (!m_strText.empty() && m_strText.back() == '\r')
            m_strText.pop_back();
        vecLines.push_back(m_strText);
        m_strText.clear();
    }
}

bool CTypedLine::TakeRest(std::string& strLine)
{
    strLine = m_strText;
    m_strText.clear();
    if (!strLine.empty() && strLine.back() == '\r')
        strLine.pop_back();
    return !strLine.empty();
}

std::string MonitorLineBytes(const std::string& strLine, const std::string& strLineEnd)
{
    return Utf8ToCodePage936(strLine) + strLineEnd;
}

std::string MonitorLineEnd(const std::string& strName)
{
    if (strName == "cr")
        return "\r";
    if (strName == "lf")
        return "\n";
    return strName == "crlf" ? "\r\n" : std::string();
}
