#pragma once
// The console of a download to several ports at once: every log line whole
// and prefixed with its port, so that the runs' lines never mix, and on a
// terminal one progress line per port, redrawn in place below the log.
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "cli/CConsoleView.h"
#include "download/LoaderView.h"

// How the console writes: text for people, or JSON Lines (one event object
// per line) for line-control software.
enum class EConsoleFormat { kText, kJson };

class CPortConsole {
public:
    explicit CPortConsole(EConsoleFormat format);

    // A port to write for (a device plugged in while others run, say); its number.
    size_t AddPort(const std::string& strPort);
    std::string PortName(size_t nPort);

    // A line's pieces, each in its log colour.
    using CLine = std::vector<std::pair<std::string, int>>;
    // One whole line of port nPort, without its line end.
    void WriteLine(size_t nPort, const CLine& line);
    // A note of the tool's own about port nPort, or about them all, on standard error.
    void Note(size_t nPort, const std::string& strText);
    void Note(const std::string& strText);
    // A note given once for the whole command, however many ports say it.
    void NoteOnce(const std::string& strText);
    void SetProgress(size_t nPort, ERunPass pass, int nPosition, int nTotal, bool bShown);
    // Takes the progress lines away for good (before the summary).
    void EndProgress();
    // One whole output line as it stands (a JSON event, a row of the table).
    void WriteOutput(const std::string& strLine);
    EConsoleFormat Format() const { return m_format; }
    // Whether a write to standard output has failed: its reader has gone
    // ("| head" has its lines) or its disk is full.
    bool OutputLost() const { return m_bOutputLost.load(); }

private:
    void ClearProgress();
    void DrawProgress();

    std::mutex m_mutex;
    std::vector<std::string> m_vecPorts;
    const EConsoleFormat m_format;
    const bool m_bColour;
    const bool m_bProgressVisible;
    bool m_bProgressEnded = false;
    std::atomic<bool> m_bOutputLost {false};
    std::atomic<bool> m_bNotedOnce {false};
    size_t m_nDrawnLines = 0;
    struct SProgress {
        bool bShown = false;
        ERunPass pass = ERunPass::kWrite;
        int nPosition = 0;
        int nTotal = 0;
    };
    std::vector<SProgress> m_vecProgress;
};

// One port's view of the engine: its log pieces gathered into lines, the
// questions answered as the command line says (no one can be asked for
// several devices at once), the boxes as notes.
class CPortView : public CLoaderView {
public:
    // onRunEnded, when given, is called on the run's worker as its run ends.
    CPortView(CPortConsole& console, size_t nPort, EAnswer answer, std::function<void()> onRunEnded = nullptr);
    ~CPortView() override;

    void AppendLog(const std::string& strText, int nColour) override;
    void ShowMessageBox(const std::string& strText) override;
    bool AskYesNo(const std::string& strText) override;
    void BeginProgress(int nCount) override;
    void OnPassBegun(ERunPass pass) override;
    void StepProgress() override;
    void ShowProgress(bool bShow) override;
    void OnRunStateChanged(bool bRunning) override;
    void OnConnected(long long nRoundTripUs, int nBaudRate, int nWindow) override;
    // How long the latest run took, from its start to its end.
    double RunSeconds() const;
    // Whether the latest run has ended.
    bool RunEnded() const;

private:
    void FlushLine();

    CPortConsole& m_console;
    const size_t m_nPort;
    const EAnswer m_answer;
    const std::function<void()> m_onRunEnded;
    mutable std::mutex m_mutex;
    CPortConsole::CLine m_line;  // the line being written, not yet ended
    ERunPass m_pass = ERunPass::kWrite;
    int m_nTotal = 0;
    int m_nPosition = 0;
    bool m_bShown = false;
    std::chrono::steady_clock::time_point m_runStart;
    std::chrono::steady_clock::time_point m_runEnd;
    bool m_bRunEnded = false;
};
