#pragma once
// A download to several ports at once: one engine per port, each on its own
// worker, so that a device that fails or hangs never holds up the others.
#include <string>
#include <vector>

#include "cli/CConsoleView.h"
#include "cli/CPortConsole.h"
#include "cli/CSignalWatcher.h"
#include "cli/CliCommands.h"

// How one port's run ended, for the summary.
struct SPortResult {
    std::string strPort;
    ERunEnd end = ERunEnd::kConnectionFailed;
    bool bStarted = false;  // false: the port's inputs were refused before a run
    long long nBytes = 0;   // the bytes of the image the run loaded
    double dSeconds = 0;
    std::string strDeviceVersion;  // the application version the device gave, or empty
    std::string strDevicePath;     // the device opened, where known
    std::string strUsbVendor;      // where the platform knows them
    std::string strUsbProduct;
    std::string strUsbSerial;
};

// The word for a port's result in the summary, the events and the report:
// "success", "connection", "file", "write", "verify", "disconnect",
// "cancelled", or "usage" for a port whose inputs were refused before a run.
const char* ResultClass(const SPortResult& result);
// The exit status of one port's result, and the highest of them all.
int ResultExitStatus(const SPortResult& result);
int HighestExitStatus(const std::vector<SPortResult>& results);

// The summary table: a line per port, with a header.
std::string SummaryTable(const std::vector<SPortResult>& results);

// Runs the download of options to every port of vecPorts at once (an empty
// port: the settings file's) and prints the summary, or in JSON a start and
// a result event per port and a summary event; Ctrl-C stops every run
// before its next block.
std::vector<SPortResult> RunPortsDownload(const CDownloadOptions& options, const std::vector<std::string>& vecPorts,
                                          EAnswer answer, EConsoleFormat format, CSignalWatcher& signals);
