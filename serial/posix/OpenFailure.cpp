#include "serial/posix/OpenFailure.h"

#include <cerrno>
#include <cstring>
#include <filesystem>

#include <fmt/format.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

std::string UserName()
{
    const passwd* pUser = ::getpwuid(::geteuid());
    return pUser ? pUser->pw_name : std::to_string(::geteuid());
}

std::string GroupOf(const std::string& strPath)
{
    struct stat info {};
    if (::stat(strPath.c_str(), &info) != 0)
        return "dialout";
    const group* pGroup = ::getgrgid(info.st_gid);
    return pGroup ? pGroup->gr_name : std::to_string(info.st_gid);
}

}  // namespace

std::string OpenErrorReason(const std::string& strPath, int nErrno)
{
    switch (nErrno) {
    case ENOENT: return "not found (not plugged in, or a wrong name)";
    case ENXIO:
    case ENODEV: return "not found (the device is gone)";
    case EACCES:
    case EPERM: {
        // The device itself, not a link to it: that is what 'ls -l' must show.
        std::error_code ec;
        const fs::path device = fs::weakly_canonical(strPath, ec);
        const std::string strDevice = ec ? strPath : device.string();
        struct stat info {};
        if (::stat(strPath.c_str(), &info) == 0 && info.st_gid == 0)
            return fmt::format("permission denied: the device belongs to group root, which no ordinary user should "
                               "join; give it a group such as dialout (a udev rule), check with 'ls -l {}; id -nG'",
                               strDevice);
        const std::string strGroup = GroupOf(strPath);
        const std::string strUser = UserName();
        return fmt::format("permission denied: the device's group ({0}) must include user {1}; check with "
                           "'ls -l {2}; id -nG', add with 'sudo usermod -aG {0} {1}', then log in again",
                           strGroup, strUser, strDevice);
    }
    case EBUSY: {
        struct stat info {};
        return HeldByReason(strPath, ::stat(strPath.c_str(), &info) == 0 ? info.st_rdev : 0);
    }
    case EISDIR: return "not a serial device (a folder)";
    default: return std::strerror(nErrno);
    }
}

std::string NotSerialReason(int fd)
{
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISCHR(info.st_mode))
        return "not a serial device";
    // /dev/tty, /dev/console and /dev/ptmx stand for other terminals.
    if (::major(info.st_rdev) == 5 && ::minor(info.st_rdev) <= 2)
        return "not a serial device (a terminal of the system)";
    if (!::isatty(fd))
        return "not a serial device";
    // The terminal this program runs in: raw mode would take it from the shell.
    const pid_t session = ::tcgetsid(fd);
    if (session != -1 && session == ::getsid(0))
        return "not a serial device (the terminal this program runs in)";
    return std::string();
}
