#pragma once
// Flash on plug: a download into every serial device plugged in while the
// command runs, each once until it is unplugged, several at once.
#include <atomic>
#include <map>
#include <mutex>
#include <string>

#include "cli/CPortConsole.h"
#include "cli/CSignalWatcher.h"
#include "cli/CliCommands.h"
#include "cli/PlugTracker.h"
#include "cli/PortsDownload.h"
#include "serial/DeviceWatch.h"

struct SWatchOptions {
    std::string strPortFilter;     // a glob over the device paths; empty: every device
    bool bIncludePresent = false;  // also the devices present at the start
};

// A watch: looks for devices until Ctrl-C, downloads the file into each new
// one, prints a result line per device with the running count (in JSON a
// result event with the counts), appends its report row at once when a
// report is given, and ends with the summary. A pinned path of the settings
// file that appears counts as a device plugged in.
class CWatch {
public:
    CWatch(const CDownloadOptions& options, const SWatchOptions& watchOptions, EAnswer answer, EConsoleFormat format,
           std::string strReport);
    CWatch(const CWatch&) = delete;
    CWatch& operator=(const CWatch&) = delete;

    // Watches until Ctrl-C (or until nobody reads the results, or the report
    // cannot be written). Returns the highest exit status of the devices' (0
    // with none), at least 2 when the report could not be written, which also
    // ends the watch: no board is flashed unrecorded.
    int Run(CSignalWatcher& signals);

private:
    // Starts a run for each device that appeared since the last look.
    void Look();
    // Gives out the results of the runs that have ended.
    void ReapEnded();
    // Waits for one run, then writes its result line and its report row.
    void Report(size_t nRun);
    // Whether the watch goes on: no Ctrl-C, the report writable, somebody reading.
    bool GoOn();
    void Announce();

    const CDownloadOptions m_options;
    const SWatchOptions m_watchOptions;
    const std::string m_strReport;
    const bool m_bJson;
    CDeviceWatch m_deviceWatch;
    CPortRuns m_runs;
    CPlugTracker m_tracker;
    std::map<std::string, size_t> m_active;  // device path -> its run
    int m_nDone = 0;
    int m_nSucceeded = 0;
    int m_nExit = kExitSuccess;
    bool m_bReportFailed = false;
    bool m_bOutputLost = false;
    std::atomic<bool> m_bStop {false};
    // Held while a run is started or its result given out: a second signal
    // gives out those that have ended before the program quits at once.
    std::mutex m_resultMutex;
};
