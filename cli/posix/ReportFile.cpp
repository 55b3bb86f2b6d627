#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "cli/CsvReport.h"
#include "core/CUniqueFd.h"

bool CheckReportWritable(const std::string& strPath, std::string& strError)
{
    if (strError = ReportPathProblem(strPath); !strError.empty())
        return false;
    CUniqueFd fd(::open(strPath.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC | O_NONBLOCK));
    if (fd.IsValid() || errno != ENOENT) {
        if (!fd.IsValid()) {
            strError = "cannot open the report " + strPath + ": " + std::strerror(errno);
            return false;
        }
        return true;
    }
    // A new report: its folder must be there and take a new file.
    const size_t nSlash = strPath.rfind('/');
    const std::string strFolder = nSlash == std::string::npos ? "." : nSlash == 0 ? "/" : strPath.substr(0, nSlash);
    if (::access(strFolder.c_str(), W_OK | X_OK) != 0) {
        strError = "cannot open the report " + strPath + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

bool AppendWhole(const std::string& strPath, const std::string& strText, const std::string& strHeader,
                 std::string& strError)
{
    // Only a file keeps the rows: a FIFO would hold the run until someone
    // reads it, a terminal or a pipe cannot be synced. Named before the open,
    // which would wait on a FIFO; checked again on what was opened.
    if (strError = ReportPathProblem(strPath); !strError.empty())
        return false;
    // Read too, for the last byte; a report this user may only write still
    // takes rows.
    constexpr int kFlags = O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK;
    CUniqueFd fd(::open(strPath.c_str(), O_RDWR | kFlags, 0644));
    if (!fd.IsValid() && errno == EACCES)
        fd = CUniqueFd(::open(strPath.c_str(), O_WRONLY | kFlags, 0644));
    if (!fd.IsValid()) {
        strError = "cannot open the report " + strPath + ": " + std::strerror(errno);
        return false;
    }
    struct stat info {};
    if (::fstat(fd.Get(), &info) == 0 && !S_ISREG(info.st_mode)) {
        strError = NotAFileProblem(strPath);
        return false;
    }
    // Held until the descriptor closes: another program appending to a new
    // report at once would otherwise find it empty too and head it again.
    // A file system without locks still gets whole rows.
    ::flock(fd.Get(), LOCK_EX);
    const bool bKnownSize = ::fstat(fd.Get(), &info) == 0;
    const bool bEmpty = bKnownSize && info.st_size == 0;
    // A last line without its line end (a row typed in by hand) gets one
    // first, so that the row does not continue it.
    char cLast = '\n';
    if (!strText.empty() && bKnownSize && info.st_size > 0 && ::pread(fd.Get(), &cLast, 1, info.st_size - 1) != 1)
        cLast = '\n';
    // The header goes out in the same write as the first row, so that a
    // file never holds a header without a row or a row without a header.
    const std::string strWhole = bEmpty ? strHeader + strText : LineEndAfter(cLast) + strText;
    const ssize_t nWritten = ::write(fd.Get(), strWhole.data(), strWhole.size());
    if (nWritten != static_cast<ssize_t>(strWhole.size())) {
        // A full disk takes part of a row: it is cut off again, so that the
        // next row, once there is room, does not continue a broken one.
        const int nError = nWritten < 0 ? errno : ENOSPC;
        if (nWritten > 0 && bKnownSize)
            (void)::ftruncate(fd.Get(), info.st_size);
        strError = "cannot write the report " + strPath + ": " + std::strerror(nError);
        return false;
    }
    if (::fsync(fd.Get()) != 0) {
        strError = "cannot write the report " + strPath + ": " + std::strerror(errno);
        return false;
    }
    return true;
}
