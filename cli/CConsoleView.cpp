#include "cli/CConsoleView.h"

#include <cstdint>
#include <cstdio>

#include <fmt/format.h>

#include "cli/Console.h"

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

std::string ProgressText(int nPosition, int nTotal)
{
    const int nPercent = nTotal > 0 ? static_cast<int>(int64_t {nPosition} * 100 / nTotal) : 0;
    constexpr int kWidth = 40;
    const int nFilled = nPercent * kWidth / 100;
    std::string strBar(static_cast<size_t>(nFilled), '#');
    strBar.append(static_cast<size_t>(kWidth - nFilled), '.');
    return "[" + strBar + "] " + fmt::format("{:3}% {}/{}", nPercent, nPosition, nTotal);
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
    // "\r\n" ends a line in the log; here it is a plain line end.
    std::string strOut;
    strOut.reserve(strText.size() + 16);
    const char* pColour = m_bColour ? TerminalColourCode(nColour) : nullptr;
    if (pColour)
        strOut += pColour;
    for (size_t i = 0; i < strText.size(); ++i) {
        if (strText[i] == '\r' && i + 1 < strText.size() && strText[i + 1] == '\n')
            continue;
        if (strText[i] == '\n' && pColour)
            strOut += "\033[0m";  // keep the colour off the next line's start
        strOut += strText[i];
        if (strText[i] == '\n' && pColour && i + 1 < strText.size())
            strOut += pColour;
    }
    if (pColour && strOut.back() != '\n')
        strOut += "\033[0m";
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
    std::fprintf(stderr, "vantrel-cli: %s\n", strText.c_str());
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
    std::fprintf(stderr, "\r%s", ProgressText(m_nProgressPos, m_nProgressTotal).c_str());
    std::fflush(stderr);
    m_bProgressDrawn = true;
    m_nProgressDrawnPercent = nPercent;
}
