#pragma once
// What one port's run came to, and the words, statuses and table that show
// it (from the table of outcomes).
#include <string>
#include <vector>

#include "cli/Outcomes.h"

// How one port's run ended, for the summary.
struct SPortResult {
    std::string strPort;
    ERunEnd end = ERunEnd::kConnectionFailed;
    bool bStarted = false;            // false: the port's inputs were refused before a run
    int nRefusedStatus = kExitUsage;  // the exit status of that refusal
    long long nBytes = 0;             // the bytes of the image the run loaded; for a read, those read
    long long nBytesWritten = 0;      // of those, the bytes the device took before the run ended
    double dSeconds = 0;
    std::string strDeviceVersion;  // the application version the device gave, or empty
    std::string strDevicePath;     // the device opened, where known
    std::string strUsbVendor;      // where the platform knows them
    std::string strUsbProduct;
    std::string strUsbSerial;
};

// The word for a port's result in the summary, the events and the report:
// "success", "connection", "file", "write", "verify", "disconnect",
// "cancelled", or for a port whose inputs were refused before a run "usage"
// ("connection" when the port is not there).
const char* ResultClass(const SPortResult& result);
// The exit status of one port's result, and the highest of them all.
int ResultExitStatus(const SPortResult& result);
int HighestExitStatus(const std::vector<SPortResult>& results);

// The summary table: a line per port, with a header.
std::string SummaryTable(const std::vector<SPortResult>& results);

// The summary table, or the line saying no port was written, without a final line end.
std::string SummaryText(const std::vector<SPortResult>& results);
