#include "cli/ReportRows.h"

#include "cli/CsvReport.h"
#include "core/FileSystem.h"
#include "core/Sha256.h"

bool AppendReportRows(const std::string& strReport, const std::string& strFile, const std::vector<SPortResult>& results,
                      std::string& strError)
{
    // The digest of the file as it is now: the runs have read it already.
    // A file that is missing or cannot be read gets its rows with no digest
    // (their result says why), never the digest of nothing.
    std::string strBytes;
    std::string strReadError;
    const bool bRead = ReadFileBytes(strFile, strBytes, strReadError) && !strBytes.empty();
    const std::string strSha256 = bRead ? Sha256Hex(strBytes) : "";
    const std::string strTime = UtcTimeNow();
    for (const SPortResult& result : results) {
        SReportRow row;
        row.strUtcTime = strTime;
        row.strPort = result.strPort;
        row.strUsbSerial = result.strUsbSerial;
        row.strFileName = strFile;
        row.strFileSha256 = strSha256;
        row.strResult = ResultClass(result);
        row.nBytes = result.nBytes;
        row.dSeconds = result.dSeconds;
        if (!AppendReportRow(strReport, row, strError))
            return false;
    }
    return true;
}
