// The console on Windows: UTF-8 arguments and output, virtual-terminal
// colour, and a reply line that Ctrl-C ends.
#include "cli/Console.h"

#include <cstdlib>
#include <cstring>

#include <windows.h>

#include <shellapi.h>

#include "core/win32/WideText.h"

namespace {

HANDLE StreamHandle(EStdStream stream)
{
    return ::GetStdHandle(stream == EStdStream::kInput    ? STD_INPUT_HANDLE
                          : stream == EStdStream::kOutput ? STD_OUTPUT_HANDLE
                                                          : STD_ERROR_HANDLE);
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
    ::SetConsoleOutputCP(CP_UTF8);
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
    const char* pNoColour = std::getenv("NO_COLOR");
    const char* pTerm = std::getenv("TERM");
    if ((pNoColour && *pNoColour) || (pTerm && std::strcmp(pTerm, "dumb") == 0))
        return false;
    const HANDLE hOutput = StreamHandle(EStdStream::kOutput);
    DWORD nMode = 0;
    if (!::GetConsoleMode(hOutput, &nMode))
        return false;  // a file or a pipe: the sequences would be text there
    if (nMode & ENABLE_VIRTUAL_TERMINAL_PROCESSING)
        return true;
    return ::SetConsoleMode(hOutput, nMode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
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
