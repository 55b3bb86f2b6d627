#pragma once
// A download to several ports at once: one engine per port, each on its own
// worker, so that a device that fails or hangs never holds up the others.
#include <atomic>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "cli/CConsoleView.h"
#include "cli/CPortConsole.h"
#include "cli/CSignalWatcher.h"
#include "cli/CliCommands.h"
#include "cli/PortResults.h"
#include "serial/DeviceWatch.h"

// The runs of one download command, one engine per device, each on its own
// worker: started as ports are named or devices plugged in, each ended into
// its result. The file is loaded once, before the first run.
class CPortRuns {
public:
    // onRunEnded: called on a run's worker as its run ends (the watch wakes on it).
    CPortRuns(const CDownloadOptions& options, EAnswer answer, EConsoleFormat format,
              std::function<void()> onRunEnded = nullptr);
    ~CPortRuns();
    CPortRuns(const CPortRuns&) = delete;
    CPortRuns& operator=(const CPortRuns&) = delete;

    // Starts the download to strPort (a COM number, a path, or empty for the
    // settings file's); the number of its run. A port whose inputs are
    // refused gets its result at once, with a note saying why. pDevice: the
    // device as the watch saw it, whose USB identity goes into the result.
    size_t Start(const std::string& strPort, const SSerialDevice* pDevice = nullptr);
    // Whether run n has ended: its worker is done, or it never started.
    bool Ended(size_t n) const;
    // Waits for run n and fills in its result; its engine and port are released.
    const SPortResult& Finish(size_t n);
    // Ctrl-C: every run still going stops before its next block.
    void StopAll();
    size_t Count() const { return m_runs.size(); }
    const SPortResult& Result(size_t n) const { return m_runs[n].result; }
    std::vector<SPortResult> Results() const;
    CPortConsole& Console() { return m_console; }
    // The file's load, made once before the first run: what every run
    // writes, or why none can.
    const CLoadedFirmware& FileLoad() const { return *m_pLoad; }
    // The SHA-256 of the file the runs write: of the bytes loaded once, or of
    // the file as it is when it could not be loaded (of nothing for an empty
    // file); empty when the file is missing or cannot be read. Worked out
    // once, on first use.
    std::string FileSha256() const;

private:
    struct SRun {
        std::unique_ptr<CPortView> pView;
        std::unique_ptr<CLoader> pLoader;
        SPortResult result;
        bool bFinished = false;
        bool bStopRequested = false;  // still running when Ctrl-C came
        bool bIdentityKnown = false;  // the watch gave the device's USB identity
    };

    const CDownloadOptions m_options;
    const EAnswer m_answer;
    const std::function<void()> m_onRunEnded;
    CPortConsole m_console;
    std::shared_ptr<const CLoadedFirmware> m_pLoad;
    mutable std::once_flag m_sha256Once;
    mutable std::string m_strSha256;
    nlohmann::json m_fileSize;  // for the start events: the bytes read, or null when unread
    std::deque<SRun> m_runs;
    mutable std::mutex m_mutex;                  // the runs list: Ctrl-C walks it from another thread
    std::atomic<bool> m_bSettingsNoted {false};  // the port and bit rate's origin was said
};

// The summary of the results at the end: the table, or in JSON the summary event.
void WriteSummary(CPortConsole& console, const std::vector<SPortResult>& results);

// Runs the download of options to every port of vecPorts at once (an empty
// port: the settings file's) and prints the summary, or in JSON a start and
// a result event per port and a summary event; with strReport, appends a row
// per port to it. Ctrl-C stops every run before its next block. Returns the
// exit status: the highest of the ports', at least 2 when the report could
// not be written.
int RunPortsDownload(const CDownloadOptions& options, const std::vector<std::string>& vecPorts, EAnswer answer,
                     EConsoleFormat format, const std::string& strReport, CSignalWatcher& signals);
