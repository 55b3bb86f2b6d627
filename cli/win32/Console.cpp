// The console on Windows: UTF-8 arguments and output, virtual-terminal
// colour, and a reply line that Ctrl-C ends.
#include "cli/Console.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <chrono>
#include <condition_variable>
#include <mutex>

#include <windows.h>

#include <shellapi.h>

#include "core/win32/CUniqueHandle.h"
#include "core/win32/WideText.h"

namespace {

HANDLE StreamHandle(EStdStream stream)
{
    return ::GetStdHandle(stream == EStdStream::kInput    ? STD_INPUT_HANDLE
                          : stream == EStdStream::kOutput ? STD_OUTPUT_HANDLE
                                                          : STD_ERROR_HANDLE);
}

// The console is the operator's window, shared with the programs run after
// this one: whatever this program changes in it is put back on the way out.
struct SConsoleBefore {
    UINT nOutputCodePage = 0;  // 0: not changed
    HANDLE hOutput[2] = {};    // standard output and error, where the mode was changed
    DWORD nMode[2] = {};
    HANDLE hInput = nullptr;  // standard input, where key input changed its mode
    DWORD nInputMode = 0;
};

std::mutex g_consoleMutex;
SConsoleBefore g_before;

// Turns on escape sequences for the stream's console, keeping its mode.
// False where there is no console or it cannot take them (a legacy console).
bool EnableSequences(EStdStream stream)
{
    const HANDLE hStream = StreamHandle(stream);
    DWORD nMode = 0;
    if (!::GetConsoleMode(hStream, &nMode))
        return false;
    if (nMode & ENABLE_VIRTUAL_TERMINAL_PROCESSING)
        return true;
    std::lock_guard<std::mutex> lock(g_consoleMutex);
    const size_t n = stream == EStdStream::kOutput ? 0 : 1;
    if (!::SetConsoleMode(hStream, nMode | ENABLE_VIRTUAL_TERMINAL_PROCESSING))
        return false;
    if (g_before.hOutput[n] == nullptr) {
        g_before.hOutput[n] = hStream;
        g_before.nMode[n] = nMode;
    }
    return true;
}

}  // namespace

std::vector<std::string> CommandLineArguments(int argc, char** argv)
{
    int nCount = 0;
    wchar_t** ppArgs = ::CommandLineToArgvW(::GetCommandLineW(), &nCount);
    if (ppArgs == nullptr)
        return std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc);
    std::vector<std::string> args;
    for (int i = 1; i < nCount; ++i)
        args.push_back(WideToUtf8(ppArgs[i]));
    ::LocalFree(ppArgs);
    return args;
}

void PrepareConsole()
{
    // The log and every path are UTF-8 inside; a console shows them as such
    // only in code page 65001. Files and pipes get the bytes unchanged.
    std::atexit(RestoreConsole);
    const UINT nCodePage = ::GetConsoleOutputCP();
    if (nCodePage == 0 || nCodePage == CP_UTF8 || !::SetConsoleOutputCP(CP_UTF8))
        return;
    std::lock_guard<std::mutex> lock(g_consoleMutex);
    g_before.nOutputCodePage = nCodePage;
}

void RestoreConsole()
{
    std::lock_guard<std::mutex> lock(g_consoleMutex);
    std::fflush(nullptr);
    // Where output and error share a console, only the first change was kept.
    for (size_t n = 0; n < 2; ++n) {
        if (g_before.hOutput[n] != nullptr)
            ::SetConsoleMode(g_before.hOutput[n], g_before.nMode[n]);
    }
    if (g_before.nOutputCodePage != 0)
        ::SetConsoleOutputCP(g_before.nOutputCodePage);
    if (g_before.hInput != nullptr)
        ::SetConsoleMode(g_before.hInput, g_before.nInputMode);
    g_before = SConsoleBefore();
}

bool BeginKeyInput()
{
    const HANDLE hInput = StreamHandle(EStdStream::kInput);
    DWORD nMode = 0;
    if (!::GetConsoleMode(hInput, &nMode))
        return false;
    std::lock_guard<std::mutex> lock(g_consoleMutex);
    if (g_before.hInput != nullptr)
        return true;
    // Keys one at a time, unechoed; Ctrl-C arrives as a key, not as a
    // control event.
    if (!::SetConsoleMode(hInput,
                          nMode & ~static_cast<DWORD>(ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT | ENABLE_PROCESSED_INPUT)))
        return false;
    g_before.hInput = hInput;
    g_before.nInputMode = nMode;
    return true;
}

void EndKeyInput()
{
    std::lock_guard<std::mutex> lock(g_consoleMutex);
    if (g_before.hInput == nullptr)
        return;
    ::SetConsoleMode(g_before.hInput, g_before.nInputMode);
    g_before.hInput = nullptr;
}

namespace {

// The characters typed on the console since the last call, as UTF-8.
EInputRead ReadConsoleKeys(HANDLE hInput, int nTimeoutMs, std::string& strInput)
{
    if (::WaitForSingleObject(hInput, static_cast<DWORD>(nTimeoutMs)) != WAIT_OBJECT_0)
        return EInputRead::kNothing;
    INPUT_RECORD records[64];
    DWORD nRead = 0;
    if (!::ReadConsoleInputW(hInput, records, 64, &nRead))
        return EInputRead::kEnd;
    std::wstring strKeys;
    for (DWORD i = 0; i < nRead; ++i) {
        const KEY_EVENT_RECORD& key = records[i].Event.KeyEvent;
        if (records[i].EventType != KEY_EVENT || !key.bKeyDown || key.uChar.UnicodeChar == 0)
            continue;
        strKeys.append(key.wRepeatCount > 0 ? key.wRepeatCount : 1, key.uChar.UnicodeChar);
    }
    if (strKeys.empty())
        return EInputRead::kNothing;
    strInput += WideToUtf8(strKeys);
    return EInputRead::kData;
}

// Standard input that is no console (a pipe, a file), read by a thread of its
// own: an anonymous pipe cannot be waited on with a timeout, and a pipe from
// outside Windows (Wine's) cannot even be peeked at. The thread ends with the
// input; at exit a read still waiting is cancelled.
class CInputReader {
public:
    explicit CInputReader(HANDLE hInput) : m_hInput(hInput)
    {
        m_thread.Reset(::CreateThread(nullptr, 0, &CInputReader::Run, this, 0, nullptr));
        if (!m_thread.IsValid())
            m_bEnded = true;
    }
    ~CInputReader()
    {
        if (!m_thread.IsValid())
            return;
        ::CancelSynchronousIo(m_thread.Get());
        // A read the system cannot cancel ends with the process.
        if (::WaitForSingleObject(m_thread.Get(), 200) != WAIT_OBJECT_0)
            m_thread.Release();
    }
    CInputReader(const CInputReader&) = delete;
    CInputReader& operator=(const CInputReader&) = delete;

    EInputRead Read(int nTimeoutMs, std::string& strInput)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_ready.wait_for(lock, std::chrono::milliseconds(nTimeoutMs),
                         [this] { return !m_strPending.empty() || m_bEnded; });
        if (!m_strPending.empty()) {
            strInput += m_strPending;
            m_strPending.clear();
            return EInputRead::kData;
        }
        return m_bEnded ? EInputRead::kEnd : EInputRead::kNothing;
    }

private:
    static DWORD WINAPI Run(void* pSelf)
    {
        auto* pReader = static_cast<CInputReader*>(pSelf);
        char buffer[512];
        for (;;) {
            DWORD nRead = 0;
            const bool bRead = ::ReadFile(pReader->m_hInput, buffer, sizeof buffer, &nRead, nullptr) && nRead > 0;
            std::lock_guard<std::mutex> lock(pReader->m_mutex);
            if (!bRead) {
                pReader->m_bEnded = true;
                pReader->m_ready.notify_all();
                return 0;
            }
            pReader->m_strPending.append(buffer, nRead);
            pReader->m_ready.notify_all();
        }
    }

    const HANDLE m_hInput;
    std::mutex m_mutex;
    std::condition_variable m_ready;
    std::string m_strPending;
    bool m_bEnded = false;
    CUniqueHandle m_thread;
};

}  // namespace

EInputRead ReadInput(int nTimeoutMs, std::string& strInput)
{
    const HANDLE hInput = StreamHandle(EStdStream::kInput);
    DWORD nMode = 0;
    if (::GetConsoleMode(hInput, &nMode))
        return ReadConsoleKeys(hInput, nTimeoutMs, strInput);
    if (hInput == nullptr || hInput == INVALID_HANDLE_VALUE)
        return EInputRead::kEnd;
    static CInputReader reader(hInput);
    return reader.Read(nTimeoutMs, strInput);
}

CFilePtr OpenAppendFile(const std::string& strPath, std::string& strError)
{
    const DWORD nAttributes = ::GetFileAttributesW(Utf8ToWide(strPath).c_str());
    if (nAttributes != INVALID_FILE_ATTRIBUTES && (nAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        strError = "not a regular file";
        return nullptr;
    }
    CFilePtr pFile(::_wfopen(Utf8ToWide(strPath).c_str(), L"ab"));
    if (!pFile)
        strError = std::strerror(errno);
    return pFile;
}

bool IsTerminal(EStdStream stream)
{
    DWORD nMode = 0;
    return ::GetConsoleMode(StreamHandle(stream), &nMode) != 0;
}

int TerminalColumns(EStdStream stream)
{
    CONSOLE_SCREEN_BUFFER_INFO info {};
    if (!::GetConsoleScreenBufferInfo(StreamHandle(stream), &info))
        return 0;
    return info.srWindow.Right - info.srWindow.Left + 1;
}

bool StandardOutputClosed()
{
    // A pipe whose reading end is closed answers a peek with a broken pipe;
    // a console or a file cannot tell, and is taken as read.
    const HANDLE hOutput = StreamHandle(EStdStream::kOutput);
    if (hOutput == nullptr || hOutput == INVALID_HANDLE_VALUE || ::GetFileType(hOutput) != FILE_TYPE_PIPE)
        return false;
    return !::PeekNamedPipe(hOutput, nullptr, 0, nullptr, nullptr, nullptr) && ::GetLastError() == ERROR_BROKEN_PIPE;
}

bool EnableOutputColour()
{
    if (ColourRefusedByEnvironment())
        return false;
    // A file or a pipe takes no sequences: they would be text there.
    return EnableSequences(EStdStream::kOutput);
}

bool EnableOutputSequences()
{
    return !TerminalIsDumb() && EnableSequences(EStdStream::kOutput);
}

bool EnableProgressRedraw()
{
    // A legacy console shows "\r\033[K" as text: no progress line there.
    return EnableSequences(EStdStream::kError);
}

bool ReadReplyLine(int, std::string& strReply)
{
    // Ctrl-C ends a console read at once, with nothing read: that is the
    // interrupt here, so no second handle is watched.
    strReply.clear();
    const HANDLE hInput = StreamHandle(EStdStream::kInput);
    for (;;) {
        wchar_t buffer[256];
        DWORD nRead = 0;
        if (!::ReadConsoleW(hInput, buffer, 256, &nRead, nullptr) || nRead == 0)
            return false;
        std::wstring strPiece(buffer, nRead);
        const size_t nEnd = strPiece.find_first_of(L"\r\n");
        strReply += WideToUtf8(strPiece.substr(0, nEnd));
        if (nEnd != std::wstring::npos)
            return true;
    }
}
