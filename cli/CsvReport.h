#pragma once
// The traceability record: one CSV row per device written, appended whole so
// that a crash or a second program appending at once never leaves half a row.
#include <string>

// One device's row.
struct SReportRow {
    std::string strUtcTime;  // "2026-12-11T01:02:03Z"
    std::string strPort;
    std::string strUsbSerial;  // empty where the platform does not know it
    std::string strFileName;
    std::string strFileSha256;
    std::string strResult;  // the summary's class word
    long long nBytes = 0;
    double dSeconds = 0;
};

// The header line, with its line end; on Windows it starts with a UTF-8
// byte-order mark, for Excel.
std::string ReportHeader();
// A row as one CSV line (RFC 4180 quoting where a field needs it), with its line end.
std::string ReportLine(const SReportRow& row);
// The time now as the row writes it.
std::string UtcTimeNow();

// Appends row to the file at strPath (the header first when the file is new
// or empty) with one write to a file opened for appending, then flushes it to
// the disk; false with strError when that fails.
bool AppendReportRow(const std::string& strPath, const SReportRow& row, std::string& strError);

// Why strPath cannot take the report, or empty when it is a file or a new
// path: a folder, a FIFO (the run would wait for its reader), a terminal.
std::string ReportPathProblem(const std::string& strPath);
// The problem of a report path that opened as something other than a file.
std::string NotAFileProblem(const std::string& strPath);

// What goes before a row in a file whose last byte is cLast: nothing after a
// line end, the rest of one after a lone "\r", a whole one after a cut line.
const char* LineEndAfter(char cLast);

// The platform seam: appends strText to strPath with one write and flushes it
// to the disk, strHeader going first in the same write when the file is new or
// empty, a line end first when its last line has none. Refuses what
// ReportPathProblem refuses, before opening it; an empty strText only checks.
// Whether rows could be appended to strPath, found without writing or
// creating anything: an existing file is opened for appending and closed, a
// new one needs a folder to be made in.
bool CheckReportWritable(const std::string& strPath, std::string& strError);
bool AppendWhole(const std::string& strPath, const std::string& strText, const std::string& strHeader,
                 std::string& strError);
