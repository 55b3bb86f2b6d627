// The running program's own file, as /proc shows it.
#include <climits>
#include <string>

#include <unistd.h>

#include "core/FileSystem.h"

std::string ExecutablePath()
{
    std::string strExe(PATH_MAX, '\0');
    const ssize_t n = ::readlink("/proc/self/exe", strExe.data(), strExe.size());
    if (n <= 0 || static_cast<size_t>(n) >= strExe.size())
        return std::string();
    strExe.resize(static_cast<size_t>(n));
    return strExe;
}
