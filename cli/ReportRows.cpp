#include "cli/ReportRows.h"

#include "cli/CsvReport.h"

bool AppendReportRows(const std::string& strReport, const std::string& strFile, const std::string& strSha256,
                      const std::vector<SPortResult>& results, std::string& strError)
{
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
