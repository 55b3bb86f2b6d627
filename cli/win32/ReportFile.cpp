#include <windows.h>

#include "cli/CsvReport.h"
#include "core/win32/CUniqueHandle.h"
#include "core/win32/WideText.h"

bool AppendWhole(const std::string& strPath, const std::string& strText, const std::string& strHeader,
                 std::string& strError)
{
    // Only a file keeps the rows: a pipe or the console cannot be flushed to a disk.
    if (strError = ReportPathProblem(strPath); !strError.empty())
        return false;
    // FILE_APPEND_DATA without FILE_WRITE_DATA: every write goes to the end,
    // whatever another program appended meanwhile. Read too, for the last byte.
    CUniqueHandle file(CreateFileW(Utf8ToWide(strPath).c_str(), FILE_APPEND_DATA | FILE_READ_DATA,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                   nullptr));
    if (!file.IsValid()) {
        strError = "cannot open the report " + strPath + ": " + SystemErrorText(GetLastError());
        return false;
    }
    if (GetFileType(file.Get()) != FILE_TYPE_DISK) {
        strError = NotAFileProblem(strPath);
        return false;
    }
    // Held until the handle closes: another program appending to a new
    // report at once would otherwise find it empty too and head it again.
    OVERLAPPED whole {};
    LockFileEx(file.Get(), LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &whole);
    LARGE_INTEGER size {};
    const bool bEmpty = GetFileSizeEx(file.Get(), &size) && size.QuadPart == 0;
    // A last line without its line end (a row typed in by hand) gets one
    // first, so that the row does not continue it.
    char cLast = '\n';
    if (!strText.empty() && !bEmpty && size.QuadPart > 0) {
        OVERLAPPED last {};
        const ULONGLONG nAt = static_cast<ULONGLONG>(size.QuadPart - 1);
        last.Offset = static_cast<DWORD>(nAt);
        last.OffsetHigh = static_cast<DWORD>(nAt >> 32);
        DWORD nRead = 0;
        if (!ReadFile(file.Get(), &cLast, 1, &nRead, &last) || nRead != 1)
            cLast = '\n';
    }
    const std::string strWhole = bEmpty ? strHeader + strText : LineEndAfter(cLast) + strText;
    DWORD nWritten = 0;
    if (!WriteFile(file.Get(), strWhole.data(), static_cast<DWORD>(strWhole.size()), &nWritten, nullptr) ||
        nWritten != strWhole.size() || !FlushFileBuffers(file.Get())) {
        strError = "cannot write the report " + strPath + ": " + SystemErrorText(GetLastError());
        return false;
    }
    return true;
}
