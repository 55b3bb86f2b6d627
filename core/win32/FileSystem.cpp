// The file-system seam on Windows. Every path reaches the system through the
// W functions as UTF-16: the narrow functions and std::filesystem read a
// narrow path in the ANSI code page, and ours are UTF-8.
#include "core/FileSystem.h"

#include <atomic>
#include <climits>
#include <cstdlib>
#include <cwchar>
#include <cwctype>

#include <fcntl.h>
#include <io.h>

#include <windows.h>

#include <knownfolders.h>
#include <shlobj.h>
// <windows.h> makes ReplaceFile a macro for ReplaceFileW: the seam's own
// function of that name must keep its name here, where it is defined.
#undef ReplaceFile

#include "core/win32/CUniqueHandle.h"
#include "core/win32/WideText.h"

namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

bool Fail(std::string& strError, DWORD nError)
{
    strError = SystemErrorText(nError);
    return false;
}

bool IsMissing(DWORD nError)
{
    return nError == ERROR_FILE_NOT_FOUND || nError == ERROR_PATH_NOT_FOUND;
}

bool StartsWith(const std::wstring& strText, const wchar_t* pszStart)
{
    return strText.compare(0, std::wcslen(pszStart), pszStart) == 0;
}

// Whether the path names a device rather than a file: "COM3", "NUL" and
// "\\.\COM12" all reach the device namespace once made full. A device is
// never opened here: a COM port would be taken from its user.
bool IsDevicePath(const std::wstring& strPath)
{
    const DWORD nSize = ::GetFullPathNameW(strPath.c_str(), 0, nullptr, nullptr);
    if (nSize == 0)
        return false;
    std::wstring strFull(nSize, L'\0');
    const DWORD nLength = ::GetFullPathNameW(strPath.c_str(), nSize, strFull.data(), nullptr);
    strFull.resize(nLength < nSize ? nLength : 0);
    if (!StartsWith(strFull, L"\\\\.\\") && !StartsWith(strFull, L"\\\\?\\"))
        return false;
    // "\\?\C:\x" is a file on a drive and "\\?\UNC\server\share\x" one on a share.
    const std::wstring strRest = strFull.substr(4);
    if (strRest.size() >= 2 && std::iswalpha(strRest[0]) && strRest[1] == L':')
        return false;
    return !(strRest.size() >= 4 && ::_wcsnicmp(strRest.c_str(), L"UNC\\", 4) == 0);
}

// Opens an existing file to read; a device, a pipe or a folder is refused
// with nError 0, anything the system refuses with its code.
CUniqueHandle OpenToRead(const std::wstring& strPath, DWORD& nError)
{
    nError = 0;
    if (IsDevicePath(strPath))
        return CUniqueHandle();
    const DWORD nAttributes = ::GetFileAttributesW(strPath.c_str());
    if (nAttributes == INVALID_FILE_ATTRIBUTES) {
        nError = ::GetLastError();
        return CUniqueHandle();
    }
    if ((nAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
        return CUniqueHandle();
    // Others may go on reading, writing or replacing it meanwhile: an editor
    // that saves the firmware file is not refused while we read it.
    CUniqueHandle file(::CreateFileW(strPath.c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                                     FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!file.IsValid()) {
        nError = ::GetLastError();
        return file;
    }
    if (::GetFileType(file.Get()) != FILE_TYPE_DISK)
        file.Reset();
    return file;
}

bool WriteAll(HANDLE hFile, const std::string& strBytes)
{
    size_t nDone = 0;
    while (nDone < strBytes.size()) {
        const size_t nLeft = strBytes.size() - nDone;
        const DWORD nChunk = nLeft > (1u << 30) ? (1u << 30) : static_cast<DWORD>(nLeft);
        DWORD nWritten = 0;
        if (!::WriteFile(hFile, strBytes.data() + nDone, nChunk, &nWritten, nullptr) || nWritten == 0)
            return false;
        nDone += nWritten;
    }
    return true;
}

// Writes, flushes to the disk and closes; the system's code on failure.
bool WriteFlushClose(CUniqueHandle& file, const std::string& strBytes, DWORD& nError)
{
    const bool bWritten = WriteAll(file.Get(), strBytes) && ::FlushFileBuffers(file.Get());
    nError = bWritten ? 0 : ::GetLastError();
    if (!file.Close() && bWritten)
        nError = ::GetLastError();
    return nError == 0;
}

// A new file beside the target, deleted unless it was moved over it.
class CTempFile {
public:
    explicit CTempFile(const std::string& strTarget)
    {
        static std::atomic<unsigned> s_nCounter {0};
        const std::string strFolder = FolderOf(strTarget);
        const size_t nNameEnd = strTarget.find_last_of("\\/:");
        const std::string strName = strTarget.substr(nNameEnd == std::string::npos ? 0 : nNameEnd + 1);
        for (int nTry = 0; nTry < 100 && !m_file.IsValid(); ++nTry) {
            // Unique to this process and call; a leftover of a crash is skipped.
            std::string strTemp = ".";
            strTemp += strName;
            strTemp += "." + std::to_string(::GetCurrentProcessId()) + "-" + std::to_string(s_nCounter++) + ".tmp";
            m_strPath = Utf8ToWide(JoinPath(strFolder, strTemp));
            m_file.Reset(::CreateFileW(m_strPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                                       nullptr));
            m_nError = m_file.IsValid() ? 0 : ::GetLastError();
            if (m_nError != ERROR_FILE_EXISTS && m_nError != ERROR_ALREADY_EXISTS)
                break;
        }
        if (!m_file.IsValid())
            m_strPath.clear();
    }
    ~CTempFile()
    {
        m_file.Reset();
        if (!m_strPath.empty())
            ::DeleteFileW(m_strPath.c_str());
    }
    CTempFile(const CTempFile&) = delete;
    CTempFile& operator=(const CTempFile&) = delete;

    CUniqueHandle& File() { return m_file; }
    DWORD OpenError() const { return m_nError; }
    const std::wstring& Path() const { return m_strPath; }
    void Moved() { m_strPath.clear(); }

private:
    CUniqueHandle m_file;
    std::wstring m_strPath;
    DWORD m_nError = 0;
};

// Rewrites the file where it stands, for a folder where no new file may be
// made: a crash in between may leave it short.
bool RewriteInPlace(const std::wstring& strPath, const std::string& strBytes, std::string& strError)
{
    CUniqueHandle file(::CreateFileW(strPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, TRUNCATE_EXISTING,
                                     FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.IsValid())
        return Fail(strError, ::GetLastError());
    DWORD nError = 0;
    return WriteFlushClose(file, strBytes, nError) || Fail(strError, nError);
}

// Why the existing file may be neither replaced nor rewritten (its access
// list, or another program that holds it without sharing), 0 when it may.
// Asked before anything is written: a failed ReplaceFileW may leave a file of
// its own behind (Wine's does).
DWORD ReplaceRefusal(const std::wstring& strPath)
{
    CUniqueHandle file(::CreateFileW(strPath.c_str(), GENERIC_WRITE | DELETE, kShareAll, nullptr, OPEN_EXISTING,
                                     FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD nError = file.IsValid() ? 0 : ::GetLastError();
    if (nError == ERROR_ACCESS_DENIED) {
        // Without the right to delete it, it may still be rewritten in place.
        file.Reset(::CreateFileW(strPath.c_str(), GENERIC_WRITE, kShareAll, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, nullptr));
        nError = file.IsValid() ? 0 : ::GetLastError();
    }
    return nError;
}

// Puts the written temporary file in the target's place: 0, or the system's
// code.
DWORD MoveOver(CTempFile& temp, const std::wstring& strTarget, bool bExists)
{
    const DWORD nMoveFlags = MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH;
    if (bExists && !::ReplaceFileW(strTarget.c_str(), temp.Path().c_str(), nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS,
                                   nullptr, nullptr)) {
        const DWORD nError = ::GetLastError();
        // The old file is gone already and the new one kept its temporary
        // name: a plain move finishes the job.
        if (nError != ERROR_UNABLE_TO_MOVE_REPLACEMENT)
            return nError;
        if (!::MoveFileExW(temp.Path().c_str(), strTarget.c_str(), nMoveFlags))
            return ::GetLastError();
    } else if (!bExists && !::MoveFileExW(temp.Path().c_str(), strTarget.c_str(), nMoveFlags)) {
        return ::GetLastError();
    }
    temp.Moved();
    return 0;
}

// Makes the folder and those above it that are missing.
void MakeFolders(const std::string& strFolder)
{
    const std::wstring strWide = Utf8ToWide(strFolder);
    if (strWide.empty() || ::GetFileAttributesW(strWide.c_str()) != INVALID_FILE_ATTRIBUTES)
        return;
    const std::string strParent = FolderOf(strFolder);
    if (strParent != strFolder)
        MakeFolders(strParent);
    ::CreateDirectoryW(strWide.c_str(), nullptr);
}

// The roaming application-data folder: %APPDATA% as the shell knows it.
std::string RoamingAppData()
{
    PWSTR pszFolder = nullptr;
    std::string strFolder;
    if (SUCCEEDED(::SHGetKnownFolderPath(FOLDERID_RoamingAppData, KF_FLAG_CREATE, nullptr, &pszFolder)))
        strFolder = WideToUtf8(pszFolder);
    ::CoTaskMemFree(pszFolder);  // given even on failure, and null is allowed
    if (!strFolder.empty())
        return strFolder;
    if (const wchar_t* pszAppData = ::_wgetenv(L"APPDATA"))
        strFolder = WideToUtf8(pszAppData);
    if (!strFolder.empty())
        return strFolder;
    wchar_t szTemp[MAX_PATH + 1] = {};
    const DWORD nLength = ::GetTempPathW(MAX_PATH + 1, szTemp);
    return nLength > 0 && nLength <= MAX_PATH ? WideToUtf8(std::wstring(szTemp, nLength)) : std::string(".");
}

}  // namespace

EPathKind PathKindOf(const std::string& strPath, std::string& strError)
{
    if (strPath.empty())
        return EPathKind::kMissing;
    const std::wstring strWide = Utf8ToWide(strPath);
    // A device's attributes may not be had without opening it.
    if (IsDevicePath(strWide))
        return EPathKind::kOther;
    const DWORD nAttributes = ::GetFileAttributesW(strWide.c_str());
    if (nAttributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD nError = ::GetLastError();
        if (IsMissing(nError) || nError == ERROR_INVALID_NAME)
            return EPathKind::kMissing;
        strError = SystemErrorText(nError);
        return EPathKind::kUnknown;
    }
    if ((nAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
        return EPathKind::kFolder;
    return (nAttributes & FILE_ATTRIBUTE_DEVICE) != 0 ? EPathKind::kOther : EPathKind::kRegularFile;
}

bool PathExists(const std::string& strPath)
{
    std::string strError;
    return PathKindOf(strPath, strError) != EPathKind::kMissing;
}

bool PathWritable(const std::string& strPath)
{
    if (strPath.empty())
        return false;
    const std::wstring strWide = Utf8ToWide(strPath);
    const DWORD nAttributes = ::GetFileAttributesW(strWide.c_str());
    if (nAttributes != INVALID_FILE_ATTRIBUTES) {
        if ((nAttributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)) != 0 || IsDevicePath(strWide))
            return false;
        // The file's access list decides too: ask for write access, as the
        // write will. Opening it changes nothing.
        CUniqueHandle file(::CreateFileW(strWide.c_str(), GENERIC_WRITE, kShareAll, nullptr, OPEN_EXISTING,
                                         FILE_ATTRIBUTE_NORMAL, nullptr));
        return file.IsValid() || ::GetLastError() == ERROR_SHARING_VIOLATION;
    }
    // A new file: whether one can be made in its folder. A folder's read-only
    // attribute means nothing to Windows, so only a real try tells.
    const std::string strFolder = FolderOf(strPath);
    const std::wstring strProbe = Utf8ToWide(JoinPath(
        strFolder.empty() ? "." : strFolder, ".vantrel-" + std::to_string(::GetCurrentProcessId()) + ".probe"));
    CUniqueHandle probe(::CreateFileW(strProbe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                      FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr));
    return probe.IsValid() || ::GetLastError() == ERROR_FILE_EXISTS;
}

bool CInputFile::Open(const std::string& strPath, std::string& strError)
{
    m_fd.Reset();
    DWORD nError = 0;
    CUniqueHandle file = OpenToRead(Utf8ToWide(strPath), nError);
    if (!file.IsValid()) {
        strError = nError != 0 ? SystemErrorText(nError) : "not a regular file";
        return false;
    }
    // The C runtime's descriptor takes the handle over and closes it.
    const int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(file.Get()), _O_RDONLY | _O_BINARY);
    if (fd < 0) {
        strError = "no C runtime descriptor is free";
        return false;
    }
    file.Release();
    m_fd.Reset(fd);
    return true;
}

long CInputFile::Read(char* pBuffer, size_t nCapacity)
{
    const unsigned nAsk = nCapacity > INT_MAX ? INT_MAX : static_cast<unsigned>(nCapacity);
    return ::_read(m_fd.Get(), pBuffer, nAsk);
}

bool ReadFileBytes(const std::string& strPath, std::string& strBytes, std::string& strError)
{
    strBytes.clear();
    DWORD nError = 0;
    CUniqueHandle file = OpenToRead(Utf8ToWide(strPath), nError);
    if (!file.IsValid()) {
        if (IsMissing(nError))
            return true;
        strError = nError != 0 ? SystemErrorText(nError) : "not a regular file";
        return false;
    }
    char buffer[8192];
    for (;;) {
        DWORD nRead = 0;
        if (!::ReadFile(file.Get(), buffer, sizeof buffer, &nRead, nullptr))
            return Fail(strError, ::GetLastError());
        if (nRead == 0)
            return true;
        strBytes.append(buffer, nRead);
    }
}

bool ReplaceFile(const std::string& strPath, const std::string& strBytes, std::string& strError)
{
    const std::wstring strWide = Utf8ToWide(strPath);
    const DWORD nAttributes = ::GetFileAttributesW(strWide.c_str());
    const bool bExists = nAttributes != INVALID_FILE_ATTRIBUTES;
    if (bExists && (nAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        strError = "it is a folder";
        return false;
    }
    if (bExists && (nAttributes & FILE_ATTRIBUTE_READONLY) != 0) {
        strError = "the file is read-only";
        return false;
    }
    if (bExists) {
        const DWORD nRefusal = ReplaceRefusal(strWide);
        if (nRefusal != 0)
            return Fail(strError, nRefusal);
    }
    CTempFile temp(strPath);
    if (!temp.File().IsValid()) {
        // A writable file in a folder that is not: in place is the only way.
        if (bExists && temp.OpenError() == ERROR_ACCESS_DENIED)
            return RewriteInPlace(strWide, strBytes, strError);
        return Fail(strError, temp.OpenError());
    }
    DWORD nError = 0;
    if (!WriteFlushClose(temp.File(), strBytes, nError))
        return Fail(strError, nError);
    nError = MoveOver(temp, strWide, bExists);
    // A file this user may write but not delete: both files are as they were,
    // and the old one can still be rewritten where it stands.
    if (nError == ERROR_UNABLE_TO_REMOVE_REPLACED)
        return RewriteInPlace(strWide, strBytes, strError);
    return nError == 0 || Fail(strError, nError);
}

std::string ExecutablePath()
{
    // A path may be longer than MAX_PATH: grow until the name fits.
    for (DWORD nSize = MAX_PATH; nSize <= 32768 * 2; nSize *= 2) {
        std::wstring strPath(nSize, L'\0');
        const DWORD nLength = ::GetModuleFileNameW(nullptr, strPath.data(), nSize);
        if (nLength == 0)
            return std::string();
        if (nLength < nSize) {
            strPath.resize(nLength);
            return WideToUtf8(strPath);
        }
    }
    return std::string();
}

std::string UserSettingsFolder()
{
    const std::string strFolder = JoinPath(RoamingAppData(), "vantrel");
    MakeFolders(strFolder);  // a failure shows when the file is written
    return strFolder;
}

std::string EnvironmentText(const std::string& strName)
{
    const wchar_t* pszValue = ::_wgetenv(Utf8ToWide(strName).c_str());
    return pszValue == nullptr ? std::string() : WideToUtf8(pszValue);
}

std::string LinkTarget(const std::string& strPath)
{
    // ReplaceFileW keeps what the file is; no link needs following here.
    return strPath;
}
