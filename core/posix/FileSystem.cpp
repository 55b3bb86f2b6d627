// The file-system seam on POSIX.
#include "core/FileSystem.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

bool Fail(std::string& strError)
{
    strError = std::strerror(errno);
    return false;
}

bool WriteAll(int fd, const std::string& strBytes)
{
    size_t nDone = 0;
    while (nDone < strBytes.size()) {
        const ssize_t n = ::write(fd, strBytes.data() + nDone, strBytes.size() - nDone);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        nDone += static_cast<size_t>(n);
    }
    return true;
}

// A temporary file beside the target, removed unless it was renamed over it.
class CTempFile {
public:
    explicit CTempFile(const std::string& strTarget)
    {
        const fs::path target(strTarget);
        // Built a piece at a time: g++ 12 at -O3 warns falsely (-Wrestrict)
        // about "." + name + ".XXXXXX".
        std::string strName = ".";
        strName += target.filename().string();
        strName += ".XXXXXX";
        m_strPath = (target.parent_path() / strName).string();
        m_fd.Reset(::mkostemp(m_strPath.data(), O_CLOEXEC));
        if (!m_fd.IsValid())
            m_strPath.clear();
    }
    ~CTempFile()
    {
        m_fd.Reset();
        if (!m_strPath.empty())
            ::unlink(m_strPath.c_str());
    }
    CTempFile(const CTempFile&) = delete;
    CTempFile& operator=(const CTempFile&) = delete;

    int Fd() const { return m_fd.Get(); }
    const std::string& Path() const { return m_strPath; }
    bool Close() { return m_fd.Close(); }
    void Renamed() { m_strPath.clear(); }

private:
    CUniqueFd m_fd;
    std::string m_strPath;
};

// Rewrites the file where it stands: its owner, group and mode stay.
bool RewriteInPlace(const std::string& strPath, const std::string& strBytes, std::string& strError)
{
    CUniqueFd fd(::open(strPath.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC));
    if (!fd.IsValid())
        return Fail(strError);
    const bool bWritten = WriteAll(fd.Get(), strBytes) && ::fsync(fd.Get()) == 0;
    if (!fd.Close() || !bWritten)
        return Fail(strError);
    return true;
}

// Writes into what is no regular file (a terminal, the pipe behind
// /dev/stdout, a device) as it is. A FIFO nobody reads is refused rather than
// waited on.
bool WriteThrough(const std::string& strPath, const std::string& strBytes, std::string& strError)
{
    CUniqueFd fd(::open(strPath.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC | O_NONBLOCK));
    if (!fd.IsValid())
        return Fail(strError);
    const int nFlags = ::fcntl(fd.Get(), F_GETFL);
    if (nFlags < 0 || ::fcntl(fd.Get(), F_SETFL, nFlags & ~O_NONBLOCK) != 0 || !WriteAll(fd.Get(), strBytes))
        return Fail(strError);
    if (!fd.Close())
        return Fail(strError);
    return true;
}

}  // namespace

EPathKind PathKindOf(const std::string& strPath, std::string& strError)
{
    struct stat info {};
    if (strPath.empty())
        return EPathKind::kMissing;
    if (::stat(strPath.c_str(), &info) != 0) {
        if (errno == ENOENT || errno == ENOTDIR)
            return EPathKind::kMissing;
        strError = std::strerror(errno);
        return EPathKind::kUnknown;
    }
    if (S_ISDIR(info.st_mode))
        return EPathKind::kFolder;
    return S_ISREG(info.st_mode) ? EPathKind::kRegularFile : EPathKind::kOther;
}

bool PathExists(const std::string& strPath)
{
    struct stat info {};
    return !strPath.empty() && ::stat(strPath.c_str(), &info) == 0;
}

bool PathWritable(const std::string& strPath)
{
    if (::faccessat(AT_FDCWD, strPath.c_str(), F_OK, AT_EACCESS) == 0)
        return ::faccessat(AT_FDCWD, strPath.c_str(), W_OK, AT_EACCESS) == 0;
    const std::string strDir = fs::path(strPath).parent_path().string();
    return ::faccessat(AT_FDCWD, strDir.empty() ? "." : strDir.c_str(), W_OK, AT_EACCESS) == 0;
}

bool CInputFile::Open(const std::string& strPath, std::string& strError)
{
    m_fd.Reset(::open(strPath.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!m_fd.IsValid())
        return Fail(strError);
    struct stat info {};
    if (::fstat(m_fd.Get(), &info) != 0 || !S_ISREG(info.st_mode)) {
        m_fd.Reset();
        strError = "not a regular file";
        return false;
    }
    return true;
}

long CInputFile::Read(char* pBuffer, size_t nCapacity)
{
    for (;;) {
        const ssize_t n = ::read(m_fd.Get(), pBuffer, nCapacity);
        if (n >= 0)
            return static_cast<long>(n);
        if (errno != EINTR)
            return -1;
    }
}

bool ReadFileBytes(const std::string& strPath, std::string& strBytes, std::string& strError)
{
    strBytes.clear();
    CUniqueFd fd(::open(strPath.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.IsValid()) {
        if (errno == ENOENT)
            return true;
        return Fail(strError);
    }
    char buffer[8192];
    for (;;) {
        const ssize_t n = ::read(fd.Get(), buffer, sizeof buffer);
        if (n == 0)
            return true;
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return Fail(strError);
        strBytes.append(buffer, static_cast<size_t>(n));
    }
}

bool ReplaceFile(const std::string& strGivenPath, const std::string& strBytes, std::string& strError)
{
    struct stat old {};
    if (::stat(strGivenPath.c_str(), &old) == 0 && !S_ISREG(old.st_mode))
        return WriteThrough(strGivenPath, strBytes, strError);
    // A link: the file it leads to is replaced and the link stays. A rename
    // over the link would put a file in its place (run as root, even over
    // /dev/stdout).
    const std::string strPath = LinkTarget(strGivenPath);
    const bool bExists = ::stat(strPath.c_str(), &old) == 0;
    if (bExists && ::faccessat(AT_FDCWD, strPath.c_str(), W_OK, AT_EACCESS) != 0)
        return Fail(strError);
    if (bExists && old.st_uid != ::geteuid())
        return RewriteInPlace(strPath, strBytes, strError);
    CTempFile temp(strPath);
    if (temp.Fd() < 0) {
        // A writable file in a folder that is not: in place is the only way.
        if (bExists && (errno == EACCES || errno == EPERM))
            return RewriteInPlace(strPath, strBytes, strError);
        return Fail(strError);
    }
    const mode_t mode = bExists ? (old.st_mode & 07777) : 0644;
    if (::fchmod(temp.Fd(), mode) != 0 || !WriteAll(temp.Fd(), strBytes))
        return Fail(strError);
    if (::fsync(temp.Fd()) != 0 || !temp.Close())
        return Fail(strError);
    if (::rename(temp.Path().c_str(), strPath.c_str()) != 0)
        return Fail(strError);
    temp.Renamed();
    // The rename itself survives a power loss only once the folder is synced.
    const std::string strDir = fs::path(strPath).parent_path().string();
    CUniqueFd dir(::open(strDir.empty() ? "." : strDir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.IsValid())
        ::fsync(dir.Get());
    return true;
}

std::string EnvironmentText(const std::string& strName)
{
    const char* pszValue = std::getenv(strName.c_str());
    return pszValue == nullptr ? std::string() : std::string(pszValue);
}

std::string UserSettingsFolder()
{
    fs::path dir;
    const std::string strConfig = EnvironmentText("XDG_CONFIG_HOME");
    if (!strConfig.empty() && strConfig.front() == '/') {
        dir = strConfig;
    } else {
        std::string strHome = EnvironmentText("HOME");
        if (strHome.empty()) {
            const passwd* pUser = ::getpwuid(::getuid());
            strHome = pUser != nullptr && pUser->pw_dir != nullptr ? pUser->pw_dir : "/tmp";
        }
        dir = fs::path(strHome) / ".config";
    }
    dir /= "vantrel";
    std::error_code ec;
    fs::create_directories(dir, ec);  // a failure shows when the file is written
    return dir.string();
}

std::string LinkTarget(const std::string& strPath)
{
    std::error_code ec;
    if (!fs::is_symlink(strPath, ec))
        return strPath;
    const fs::path target = fs::weakly_canonical(strPath, ec);
    return ec ? strPath : target.string();
}
