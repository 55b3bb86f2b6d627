#pragma once
// The traceability record of a download: a row per port into --report FILE.
#include <string>
#include <vector>

#include "cli/PortsDownload.h"

// Appends a row per port of results to the report at strReport, naming
// strFile and strSha256, the digest of what the runs wrote; false with the
// reason in strError when a row could not be written (the rows before it stand).
bool AppendReportRows(const std::string& strReport, const std::string& strFile, const std::string& strSha256,
                      const std::vector<SPortResult>& results, std::string& strError);
