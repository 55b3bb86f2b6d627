#include "cli/PortsDownload.h"

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <memory>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "core/FileSystem.h"
#include "core/Sha256.h"
#include "cli/JsonEvents.h"
#include "cli/ReportRows.h"
#include "serial/DeviceWatch.h"

namespace {

long long ImageBytes(const FirmwareImage& image)
{
    long long nBytes = 0;
    for (const FirmwareBlock& block : image)
        nBytes += block.length;
    return nBytes;
}

long long RangeBytes(const std::vector<SMemoryRange>& ranges)
{
    long long nBytes = 0;
    for (const SMemoryRange& range : ranges)
        nBytes += static_cast<long long>(range.vecData.size());
    return nBytes;
}

// The load every run shares: the file to write or compare with. A read makes
// its file, so there is nothing to load.
std::shared_ptr<const CLoadedFirmware> SharedLoad(const CDownloadOptions& options)
{
    if (options.eKind == ERunKind::kRead)
        return std::make_shared<const CLoadedFirmware>();
    return LoadFirmware(options.strFile, SLoadOptions {options.nLoadAddress});
}

}  // namespace

CPortRuns::CPortRuns(const CDownloadOptions& options, EAnswer answer, EConsoleFormat format,
                     std::function<void()> onRunEnded)
    : m_options(options), m_answer(answer), m_onRunEnded(std::move(onRunEnded)), m_console(format),
      m_pLoad(SharedLoad(options))
{
    if (options.eKind == ERunKind::kRead)
        return;  // the file a read makes has no size before the run
    if (m_pLoad->bReadWhole) {
        m_fileSize = m_pLoad->strBytes.size();
    } else if (std::string strBytes, strError; ReadFileBytes(options.strFile, strBytes, strError) &&
                                               (!strBytes.empty() || PathExists(options.strFile))) {
        m_fileSize = strBytes.size();
    }
}

CPortRuns::~CPortRuns()
{
    StopAll();
    for (size_t i = 0; i < m_runs.size(); ++i)
        Finish(i);
}

size_t CPortRuns::Start(const std::string& strPort, const SSerialDevice* pDevice)
{
    const size_t nPort = m_console.AddPort(strPort);
    SRun* pRun = nullptr;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        SRun& run = m_runs.emplace_back();
        run.result.strPort = strPort;
        if (pDevice) {
            run.bIdentityKnown = true;
            run.result.strUsbVendor = pDevice->strUsbVendor;
            run.result.strUsbProduct = pDevice->strUsbProduct;
            run.result.strUsbSerial = pDevice->strUsbSerial;
        }
        run.pView = std::make_unique<CPortView>(m_console, nPort, m_answer, m_onRunEnded);
        run.pLoader = std::make_unique<CLoader>(*run.pView);
        pRun = &run;
    }
    CDownloadOptions portOptions = m_options;
    portOptions.strPort = strPort;
    CRunInputs inputs;
    std::string strNote;
    if (std::string strError; !PrepareDownload(portOptions, pRun->pLoader->ComPorts(), inputs, strError,
                                               pRun->result.nRefusedStatus, strNote)) {
        m_console.Note(nPort, strError);
        return nPort;
    }
    // Said once: a watch starts a run for every device it sees.
    if (!strNote.empty() && !m_bSettingsNoted.exchange(true))
        m_console.Note(strNote);
    // Every run writes this load, or ends as it says before touching its device.
    inputs.pLoadedFile = m_pLoad;
    pRun->result.bStarted = true;
    pRun->result.strDevicePath = DevicePathOf(inputs, pRun->pLoader->ComPorts());
    if (m_console.Format() == EConsoleFormat::kJson)
        m_console.WriteOutput(JsonLine(StartEvent(strPort, m_options.strFile, m_fileSize)));
    pRun->pLoader->OnStartButton(inputs);
    return nPort;
}

bool CPortRuns::Ended(size_t n) const
{
    const SRun& run = m_runs[n];
    return run.bFinished || !run.result.bStarted || run.pView->RunEnded();
}

const SPortResult& CPortRuns::Finish(size_t n)
{
    SRun& run = m_runs[n];
    if (run.bFinished)
        return run.result;
    SPortResult& result = run.result;
    if (result.bStarted) {
        CLoader& loader = *run.pLoader;
        loader.WaitForRun();
        result.dSeconds = run.pView->RunSeconds();
        const ERunEnd end = loader.LastRunEnd();
        bool bStopRequested = false;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            bStopRequested = run.bStopRequested;
        }
        // A run that Ctrl-C ended is cancelled, whichever step it was at; one
        // that had failed on its own before keeps its own class.
        result.end = EndAfterStop(end, bStopRequested);
        result.nBytes =
            m_options.eKind == ERunKind::kRead ? RangeBytes(loader.ReadRanges()) : ImageBytes(loader.Image());
        result.nBytesWritten = loader.BytesWritten();
        if (const int nVersion = loader.ChipVersion(); nVersion != 0)
            result.strDeviceVersion =
                fmt::format("{}.{}.{}", (nVersion >> 16) & 0xFF, (nVersion >> 8) & 0xFF, nVersion & 0xFF);
        // A port named on the command line is looked up now; a watched device
        // came with its identity.
        SSerialDevice device;
        if (!run.bIdentityKnown && !result.strDevicePath.empty() && FindUsbIdentity(result.strDevicePath, device)) {
            result.strUsbVendor = device.strUsbVendor;
            result.strUsbProduct = device.strUsbProduct;
            result.strUsbSerial = device.strUsbSerial;
        }
    }
    // The engine closes its port; the view then prints what the run left unended.
    std::unique_ptr<CLoader> pLoader;
    std::unique_ptr<CPortView> pView;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        pLoader = std::move(run.pLoader);
        pView = std::move(run.pView);
        run.bFinished = true;
    }
    pLoader.reset();
    pView.reset();
    return result;
}

void CPortRuns::StopAll()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    for (SRun& run : m_runs) {
        if (!run.pLoader || run.pView->RunEnded())
            continue;
        run.bStopRequested = true;
        run.pLoader->RequestStop();
    }
}

std::vector<SPortResult> CPortRuns::Results() const
{
    std::vector<SPortResult> results;
    for (const SRun& run : m_runs)
        results.push_back(run.result);
    return results;
}

std::string CPortRuns::FileSha256() const
{
    std::call_once(m_sha256Once, [this] {
        if (m_pLoad->bReadWhole) {
            m_strSha256 = Sha256Hex(m_pLoad->strBytes);
            return;
        }
        // The runs could not use the file; its rows still name what it held,
        // an empty file by the digest of nothing.
        std::string strBytes, strError;
        if (ReadFileBytes(m_options.strFile, strBytes, strError) && PathExists(m_options.strFile))
            m_strSha256 = Sha256Hex(strBytes);
    });
    return m_strSha256;
}

void WriteSummary(CPortConsole& console, const std::vector<SPortResult>& results)
{
    console.WriteOutput(console.Format() == EConsoleFormat::kJson ? JsonLine(SummaryEvent(results))
                                                                  : SummaryText(results));
}

int RunPortsDownload(const CDownloadOptions& options, const std::vector<std::string>& vecPorts, EAnswer answer,
                     EConsoleFormat format, const std::string& strReport, CSignalWatcher& signals)
{
    // A run that ends wakes the loop below, so that its result and its row
    // go out at once, not after the slowest port.
    std::mutex wakeMutex;
    std::condition_variable woken;
    int nWakes = 0;
    CPortRuns runs(options, answer, format, [&] {
        std::lock_guard<std::mutex> lock(wakeMutex);
        ++nWakes;
        woken.notify_all();
    });
    CPortConsole& console = runs.Console();
    // Held while a run is started or its result given out: the signal
    // watcher gives out those that have ended before it quits at once.
    std::mutex resultMutex;
    std::vector<bool> vecGiven;
    bool bReportFailed = false;
    const auto giveEnded = [&] {
        for (size_t i = 0; i < runs.Count(); ++i) {
            if (vecGiven[i] || !runs.Ended(i))
                continue;
            vecGiven[i] = true;
            const SPortResult& result = runs.Finish(i);
            // The row first: software that reads the event finds it on the disk.
            if (std::string strError;
                !strReport.empty() && !bReportFailed &&
                !AppendReportRows(strReport, options.strFile, runs.FileSha256(), {result}, strError)) {
                console.Note(strError);
                bReportFailed = true;
            }
            if (format == EConsoleFormat::kJson)
                console.WriteOutput(JsonLine(ResultEvent(result)));
        }
    };
    signals.OnFirstSignal([&] {
        console.Note("stopping every port before its next block (Ctrl-C again to quit at once)");
        runs.StopAll();
    });
    signals.BeforeQuitting([&] {
        std::lock_guard<std::mutex> lock(resultMutex);
        giveEnded();
    });
    for (const std::string& strPort : vecPorts) {
        std::lock_guard<std::mutex> lock(resultMutex);
        runs.Start(strPort);
        vecGiven.push_back(false);
    }
    for (;;) {
        int nWakesSeen = 0;
        {
            std::lock_guard<std::mutex> lock(wakeMutex);
            nWakesSeen = nWakes;
        }
        {
            std::lock_guard<std::mutex> lock(resultMutex);
            giveEnded();
            if (std::find(vecGiven.begin(), vecGiven.end(), false) == vecGiven.end())
                break;
        }
        std::unique_lock<std::mutex> lock(wakeMutex);
        woken.wait(lock, [&] { return nWakes != nWakesSeen; });
    }
    signals.BeforeQuitting(nullptr);
    signals.OnFirstSignal(nullptr);
    console.EndProgress();
    const std::vector<SPortResult> results = runs.Results();
    WriteSummary(console, results);
    const int nExit = HighestExitStatus(results);
    return bReportFailed ? std::max(nExit, kExitUsage) : nExit;
}
