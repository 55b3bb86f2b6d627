#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "cli/CsvReport.h"
#include "core/CUniqueFd.h"

bool AppendWhole(const std::string& strPath, const std::string& strText, const std::string& strHeader,
                 std::string& strError)
{
    // Whoever creates the file writes the header: two programs appending to
    // a new report at once must not both head it.
    CUniqueFd fd(::open(strPath.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
    bool bEmpty = fd.IsValid();
    if (!fd.IsValid() && errno == EEXIST) {
        fd = CUniqueFd(::open(strPath.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC));
        struct stat info {};
        bEmpty = fd.IsValid() && ::fstat(fd.Get(), &info) == 0 && info.st_size == 0;
    }
    if (!fd.IsValid()) {
        strError = "cannot open the report " + strPath + ": " + std::strerror(errno);
        return false;
    }
    // The header goes out in the same write as the first row, so that a
    // file never holds a header without a row or a row without a header.
    const std::string strWhole = bEmpty ? strHeader + strText : strText;
    const ssize_t nWritten = ::write(fd.Get(), strWhole.data(), strWhole.size());
    if (nWritten != static_cast<ssize_t>(strWhole.size()) || ::fsync(fd.Get()) != 0) {
        strError = "cannot write the report " + strPath + ": " + std::strerror(errno);
        return false;
    }
    return true;
}
