#include "cli/CsvReport.h"

#include <chrono>
#include <ctime>

#include <fmt/format.h>

#include "core/FileSystem.h"

namespace {

std::string CsvField(const std::string& strField)
{
    if (strField.find_first_of(",\"\r\n") == std::string::npos)
        return strField;
    std::string strQuoted = "\"";
    for (const char c : strField) {
        if (c == '"')
            strQuoted += '"';
        strQuoted += c;
    }
    return strQuoted + "\"";
}

}  // namespace

std::string ReportHeader()
{
#ifdef _WIN32
    // Excel on a Chinese Windows reads a CSV without a byte-order mark in
    // code page 936. The mark goes with the header, so only into a new file,
    // never into the middle of one that is appended to.
    return "\xEF\xBB\xBFutc_time,port,usb_serial,file,file_sha256,result,bytes,seconds\r\n";
#else
    return "utc_time,port,usb_serial,file,file_sha256,result,bytes,seconds\r\n";
#endif
}

std::string ReportLine(const SReportRow& row)
{
    return fmt::format("{},{},{},{},{},{},{},{:.1f}\r\n", CsvField(row.strUtcTime), CsvField(row.strPort),
                       CsvField(row.strUsbSerial), CsvField(row.strFileName), CsvField(row.strFileSha256),
                       CsvField(row.strResult), row.nBytes, row.dSeconds);
}

std::string UtcTimeNow()
{
    const std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
    std::tm utc {};
#ifdef _WIN32
    gmtime_s(&utc, &now);
#else
    gmtime_r(&now, &utc);
#endif
    return fmt::format("{:04}-{:02}-{:02}T{:02}:{:02}:{:02}Z", utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday,
                       utc.tm_hour, utc.tm_min, utc.tm_sec);
}

bool AppendReportRow(const std::string& strPath, const SReportRow& row, std::string& strError)
{
    return AppendWhole(strPath, ReportLine(row), ReportHeader(), strError);
}

std::string NotAFileProblem(const std::string& strPath)
{
    return "the report " + strPath + " is not a regular file: a FIFO, a terminal or a device cannot keep its rows";
}

std::string ReportPathProblem(const std::string& strPath)
{
    std::string strError;
    switch (PathKindOf(strPath, strError)) {
    case EPathKind::kFolder: return "the report " + strPath + " is a folder, not a file";
    case EPathKind::kOther: return NotAFileProblem(strPath);
    case EPathKind::kMissing:
    case EPathKind::kRegularFile:
    case EPathKind::kUnknown: break;  // the open says why
    }
    return std::string();
}

const char* LineEndAfter(char cLast)
{
    return cLast == '\n' ? "" : cLast == '\r' ? "\n" : "\r\n";
}
