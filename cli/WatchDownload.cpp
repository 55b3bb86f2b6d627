#include "cli/WatchDownload.h"

#include <atomic>
#include <cstdio>
#include <map>
#include <mutex>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "cli/Console.h"
#include "cli/JsonEvents.h"
#include "cli/PlugTracker.h"
#include "cli/PortsDownload.h"
#include "cli/ReportRows.h"
#include "serial/DeviceWatch.h"

namespace {

// Without a device change the watch still looks this often: a change that
// raised no event (a link made by hand) is seen within it.
constexpr int kLookEveryMs = 1000;

}  // namespace

int RunWatchDownload(const CDownloadOptions& options, const SWatchOptions& watchOptions, EAnswer answer,
                     EConsoleFormat format, const std::string& strReport, CSignalWatcher& signals)
{
    CDeviceWatch watch(PinnedPortPaths(options.strIni));
    // A run that ends wakes the watch, so its result line comes at once.
    CPortRuns runs(options, answer, format, [&watch] { watch.Wake(); });
    // A file that cannot be written is said now, not once per board plugged in.
    if (const CLoadedFirmware& load = runs.FileLoad(); load.problem != EFirmwareLoadProblem::kNone) {
        WriteToolLine(options.strFile + ": " + load.strReason);
        return kExitFile;
    }
    CPortConsole& console = runs.Console();
    const bool bJson = format == EConsoleFormat::kJson;
    std::atomic<bool> bStop {false};
    signals.OnFirstSignal([&] {
        bStop = true;
        console.Note("ending the watch: the devices being written stop before their next block (Ctrl-C again to "
                     "quit at once)");
        runs.StopAll();
        watch.Wake();
    });

    CPlugTracker tracker(watchOptions.strPortFilter, watchOptions.bIncludePresent);
    std::map<std::string, size_t> active;  // device path -> its run
    int nDone = 0;
    int nSucceeded = 0;
    int nExit = kExitSuccess;
    bool bReportFailed = false;
    // Held while a run is started or its result given out: a second signal
    // gives out those that have ended before the program quits at once.
    std::mutex resultMutex;
    const auto finishRun = [&](size_t nRun) {
        const SPortResult& result = runs.Finish(nRun);
        ++nDone;
        nSucceeded += ResultExitStatus(result) == kExitSuccess;
        nExit = std::max(nExit, ResultExitStatus(result));
        if (bJson) {
            console.WriteOutput(JsonLine(WatchResultEvent(result, nDone, nSucceeded)));
        } else {
            console.WriteOutput(fmt::format("{}: {}, {} bytes, {:.1f} s, device {} ({} done: {} succeeded, {} failed)",
                                            result.strPort, ResultClass(result), result.nBytes, result.dSeconds,
                                            result.strDeviceVersion.empty() ? "-" : result.strDeviceVersion, nDone,
                                            nSucceeded, nDone - nSucceeded));
        }
        std::string strError;
        if (!strReport.empty() && !bReportFailed &&
            !AppendReportRows(strReport, options.strFile, runs.FileSha256(), {result}, strError)) {
            console.Note(strError + "; the watch ends, so that no board is flashed unrecorded");
            bReportFailed = true;
        }
    };
    bool bOutputLost = false;
    const auto goOn = [&] {
        // Nobody reads the results any more ("| head" has its lines): no new
        // board is started; those being written finish. A pipe whose reader
        // has gone is known before a line fails to go out.
        if (!bOutputLost && (console.OutputLost() || StandardOutputClosed())) {
            bOutputLost = true;
            console.Note("standard output was closed: the watch ends when the devices being written are done");
        }
        return !bStop && !bReportFailed && !bOutputLost;
    };
    const auto look = [&] {
        for (const SSerialDevice& device : tracker.Update(watch.PresentDevices())) {
            if (!goOn())
                return;
            // The same path still busy with the board before: it is offered
            // again once that run has ended.
            if (active.contains(device.strPath)) {
                tracker.Forget(device);
                continue;
            }
            active[device.strPath] = runs.Start(device.strPath);
            // Ctrl-C while this run was starting did not see it.
            if (bStop)
                runs.StopAll();
        }
    };

    look();
    const std::string strHow = watch.HasHotPlugEvents()
                                   ? "on hot-plug events"
                                   : "this system sends no hot-plug events: looking twice a second";
    if (bJson) {
        console.WriteOutput(JsonLine(
            WatchEvent(watch.HasHotPlugEvents(), static_cast<int>(tracker.LeftAlone()), watchOptions.strPortFilter)));
    } else {
        std::string strNote = fmt::format("waiting for devices to be plugged in ({})", strHow);
        if (!watchOptions.strPortFilter.empty())
            strNote += fmt::format(", those matching {}", watchOptions.strPortFilter);
        if (tracker.LeftAlone() > 0)
            strNote +=
                fmt::format("; {} present now left alone (--include-present writes them too)", tracker.LeftAlone());
        console.Note(strNote + "; Ctrl-C ends the watch");
    }
    const auto finishEnded = [&] {
        for (auto it = active.begin(); it != active.end();) {
            if (!runs.Ended(it->second)) {
                ++it;
                continue;
            }
            finishRun(it->second);
            it = active.erase(it);
        }
    };
    signals.BeforeQuitting([&] {
        std::lock_guard<std::mutex> lock(resultMutex);
        finishEnded();
    });
    while (goOn()) {
        watch.WaitForChange(kLookEveryMs);
        std::lock_guard<std::mutex> lock(resultMutex);
        finishEnded();
        if (goOn())
            look();
    }
    {
        // The runs still going were asked to stop (Ctrl-C) or, after a report
        // failure, end as they would.
        std::lock_guard<std::mutex> lock(resultMutex);
        for (const auto& [strPath, nRun] : active)
            finishRun(nRun);
        active.clear();
    }
    signals.BeforeQuitting(nullptr);
    signals.OnFirstSignal(nullptr);
    console.EndProgress();
    const std::vector<SPortResult> results = runs.Results();
    WriteSummary(console, results);
    return bReportFailed ? std::max(nExit, kExitUsage) : nExit;
}
