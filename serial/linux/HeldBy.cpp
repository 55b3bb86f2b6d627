// Who holds a busy device, from the descriptors /proc shows.
#include <filesystem>
#include <fstream>

#include <fmt/format.h>
#include <sys/stat.h>
#include <unistd.h>

#include "serial/posix/OpenFailure.h"

namespace fs = std::filesystem;

std::string HeldByReason(const std::string& strPath, dev_t device)
{
    (void)strPath;
    // Every descriptor of every process we may look at; those of other
    // users stay hidden without root, and then no name is given.
    std::error_code ec;
    const pid_t self = ::getpid();
    for (fs::directory_iterator proc("/proc", ec), end; !ec && proc != end; proc.increment(ec)) {
        const std::string strPid = proc->path().filename().string();
        if (strPid.find_first_not_of("0123456789") != std::string::npos || std::stoi(strPid) == self)
            continue;
        std::error_code fdError;
        for (fs::directory_iterator fd(proc->path() / "fd", fdError), fdEnd; !fdError && fd != fdEnd;
             fd.increment(fdError)) {
            struct stat info {};
            if (::stat(fd->path().c_str(), &info) != 0 || !S_ISCHR(info.st_mode) || info.st_rdev != device)
                continue;
            std::ifstream comm(proc->path() / "comm");
            std::string strName;
            std::getline(comm, strName);
            return fmt::format("held by another program ({}, pid {})", strName.empty() ? "?" : strName, strPid);
        }
    }
    return "held by another program";
}
