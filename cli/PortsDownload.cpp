#include "cli/PortsDownload.h"

#include <cstdio>
#include <memory>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "core/FileSystem.h"
#include "serial/DeviceWatch.h"

const char* ResultClass(const SPortResult& result)
{
    if (!result.bStarted)
        return "usage";
    switch (result.end) {
    case ERunEnd::kSuccess: return "success";
    case ERunEnd::kConnectionFailed: return "connection";
    case ERunEnd::kFileNotFound:
    case ERunEnd::kUnknownFileKind:
    case ERunEnd::kLoadFailed: return "file";
    case ERunEnd::kWriteFailed: return "write";
    case ERunEnd::kVerifyFailed: return "verify";
    case ERunEnd::kDisconnectFailed: return "disconnect";
    case ERunEnd::kCancelled: return "cancelled";
    }
    return "connection";
}

int ResultExitStatus(const SPortResult& result)
{
    return result.bStarted ? ExitStatusOf(result.end) : kExitUsage;
}

int HighestExitStatus(const std::vector<SPortResult>& results)
{
    int nExit = kExitSuccess;
    for (const SPortResult& result : results)
        nExit = std::max(nExit, ResultExitStatus(result));
    return nExit;
}

std::string SummaryTable(const std::vector<SPortResult>& results)
{
    size_t nPortWidth = 4;
    for (const SPortResult& result : results)
        nPortWidth = std::max(nPortWidth, result.strPort.size());
    std::string strTable =
        fmt::format("{:<{}}  {:<10}  {:>9}  {:>8}  {}\n", "port", nPortWidth, "result", "bytes", "seconds", "device");
    for (const SPortResult& result : results) {
        strTable += fmt::format("{:<{}}  {:<10}  {:>9}  {:>8.1f}  {}\n", result.strPort, nPortWidth,
                                ResultClass(result), result.nBytes, result.dSeconds,
                                result.strDeviceVersion.empty() ? "-" : result.strDeviceVersion);
    }
    return strTable;
}

namespace {

// One port: its view, its engine and how its run went.
struct SPortRun {
    std::unique_ptr<CPortView> pView;
    std::unique_ptr<CLoader> pLoader;
};

std::string JsonLine(const nlohmann::json& event)
{
    // Paths and device texts are not always UTF-8: a bad byte becomes U+FFFD
    // instead of ending the output.
    return event.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

// The device path a run's inputs open, where it is known before the run.
std::string DevicePathOf(const CRunInputs& inputs, const CComPortMap& comPorts)
{
    if (!inputs.port.strPortPath.empty())
        return inputs.port.strPortPath;
    if (inputs.port.nPortIndex >= 0 && inputs.port.nPortIndex < kAutoCheckIndex)
        return comPorts.Path(PortNumberOf(PortItemText(inputs.port.nPortIndex)));
    return std::string();
}

nlohmann::json ResultEvent(const SPortResult& result)
{
    nlohmann::json event = {{"event", "result"},
                            {"port", result.strPort},
                            {"class", ResultClass(result)},
                            {"exit_status", ResultExitStatus(result)},
                            {"bytes", result.nBytes},
                            {"seconds", result.dSeconds},
                            {"device_version", result.strDeviceVersion},
                            {"path", result.strDevicePath}};
    if (!result.strUsbVendor.empty() || !result.strUsbSerial.empty()) {
        event["usb_vendor"] = result.strUsbVendor;
        event["usb_product"] = result.strUsbProduct;
        event["usb_serial"] = result.strUsbSerial;
    }
    return event;
}

long long ImageBytes(const FirmwareImage& image)
{
    long long nBytes = 0;
    for (const FirmwareBlock& block : image)
        nBytes += block.length;
    return nBytes;
}

}  // namespace

std::vector<SPortResult> RunPortsDownload(const CDownloadOptions& options, const std::vector<std::string>& vecPorts,
                                          EAnswer answer, EConsoleFormat format, CSignalWatcher& signals)
{
    const bool bJson = format == EConsoleFormat::kJson;
    CPortConsole console(vecPorts, format);
    std::string strFileBytes, strFileError;
    const bool bFileRead = bJson && ReadFileBytes(options.strFile, strFileBytes, strFileError);
    std::vector<SPortResult> results(vecPorts.size());
    std::vector<SPortRun> runs(vecPorts.size());
    for (size_t i = 0; i < vecPorts.size(); ++i) {
        results[i].strPort = vecPorts[i];
        runs[i].pView = std::make_unique<CPortView>(console, i, answer);
        runs[i].pLoader = std::make_unique<CLoader>(*runs[i].pView);
    }
    signals.OnFirstSignal([&] {
        console.Note("stopping every port before its next block (Ctrl-C again to quit at once)");
        for (SPortRun& run : runs)
            run.pLoader->RequestStop();
    });
    for (size_t i = 0; i < vecPorts.size(); ++i) {
        CDownloadOptions portOptions = options;
        portOptions.strPort = vecPorts[i];
        CRunInputs inputs;
        std::string strError;
        if (!PrepareDownload(portOptions, runs[i].pLoader->ComPorts(), inputs, strError)) {
            console.Note(i, strError);
            continue;
        }
        results[i].bStarted = true;
        results[i].strDevicePath = DevicePathOf(inputs, runs[i].pLoader->ComPorts());
        if (bJson) {
            nlohmann::json start = {{"event", "start"}, {"port", vecPorts[i]}, {"file", options.strFile}};
            start["size"] = bFileRead ? nlohmann::json(strFileBytes.size()) : nlohmann::json(nullptr);
            console.WriteOutput(JsonLine(start));
        }
        runs[i].pLoader->OnStartButton(inputs);
    }
    for (size_t i = 0; i < vecPorts.size(); ++i) {
        if (!results[i].bStarted)
            continue;
        CLoader& loader = *runs[i].pLoader;
        loader.WaitForRun();
        results[i].dSeconds = runs[i].pView->RunSeconds();
        const ERunEnd end = loader.LastRunEnd();
        results[i].end = signals.Interrupted() && end != ERunEnd::kSuccess ? ERunEnd::kCancelled : end;
        results[i].nBytes = ImageBytes(loader.Image());
        if (const int nVersion = loader.ChipVersion(); nVersion != 0)
            results[i].strDeviceVersion =
                fmt::format("{}.{}.{}", (nVersion >> 16) & 0xFF, (nVersion >> 8) & 0xFF, nVersion & 0xFF);
        SSerialDevice device;
        if (!results[i].strDevicePath.empty() && FindUsbIdentity(results[i].strDevicePath, device)) {
            results[i].strUsbVendor = device.strUsbVendor;
            results[i].strUsbProduct = device.strUsbProduct;
            results[i].strUsbSerial = device.strUsbSerial;
        }
    }
    signals.OnFirstSignal(nullptr);
    console.EndProgress();
    // The views print what their runs left unended before the table.
    for (SPortRun& run : runs) {
        run.pLoader.reset();
        run.pView.reset();
    }
    if (bJson) {
        int nSucceeded = 0;
        for (const SPortResult& result : results) {
            console.WriteOutput(JsonLine(ResultEvent(result)));
            nSucceeded += ResultExitStatus(result) == kExitSuccess;
        }
        console.WriteOutput(JsonLine({{"event", "summary"},
                                      {"ports", results.size()},
                                      {"succeeded", nSucceeded},
                                      {"failed", results.size() - static_cast<size_t>(nSucceeded)},
                                      {"exit_status", HighestExitStatus(results)}}));
        return results;
    }
    const std::string strTable = SummaryTable(results);
    std::fwrite(strTable.data(), 1, strTable.size(), stdout);
    std::fflush(stdout);
    return results;
}
