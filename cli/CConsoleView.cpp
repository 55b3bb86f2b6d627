#include "cli/CConsoleView.h"

#include <cstdint>
#include <cstdio>
#include <utility>

#include <fmt/format.h>

#include "cli/Console.h"
#include "download/FirmwareReader.h"

// Black stays the terminal's own foreground, so it reads on dark and light
// backgrounds alike.
const char* TerminalColourCode(int nColour)
{
    switch (nColour) {
    case 1: return "\033[31m";
    case 2: return "\033[1;31m";
    case 3: return "\033[1;34m";
    case 4: return "\033[32m";
    default: return nullptr;
    }
}

std::string ProgressText(int nPosition, int nTotal, int nBarWidth)
{
    const int nPercent = nTotal > 0 ? static_cast<int>(int64_t {nPosition} * 100 / nTotal) : 0;
    const int nFilled = nPercent * nBarWidth / 100;
    std::string strBar(static_cast<size_t>(nFilled), '#');
    strBar.append(static_cast<size_t>(nBarWidth - nFilled), '.');
    return "[" + strBar + "] " + fmt::format("{:3}% {}/{}", nPercent, nPosition, nTotal);
}

namespace {

bool IsWide(uint32_t nCode)
{
    return (nCode >= 0x1100 && nCode <= 0x115F) || (nCode >= 0x2E80 && nCode <= 0xA4CF) ||
           (nCode >= 0xAC00 && nCode <= 0xD7A3) || (nCode >= 0xF900 && nCode <= 0xFAFF) ||
           (nCode >= 0xFE30 && nCode <= 0xFE4F) || (nCode >= 0xFF00 && nCode <= 0xFF60) ||
           (nCode >= 0xFFE0 && nCode <= 0xFFE6) || (nCode >= 0x1F300 && nCode <= 0x1FAFF) ||
           (nCode >= 0x20000 && nCode <= 0x3FFFD);
}

// The length in bytes of the character at text[nAt], and its columns. A byte
// that starts no valid sequence counts as one character of one column.
std::pair<size_t, size_t> CharacterAt(std::string_view text, size_t nAt)
{
    const auto c = static_cast<uint8_t>(text[nAt]);
    const size_t nLength = c < 0xC0 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : c < 0xF8 ? 4 : 1;
    if (nLength == 1 || nAt + nLength > text.size())
        return {1, 1};
    uint32_t nCode = c & (0x7F >> nLength);
    for (size_t i = 1; i < nLength; ++i) {
        const auto cNext = static_cast<uint8_t>(text[nAt + i]);
        if ((cNext & 0xC0) != 0x80)
            return {1, 1};
        nCode = (nCode << 6) | (cNext & 0x3F);
    }
    return {nLength, IsWide(nCode) ? 2 : 1};
}

// The first characters of text that fill at most nColumns.
size_t BytesOfColumns(std::string_view text, size_t nColumns)
{
    size_t nAt = 0;
    for (size_t nUsed = 0; nAt < text.size();) {
        const auto [nLength, nWidth] = CharacterAt(text, nAt);
        if (nUsed + nWidth > nColumns)
            break;
        nUsed += nWidth;
        nAt += nLength;
    }
    return nAt;
}

// text within nColumns, "…" standing for its middle: the end of a device
// path (its interface and port) tells ports apart more than its start.
std::string MiddleCut(const std::string& strText, size_t nColumns)
{
    const size_t nHead = (nColumns - 1) / 3;
    size_t nTailStart = strText.size();
    for (size_t nTail = 0; nTailStart > 0;) {
        size_t nStart = nTailStart - 1;
        while (nStart > 0 && (static_cast<uint8_t>(strText[nStart]) & 0xC0) == 0x80)
            --nStart;
        const size_t nWidth = CharacterAt(strText, nStart).second;
        if (nTail + nWidth > nColumns - 1 - nHead)
            break;
        nTail += nWidth;
        nTailStart = nStart;
    }
    return strText.substr(0, BytesOfColumns(strText, nHead)) + "\u2026" + strText.substr(nTailStart);
}

}  // namespace

size_t TextColumns(std::string_view text)
{
    size_t nColumns = 0;
    for (size_t nAt = 0; nAt < text.size();) {
        const auto [nLength, nWidth] = CharacterAt(text, nAt);
        nColumns += nWidth;
        nAt += nLength;
    }
    return nColumns;
}

std::string FitLine(const std::string& strName, const std::string& strRest, int nColumns)
{
    const std::string strSeparator = strName.empty() ? "" : ": ";
    const std::string strLine = strName + strSeparator + strRest;
    if (nColumns <= 0)
        return strLine;
    const size_t nRoom = nColumns > 1 ? static_cast<size_t>(nColumns) - 1 : 1;
    if (TextColumns(strLine) <= nRoom)
        return strLine;
    // Enough of a name to tell it apart: its start, "…", its end.
    constexpr size_t kLeastName = 9;
    const size_t nRest = TextColumns(strRest) + strSeparator.size();
    if (strName.empty())
        return strLine.substr(0, BytesOfColumns(strLine, nRoom));
    if (nRoom >= nRest + kLeastName)
        return MiddleCut(strName, nRoom - nRest) + strSeparator + strRest;
    const std::string strShort =
        (TextColumns(strName) <= kLeastName ? strName : MiddleCut(strName, kLeastName)) + strSeparator + strRest;
    return strShort.substr(0, BytesOfColumns(strShort, nRoom));
}

const char* PassWord(ERunPass pass)
{
    // Of one width, so that the bar stays in place from one pass to the next.
    switch (pass) {
    case ERunPass::kWrite: return "writing  ";
    case ERunPass::kRead: return "reading  ";
    case ERunPass::kVerify: break;
    }
    return "verifying";
}

std::string ProgressLine(const std::string& strName, ERunPass pass, int nPosition, int nTotal, int nColumns)
{
    const auto rest = [&](int nBarWidth) {
        return std::string(PassWord(pass)) + " " + ProgressText(nPosition, nTotal, nBarWidth);
    };
    // A short bar before a name cut short or a count cut off.
    std::string strRest = rest(40);
    const size_t nName = strName.empty() ? 0 : TextColumns(strName) + 2;
    if (nColumns > 0 && nName + TextColumns(strRest) >= static_cast<size_t>(nColumns))
        strRest = rest(10);
    return FitLine(strName, strRest, nColumns);
}

CConsoleView::CConsoleView(EAnswer answer)
    : m_answer(answer), m_bColour(EnableOutputColour()), m_bProgressVisible(EnableProgressRedraw())
{}

void CConsoleView::AppendLog(const std::string& strText, int nColour)
{
    if (strText.empty())
        return;
    std::lock_guard<std::mutex> lock(m_mutex);
    ClearProgressLine();
    // "\r\n" ends a line in the log (the engine's texts end with it); here it
    // is a plain line end. Any other control character comes from a name (a
    // file's, a port's): shown escaped, never acted on by the terminal.
    const bool bLineEnd = strText.ends_with("\r\n");
    const char* pColour = m_bColour ? TerminalColourCode(nColour) : nullptr;
    std::string strOut = pColour ? pColour : "";
    strOut +=
        ShownFileText(std::string_view(strText).substr(0, strText.size() - (bLineEnd ? 2 : 0)), std::string::npos);
    if (pColour)
        strOut += "\033[0m";  // keep the colour off the next line's start
    if (bLineEnd)
        strOut += '\n';
    if (strOut.empty())
        return;
    std::fwrite(strOut.data(), 1, strOut.size(), stdout);
    std::fflush(stdout);
    m_bAtLineStart = strOut.back() == '\n';
    if (m_bAtLineStart)
        DrawProgress();
}

void CConsoleView::Note(const std::string& strText)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    ClearProgressLine();
    WriteToolLine(strText);
    DrawProgress();
}

void CConsoleView::ShowMessageBox(const std::string& strText)
{
    Note(strText);
}

bool CConsoleView::AskYesNo(const std::string& strText)
{
    if (m_answer != EAnswer::kAsk) {
        Note(strText + (m_answer == EAnswer::kYes ? " -> yes (--yes)" : " -> no (--no)"));
        return m_answer == EAnswer::kYes;
    }
    if (!IsTerminal(EStdStream::kInput)) {
        Note(strText + " -> no (no terminal to ask; give --yes to continue)");
        return false;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    ClearProgressLine();
    // The question's line stays open for the answer.
    std::fprintf(stderr, "vantrel-cli: %s [y/N] ", strText.c_str());
    std::fflush(stderr);
    std::string strReply;
    if (!ReadReplyLine(m_fdInterrupt, strReply)) {
        std::fputs("\n", stderr);
        return false;
    }
    return !strReply.empty() && (strReply[0] == 'y' || strReply[0] == 'Y');
}

void CConsoleView::BeginProgress(int nCount)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    // Counted in full here; only the dialog's bar has a 16-bit range.
    m_nProgressTotal = nCount;
    m_nProgressPos = 0;
    m_nProgressDrawnPercent = -1;
    DrawProgress();
}

void CConsoleView::OnPassBegun(ERunPass pass)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_pass = pass;
}

void CConsoleView::StepProgress()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_nProgressPos < m_nProgressTotal)
        ++m_nProgressPos;
    DrawProgress();
}

void CConsoleView::ShowProgress(bool bShow)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!bShow) {
        ClearProgressLine();
        m_nProgressPos = 0;
    }
    m_bProgressShown = bShow;
    m_nProgressDrawnPercent = -1;
    DrawProgress();
}

void CConsoleView::ClearProgressLine()
{
    if (m_bProgressDrawn) {
        std::fputs("\r\033[K", stderr);
        m_bProgressDrawn = false;
        m_nProgressDrawnPercent = -1;
    }
}

void CConsoleView::DrawProgress()
{
    if (!m_bProgressVisible || !m_bProgressShown || !m_bAtLineStart)
        return;
    const int nPercent = m_nProgressTotal > 0 ? static_cast<int>(int64_t {m_nProgressPos} * 100 / m_nProgressTotal) : 0;
    if (nPercent == m_nProgressDrawnPercent)
        return;  // redraw only when it changes: thousands of steps, a hundred draws
    // Within the terminal's width: a wrapped line would not be drawn over.
    const std::string strLine =
        ProgressLine(std::string(), m_pass, m_nProgressPos, m_nProgressTotal, TerminalColumns(EStdStream::kError));
    std::fprintf(stderr, "\r%s", strLine.c_str());
    std::fflush(stderr);
    m_bProgressDrawn = true;
    m_nProgressDrawnPercent = nPercent;
}

void CConsoleView::OnConnected(long long nRoundTripUs, int nBaudRate, int nWindow)
{
    if (const std::string strHint = SendAheadHint(nRoundTripUs, nBaudRate, nWindow); !strHint.empty())
        Note(strHint);
}

namespace {
// The window the hint suggests: enough commands to cover an FTDI adapter's
// default 16 ms latency timer at 115200 bit/s.
constexpr int kSuggestedWindow = 64;
}  // namespace

std::string SendAheadHint(long long nRoundTripUs, int nBaudRate, int nWindow)
{
    // An IAP exchange is 10 bytes each way, 10 bits a byte.
    if (nWindow > 1 || nRoundTripUs < 0 || nBaudRate <= 0)
        return {};
    const double dByteUs = 10e6 / nBaudRate;
    const double dLineUs = 20 * dByteUs;
    if (nRoundTripUs < 4 * dLineUs || nRoundTripUs - dLineUs < 3000)
        return {};
    // A 16-byte block: nine exchanges of 4 bytes out and 2 back, each waiting
    // for the reply, against the 37 bytes it sends when nothing waits.
    const double dWaitUs = static_cast<double>(nRoundTripUs) - dLineUs;
    const double dGain = 9 * (dWaitUs + 6 * dByteUs) / (37 * dByteUs);
    return fmt::format("the device answered in {:.1f} ms where its bytes need {:.1f} ms on the line: the USB "
                       "adapter holds replies back. --window {} could write about {:.0f} times as fast (see \"Speed "
                       "on USB adapters\" in the README).",
                       nRoundTripUs / 1000.0, dLineUs / 1000.0, kSuggestedWindow, dGain);
}
