#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "cli/CsvReport.h"
#include "core/CUniqueFd.h"

bool AppendWhole(const std::string& strPath, const std::string& strText, const std::string& strHeader,
                 std::string& strError)
{
    CUniqueFd fd(::open(strPath.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644));
    if (!fd.IsValid()) {
        strError = "cannot open the report " + strPath + ": " + std::strerror(errno);
        return false;
    }
    // Held until the descriptor closes: another program appending to a new
    // report at once would otherwise find it empty too and head it again.
    // A file system without locks still gets whole rows.
    ::flock(fd.Get(), LOCK_EX);
    struct stat info {};
    const bool bKnownSize = ::fstat(fd.Get(), &info) == 0;
    const bool bEmpty = bKnownSize && info.st_size == 0;
    // The header goes out in the same write as the first row, so that a
    // file never holds a header without a row or a row without a header.
    const std::string strWhole = bEmpty ? strHeader + strText : strText;
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
