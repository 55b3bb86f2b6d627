#include "sim/PseudoTerminal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {
std::string Failure(const char* pWhat)
{
    return std::string(pWhat) + ": " + std::strerror(errno);
}
}  // namespace

bool OpenPseudoTerminal(CUniqueFd& master, CUniqueFd& slave, std::string& strSlavePath, bool bRaw,
                        std::string& strError)
{
    CUniqueFd newMaster(posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!newMaster.IsValid()) {
        strError = Failure("posix_openpt");
        return false;
    }
    if (grantpt(newMaster.Get()) != 0 || unlockpt(newMaster.Get()) != 0) {
        strError = Failure("grantpt/unlockpt");
        return false;
    }
    char acPath[128];
    if (ptsname_r(newMaster.Get(), acPath, sizeof(acPath)) != 0) {
        strError = Failure("ptsname");
        return false;
    }
    CUniqueFd newSlave(::open(acPath, O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!newSlave.IsValid()) {
        strError = Failure(acPath);
        return false;
    }
    // Raw both ways: every byte passes unchanged, nothing is echoed.
    termios tio {};
    if (tcgetattr(newSlave.Get(), &tio) != 0) {
        strError = Failure("tcgetattr");
        return false;
    }
    if (bRaw) {
        cfmakeraw(&tio);
        tio.c_cflag |= CLOCAL | CREAD;
        if (tcsetattr(newSlave.Get(), TCSANOW, &tio) != 0) {
            strError = Failure("tcsetattr");
            return false;
        }
    }
    const int nFlags = fcntl(newMaster.Get(), F_GETFL);
    if (nFlags < 0 || fcntl(newMaster.Get(), F_SETFL, nFlags | O_NONBLOCK) != 0) {
        strError = Failure("fcntl");
        return false;
    }
    master = std::move(newMaster);
    slave = std::move(newSlave);
    strSlavePath = acPath;
    return true;
}

bool ReplaceSymlink(const std::string& strTarget, const std::string& strLinkPath, std::string& strError)
{
    // A link left by a simulator that was killed is replaced; anything that
    // is not a link is somebody's file and stays.
    struct stat info {};
    if (::lstat(strLinkPath.c_str(), &info) == 0 && !S_ISLNK(info.st_mode)) {
        strError = strLinkPath + ": exists and is not a symbolic link; not replaced";
        return false;
    }
    if (::unlink(strLinkPath.c_str()) != 0 && errno != ENOENT) {
        strError = Failure(strLinkPath.c_str());
        return false;
    }
    if (::symlink(strTarget.c_str(), strLinkPath.c_str()) != 0) {
        strError = Failure(strLinkPath.c_str());
        return false;
    }
    return true;
}
