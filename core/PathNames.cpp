// The file-system seam's rules for path text: the same on every platform but
// for what separates folders (Windows takes '/' as well as '\').
#include <string>
#include <string_view>

#include "core/FileSystem.h"

namespace {

#ifdef _WIN32
constexpr std::string_view kSeparators = "\\/";
constexpr char kSeparator = '\\';
#else
constexpr std::string_view kSeparators = "/";
constexpr char kSeparator = '/';
#endif

bool IsSeparator(char c)
{
    return kSeparators.find(c) != std::string_view::npos;
}

// How much of strPath is its root, which no folder above it has: "/" on
// POSIX; "C:", "C:\", "\" or "\\server\share\" on Windows.
size_t RootLength(const std::string& strPath)
{
#ifdef _WIN32
    if (strPath.size() >= 2 && strPath[1] == ':')
        return strPath.size() >= 3 && IsSeparator(strPath[2]) ? 3 : 2;
    if (strPath.size() >= 2 && IsSeparator(strPath[0]) && IsSeparator(strPath[1])) {
        // A share's root: the server and the share name with their separators.
        size_t nEnd = strPath.find_first_of(kSeparators, 2);
        if (nEnd != std::string::npos)
            nEnd = strPath.find_first_of(kSeparators, nEnd + 1);
        return nEnd == std::string::npos ? strPath.size() : nEnd + 1;
    }
#endif
    return !strPath.empty() && IsSeparator(strPath[0]) ? 1 : 0;
}

// Where the file name begins: after the last separator or the root.
size_t NameStart(const std::string& strPath)
{
    const size_t nSeparator = strPath.find_last_of(kSeparators);
    const size_t nAfter = nSeparator == std::string::npos ? 0 : nSeparator + 1;
    const size_t nRoot = RootLength(strPath);
    return nAfter > nRoot ? nAfter : nRoot;
}

}  // namespace

std::string ReplaceFileExt(const std::string& strPath, const std::string& strExt)
{
    const size_t nNameStart = NameStart(strPath);
    const size_t nDot = strPath.rfind('.');
    if (nDot != std::string::npos && nDot > nNameStart)
        return strPath.substr(0, nDot + 1) + strExt;
    return strPath + "." + strExt;
}

std::string FolderOf(const std::string& strPath)
{
    const size_t nRoot = RootLength(strPath);
    size_t nEnd = NameStart(strPath);
    while (nEnd > nRoot && IsSeparator(strPath[nEnd - 1]))
        --nEnd;
    return strPath.substr(0, nEnd);
}

std::string JoinPath(const std::string& strFolder, const std::string& strName)
{
    if (strFolder.empty())
        return strName;
    if (IsSeparator(strFolder.back()) || RootLength(strFolder) == strFolder.size())
        return strFolder + strName;
    return strFolder + kSeparator + strName;
}
