#include <windows.h>

#include "cli/CsvReport.h"
#include "core/win32/CUniqueHandle.h"
#include "core/win32/WideText.h"

bool CheckReportWritable(const std::string& strPath, std::string& strError)
{
    if (strError = ReportPathProblem(strPath); !strError.empty())
        return false;
    const std::wstring strWide = Utf8ToWide(strPath);
    CUniqueHandle file(CreateFileW(strWide.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                   OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file.IsValid())
        return true;
    const DWORD nError = GetLastError();
    if (nError != ERROR_FILE_NOT_FOUND) {
        strError = "cannot open the report " + strPath + ": " + SystemErrorText(nError);
        return false;
    }
    // A new report: its folder must be there (whether it takes a new file is
    // found only by making one, which this check does not do).
    const size_t nSlash = strWide.find_last_of(L"\\/");
    const std::wstring strFolder = nSlash == std::wstring::npos ? L"." : strWide.substr(0, nSlash + 1);
    const DWORD nAttributes = GetFileAttributesW(strFolder.c_str());
    if (nAttributes == INVALID_FILE_ATTRIBUTES || !(nAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        strError = "cannot open the report " + strPath + ": " + SystemErrorText(ERROR_PATH_NOT_FOUND);
        return false;
    }
    return true;
}

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
    const bool bKnownSize = GetFileSizeEx(file.Get(), &size) != 0;
    const bool bEmpty = bKnownSize && size.QuadPart == 0;
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
        nWritten != strWhole.size()) {
        // The reason now, before another call overwrites it; a write cut
        // short without one is a full disk.
        const DWORD nError = nWritten != strWhole.size() && nWritten > 0 ? ERROR_DISK_FULL : GetLastError();
        // Part of a row is cut off again, as on Linux, so that the next row,
        // once there is room, does not continue a broken one.
        // (An appending handle may not cut: a second one, for writing, does,
        // once this handle's lock is out of its way.)
        if (nWritten > 0 && bKnownSize) {
            UnlockFileEx(file.Get(), 0, MAXDWORD, MAXDWORD, &whole);
            CUniqueHandle cutter(CreateFileW(Utf8ToWide(strPath).c_str(), FILE_WRITE_DATA,
                                             FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                             FILE_ATTRIBUTE_NORMAL, nullptr));
            FILE_END_OF_FILE_INFO end {};
            end.EndOfFile = size;
            if (cutter.IsValid())
                SetFileInformationByHandle(cutter.Get(), FileEndOfFileInfo, &end, sizeof end);
        }
        strError = "cannot write the report " + strPath + ": " + SystemErrorText(nError);
        return false;
    }
    if (!FlushFileBuffers(file.Get())) {
        strError = "cannot write the report " + strPath + ": " + SystemErrorText(GetLastError());
        return false;
    }
    return true;
}
