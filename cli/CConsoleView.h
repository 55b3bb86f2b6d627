#pragma once
// The engine's view on a terminal: the log on standard output exactly as the
// dialog's log receives it, a progress bar and the boxes on standard error.
#include <mutex>
#include <string>
#include <string_view>

#include "download/LoaderView.h"

enum class EAnswer { kAsk, kYes, kNo };

// The terminal's colour sequence for a log colour; none for black.
const char* TerminalColourCode(int nColour);

// The progress line: a bar, the percentage, and the blocks counted in full
// ("[####....]  50% 35000/70000"), the bar nBarWidth wide.
std::string ProgressText(int nPosition, int nTotal, int nBarWidth = 40);
// How many columns a terminal gives UTF-8 text: two for a wide East Asian
// character, one for any other.
size_t TextColumns(std::string_view text);
// "name: rest" (just rest without a name) within nColumns - 1 columns, so
// that a terminal never wraps it: a long name loses its middle, and when
// that is not enough the line loses its end. nColumns 0: the whole line.
std::string FitLine(const std::string& strName, const std::string& strRest, int nColumns);

// The progress line of a pass, after strName (a port's; empty for none),
// within nColumns as FitLine fits it.
std::string ProgressLine(const std::string& strName, ERunPass pass, int nPosition, int nTotal, int nColumns);

// The pass a progress line counts, as the line names it ("writing", "verifying").
const char* PassWord(ERunPass pass);

// What sending ahead could gain when the device's replies come back much
// later than the line needs (a USB adapter holding them back); empty when
// the window is already above 1 or the round trip is near the line time.
std::string SendAheadHint(long long nRoundTripUs, int nBaudRate, int nWindow);

class CConsoleView : public CLoaderView {
public:
    explicit CConsoleView(EAnswer answer);

    void AppendLog(const std::string& strText, int nColour) override;
    void ShowMessageBox(const std::string& strText) override;
    bool AskYesNo(const std::string& strText) override;
    void BeginProgress(int nCount) override;
    void OnPassBegun(ERunPass pass) override;
    void StepProgress() override;
    void ShowProgress(bool bShow) override;
    void OnConnected(long long nRoundTripUs, int nBaudRate, int nWindow) override;

    // A note of the tool's own (not a log line), on standard error.
    void Note(const std::string& strText);
    // Readable when the operator interrupts: a pending question is then
    // answered No.
    void SetInterruptFd(int fd) { m_fdInterrupt = fd; }

private:
    void ClearProgressLine();
    void DrawProgress();

    std::mutex m_mutex;
    EAnswer m_answer;
    int m_fdInterrupt = -1;
    bool m_bColour;           // standard output is a terminal that wants colour
    bool m_bProgressVisible;  // standard error is a terminal
    bool m_bProgressShown = false;
    bool m_bProgressDrawn = false;
    bool m_bAtLineStart = true;
    ERunPass m_pass = ERunPass::kWrite;
    int m_nProgressTotal = 0;
    int m_nProgressPos = 0;
    int m_nProgressDrawnPercent = -1;
};
