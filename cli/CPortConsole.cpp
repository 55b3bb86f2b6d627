#include "cli/CPortConsole.h"

#include <cstdint>
#include <cstdio>

#include <fmt/format.h>

#include "cli/CConsoleView.h"
#include "cli/Console.h"
#include "cli/JsonEvents.h"
#include "core/LogSink.h"
#include "download/FirmwareReader.h"

namespace {

// A name or a log text as a terminal may show it: a control character in a
// file or port name (an ESC, a line end) escaped, never acted on.
std::string ShownName(const std::string& strText)
{
    return ShownFileText(strText, std::string::npos);
}

}  // namespace

CPortConsole::CPortConsole(EConsoleFormat format)
    : m_format(format), m_bColour(format == EConsoleFormat::kText && EnableOutputColour()),
      m_bProgressVisible(format == EConsoleFormat::kText && EnableProgressRedraw())
{}

size_t CPortConsole::AddPort(const std::string& strPort)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_vecPorts.push_back(strPort);
    m_vecProgress.emplace_back();
    return m_vecPorts.size() - 1;
}

std::string CPortConsole::PortName(size_t nPort)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_vecPorts[nPort];
}

void CPortConsole::WriteLine(size_t nPort, const CLine& line)
{
    if (m_format == EConsoleFormat::kJson) {
        // The line's colour is its first piece's: a line mixes colours only
        // where the port search names a port in the default colour.
        std::string strText;
        for (const auto& piece : line)
            strText += piece.first;
        WriteOutput(JsonLine(LogEvent(PortName(nPort), strText, line.empty() ? kLogBlack : line.front().second)));
        return;
    }
    std::string strOut = ShownName(PortName(nPort)) + ": ";
    for (const auto& [strText, nColour] : line) {
        const char* pColour = m_bColour ? TerminalColourCode(nColour) : nullptr;
        if (pColour)
            strOut += pColour;
        strOut += ShownName(strText);
        if (pColour)
            strOut += "\033[0m";
    }
    WriteOutput(strOut);
}

void CPortConsole::Note(size_t nPort, const std::string& strText)
{
    Note(ShownName(PortName(nPort)) + ": " + strText);
}

void CPortConsole::Note(const std::string& strText)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    ClearProgress();
    WriteToolLine(strText);
    DrawProgress();
}

void CPortConsole::NoteOnce(const std::string& strText)
{
    if (!m_bNotedOnce.exchange(true))
        Note(strText);
}

void CPortConsole::SetProgress(size_t nPort, ERunPass pass, int nPosition, int nTotal, bool bShown)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    SProgress& progress = m_vecProgress[nPort];
    const SProgress before = progress;
    progress = {bShown, pass, nPosition, nTotal};
    // Thousands of steps, a hundred draws (or events) per port and pass.
    if (before.bShown == bShown && before.pass == pass && before.nTotal == nTotal &&
        ProgressPercent(before.nPosition, before.nTotal) == ProgressPercent(nPosition, nTotal))
        return;
    if (m_format == EConsoleFormat::kJson) {
        lock.unlock();
        if (bShown && nTotal > 0) {
            WriteOutput(JsonLine(ProgressEvent(PortName(nPort), pass, nPosition, nTotal)));
        }
        return;
    }
    ClearProgress();
    DrawProgress();
}

void CPortConsole::WriteOutput(const std::string& strLine)
{
    const std::string strOut = strLine + "\n";
    std::lock_guard<std::mutex> lock(m_mutex);
    ClearProgress();
    // One write per line: a reader of the output never sees half of one.
    std::fwrite(strOut.data(), 1, strOut.size(), stdout);
    if (std::fflush(stdout) != 0)
        m_bOutputLost = true;
    DrawProgress();
}

void CPortConsole::EndProgress()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    ClearProgress();
    m_bProgressEnded = true;
}

void CPortConsole::ClearProgress()
{
    // The cursor stands at the start of the line below the last progress line.
    for (; m_nDrawnLines > 0; --m_nDrawnLines)
        std::fputs("\033[1A\r\033[K", stderr);
}

void CPortConsole::DrawProgress()
{
    if (!m_bProgressVisible || m_bProgressEnded)
        return;
    // Each line within the terminal's width: a line that wrapped would take
    // two rows, and the redraw, going one row up per line, would leave one.
    const int nColumns = TerminalColumns(EStdStream::kError);
    std::string strOut;
    for (size_t i = 0; i < m_vecPorts.size(); ++i) {
        const SProgress& progress = m_vecProgress[i];
        if (!progress.bShown)
            continue;
        strOut +=
            ProgressLine(ShownName(m_vecPorts[i]), progress.pass, progress.nPosition, progress.nTotal, nColumns) + "\n";
        ++m_nDrawnLines;
    }
    std::fputs(strOut.c_str(), stderr);
    std::fflush(stderr);
}

CPortView::CPortView(CPortConsole& console, size_t nPort, EAnswer answer, std::function<void()> onRunEnded)
    : m_console(console), m_nPort(nPort), m_answer(answer), m_onRunEnded(std::move(onRunEnded))
{}

CPortView::~CPortView()
{
    // A run that ended mid-line still shows what it wrote.
    std::lock_guard<std::mutex> lock(m_mutex);
    FlushLine();
}

void CPortView::AppendLog(const std::string& strText, int nColour)
{
    // The engine ends a line with "\r\n" at the end of a text; a line end
    // or a control character anywhere else comes from a name (a file's, a
    // port's) and stays in the line.
    std::lock_guard<std::mutex> lock(m_mutex);
    const bool bLineEnd = strText.ends_with("\r\n");
    std::string strPiece = strText.substr(0, strText.size() - (bLineEnd ? 2 : 0));
    if (!strPiece.empty())
        m_line.emplace_back(std::move(strPiece), nColour);
    if (bLineEnd) {
        m_console.WriteLine(m_nPort, m_line);
        m_line.clear();
    }
}

void CPortView::FlushLine()
{
    if (!m_line.empty())
        m_console.WriteLine(m_nPort, m_line);
    m_line.clear();
}

void CPortView::ShowMessageBox(const std::string& strText)
{
    m_console.Note(m_nPort, strText);
}

bool CPortView::AskYesNo(const std::string& strText)
{
    // With several devices there is no one question to ask: the options decide.
    if (m_answer == EAnswer::kYes) {
        m_console.Note(m_nPort, strText + " -> yes (--yes)");
        return true;
    }
    m_console.Note(m_nPort, strText + (m_answer == EAnswer::kNo ? " -> no (--no)"
                                                                : " -> no (several ports: give --yes to continue)"));
    return false;
}

void CPortView::BeginProgress(int nCount)
{
    m_nTotal = nCount;
    m_nPosition = 0;
    m_console.SetProgress(m_nPort, m_pass, m_nPosition, m_nTotal, m_bShown);
}

void CPortView::OnConnected(long long nRoundTripUs, int nBaudRate, int nWindow)
{
    if (const std::string strHint = SendAheadHint(nRoundTripUs, nBaudRate, nWindow); !strHint.empty())
        m_console.NoteOnce(strHint);
}

void CPortView::OnPassBegun(ERunPass pass)
{
    m_pass = pass;
}

void CPortView::StepProgress()
{
    if (m_nPosition < m_nTotal)
        ++m_nPosition;
    m_console.SetProgress(m_nPort, m_pass, m_nPosition, m_nTotal, m_bShown);
}

void CPortView::ShowProgress(bool bShow)
{
    m_bShown = bShow;
    if (!bShow)
        m_nPosition = 0;
    m_console.SetProgress(m_nPort, m_pass, m_nPosition, m_nTotal, m_bShown);
}

void CPortView::OnRunStateChanged(bool bRunning)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        (bRunning ? m_runStart : m_runEnd) = std::chrono::steady_clock::now();
        m_bRunEnded = !bRunning;
    }
    if (!bRunning && m_onRunEnded)
        m_onRunEnded();
}

bool CPortView::RunEnded() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_bRunEnded;
}

double CPortView::RunSeconds() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_runEnd > m_runStart ? std::chrono::duration<double>(m_runEnd - m_runStart).count() : 0.0;
}
