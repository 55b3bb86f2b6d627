#include "cli/WatchDownload.h"

#include <algorithm>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "cli/Console.h"
#include "cli/JsonEvents.h"
#include "cli/ReportRows.h"

namespace {

// The longest the watch waits before it goes round its loop again without a
// device change: a closed standard output is noticed within it. The device
// watch itself decides how often it looks for devices.
constexpr int kRecheckEveryMs = 1000;

// How often a look every nMs happens, as the note says it.
std::string LookIntervalText(int nMs)
{
    if (nMs == 1000)
        return "once a second";
    if (nMs == 500)
        return "twice a second";
    return fmt::format("every {} ms", nMs);
}

}  // namespace

CWatch::CWatch(const CDownloadOptions& options, const SWatchOptions& watchOptions, EAnswer answer,
               EConsoleFormat format, std::string strReport)
    : m_options(options), m_watchOptions(watchOptions), m_strReport(std::move(strReport)),
      m_bJson(format == EConsoleFormat::kJson), m_deviceWatch(PinnedPortPaths(options.strIni)),
      // A run that ends wakes the watch, so its result line comes at once.
      m_runs(options, answer, format, [this] { m_deviceWatch.Wake(); }),
      m_tracker(watchOptions.strPortFilter, watchOptions.bIncludePresent)
{}

bool CWatch::GoOn()
{
    // Nobody reads the results any more ("| head" has its lines): no new
    // board is started; those being written finish. A pipe whose reader has
    // gone is known before a line fails to go out.
    if (!m_bOutputLost && (m_runs.Console().OutputLost() || StandardOutputClosed())) {
        m_bOutputLost = true;
        m_runs.Console().Note("standard output was closed: the watch ends when the devices being written are done");
    }
    return !m_bStop && !m_bReportFailed && !m_bOutputLost;
}

void CWatch::Look()
{
    for (const SSerialDevice& device : m_tracker.Update(m_deviceWatch.PresentDevices())) {
        if (!GoOn())
            return;
        // The same path still busy with the board before: it is offered
        // again once that run has ended.
        if (m_active.contains(device.strPath)) {
            m_tracker.Forget(device);
            continue;
        }
        // The device goes into its run with the USB identity seen now: the
        // board may be gone by the time its row is written.
        m_active[device.strPath] = m_runs.Start(device.strPath, &device);
        // Ctrl-C while this run was starting did not see it.
        if (m_bStop)
            m_runs.StopAll();
    }
}

void CWatch::Report(size_t nRun)
{
    const SPortResult& result = m_runs.Finish(nRun);
    ++m_nDone;
    m_nSucceeded += ResultExitStatus(result) == kExitSuccess;
    m_nExit = std::max(m_nExit, ResultExitStatus(result));
    CPortConsole& console = m_runs.Console();
    if (m_bJson) {
        console.WriteOutput(JsonLine(WatchResultEvent(result, m_nDone, m_nSucceeded)));
    } else {
        console.WriteOutput(fmt::format("{}: {}, {} bytes, {:.1f} s, device {} ({} done: {} succeeded, {} failed)",
                                        result.strPort, ResultClass(result), result.nBytes, result.dSeconds,
                                        result.strDeviceVersion.empty() ? "-" : result.strDeviceVersion, m_nDone,
                                        m_nSucceeded, m_nDone - m_nSucceeded));
    }
    std::string strError;
    if (!m_strReport.empty() && !m_bReportFailed &&
        !AppendReportRows(m_strReport, m_options.strFile, m_runs.FileSha256(), {result}, strError)) {
        console.Note(strError + "; the watch ends, so that no board is flashed unrecorded");
        m_bReportFailed = true;
    }
}

void CWatch::ReapEnded()
{
    for (auto it = m_active.begin(); it != m_active.end();) {
        if (!m_runs.Ended(it->second)) {
            ++it;
            continue;
        }
        Report(it->second);
        it = m_active.erase(it);
    }
}

void CWatch::Announce()
{
    const int nLeftAlone = static_cast<int>(m_tracker.LeftAlone());
    if (m_bJson) {
        m_runs.Console().WriteOutput(
            JsonLine(WatchEvent(m_deviceWatch.HasHotPlugEvents(), nLeftAlone, m_watchOptions.strPortFilter)));
        return;
    }
    const std::string strHow = m_deviceWatch.HasHotPlugEvents() ? "on hot-plug events"
                                                                : "this system sends no hot-plug events: looking " +
                                                                      LookIntervalText(CDeviceWatch::kSystemLookMs);
    std::string strNote = fmt::format("waiting for devices to be plugged in ({})", strHow);
    if (!m_watchOptions.strPortFilter.empty())
        strNote += fmt::format(", those matching {}", m_watchOptions.strPortFilter);
    if (nLeftAlone > 0)
        strNote += fmt::format("; {} present now left alone (--include-present writes them too)", nLeftAlone);
    m_runs.Console().Note(strNote + "; Ctrl-C ends the watch");
}

int CWatch::Run(CSignalWatcher& signals)
{
    // A file that cannot be written is said now, not once per board plugged in.
    if (const CLoadedFirmware& load = m_runs.FileLoad(); load.problem != EFirmwareLoadProblem::kNone) {
        WriteToolLine(m_options.strFile + ": " + load.strReason);
        return kExitFile;
    }
    signals.OnFirstSignal([this] {
        m_bStop = true;
        m_runs.Console().Note("ending the watch: the devices being written stop before their next block (Ctrl-C "
                              "again to quit at once)");
        m_runs.StopAll();
        m_deviceWatch.Wake();
    });
    signals.BeforeQuitting([this] {
        std::lock_guard<std::mutex> lock(m_resultMutex);
        ReapEnded();
    });
    {
        std::lock_guard<std::mutex> lock(m_resultMutex);
        Look();
    }
    Announce();
    while (GoOn()) {
        m_deviceWatch.WaitForChange(kRecheckEveryMs);
        std::lock_guard<std::mutex> lock(m_resultMutex);
        ReapEnded();
        if (GoOn())
            Look();
    }
    {
        // The runs still going were asked to stop (Ctrl-C) or, after a report
        // failure, end as they would.
        std::lock_guard<std::mutex> lock(m_resultMutex);
        for (const auto& [strPath, nRun] : m_active)
            Report(nRun);
        m_active.clear();
    }
    signals.BeforeQuitting(nullptr);
    signals.OnFirstSignal(nullptr);
    m_runs.Console().EndProgress();
    WriteSummary(m_runs.Console(), m_runs.Results());
    return m_bReportFailed ? std::max(m_nExit, kExitUsage) : m_nExit;
}
