// vantrel-cli.exe in the operator's console: the output code page and the
// escape-sequence mode it changes are put back on every way out, Ctrl-C
// included, so the programs run after it in the same window print as before.
#include <chrono>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "WinFixtures.h"
#include "common/HexWriter.h"

namespace {

// The path of the program as Windows names it: the build gives a Unix one,
// which the prefix's drive Z: reaches.
std::wstring CliPath()
{
    std::wstring strPath = L"Z:" + Utf8ToWide(VANTREL_CLI_EXE);
    for (wchar_t& c : strPath) {
        if (c == L'/')
            c = L'\\';
    }
    return strPath;
}

// The test's own handler: a Ctrl-C sent to the console reaches every process
// in it, and this one stays.
BOOL WINAPI KeepRunning(DWORD)
{
    return TRUE;
}

class CliConsoleTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ::FreeConsole();
        ASSERT_TRUE(::AllocConsole());
        ::SetConsoleCtrlHandler(KeepRunning, TRUE);
        SECURITY_ATTRIBUTES inherit {sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
        m_hOutput = ::CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  &inherit, OPEN_EXISTING, 0, nullptr);
        m_hInput = ::CreateFileW(L"CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                                 OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(m_hOutput, INVALID_HANDLE_VALUE);
        ASSERT_NE(m_hInput, INVALID_HANDLE_VALUE);
        // A Chinese Windows' console: code page 936, no escape sequences.
        ASSERT_TRUE(::SetConsoleOutputCP(936));
        ASSERT_TRUE(::GetConsoleMode(m_hOutput, &m_nMode));
        m_nMode &= ~static_cast<DWORD>(ENABLE_VIRTUAL_TERMINAL_PROCESSING);
        ASSERT_TRUE(::SetConsoleMode(m_hOutput, m_nMode));
        ASSERT_TRUE(WriteBytes(m_dir.File("firmware.hex"), HexFile(0x100, {1, 2, 3, 4})));
    }
    void TearDown() override
    {
        ::CloseHandle(m_hOutput);
        ::CloseHandle(m_hInput);
        ::SetConsoleCtrlHandler(KeepRunning, FALSE);
        ::FreeConsole();
    }

    // Starts the program in this console; standard output goes to hOutput.
    PROCESS_INFORMATION Start(const std::wstring& strArgs, HANDLE hOutput)
    {
        std::wstring strCommand = L"\"" + CliPath() + L"\" " + strArgs;
        STARTUPINFOW startup {};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = m_hInput;
        startup.hStdOutput = hOutput;
        startup.hStdError = m_hOutput;
        PROCESS_INFORMATION process {};
        EXPECT_TRUE(::CreateProcessW(nullptr, strCommand.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                                     &process));
        return process;
    }

    DWORD Mode() const
    {
        DWORD nMode = 0;
        ::GetConsoleMode(m_hOutput, &nMode);
        return nMode;
    }

    // Waits for the program to end; its exit status.
    static DWORD Finish(PROCESS_INFORMATION& process)
    {
        DWORD nExit = 999;
        if (::WaitForSingleObject(process.hProcess, 60000) == WAIT_OBJECT_0)
            ::GetExitCodeProcess(process.hProcess, &nExit);
        else
            ::TerminateProcess(process.hProcess, 999);
        ::CloseHandle(process.hThread);
        ::CloseHandle(process.hProcess);
        return nExit;
    }

    // A watch that sees no device waits for Ctrl-C; once its console is set
    // up (escape sequences on), nCtrlC presses end it.
    DWORD WatchEndedByCtrlC(HANDLE hOutput, int nCtrlC)
    {
        const std::wstring strFile = Utf8ToWide(m_dir.File("firmware.hex"));
        PROCESS_INFORMATION process =
            Start(L"download \"" + strFile + L"\" --watch --port-filter NOTHING* --baud 115200 --support-version *.*.*",
                  hOutput);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (!(Mode() & ENABLE_VIRTUAL_TERMINAL_PROCESSING) && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        EXPECT_TRUE(Mode() & ENABLE_VIRTUAL_TERMINAL_PROCESSING) << "the watch never set its console up";
        EXPECT_EQ(::GetConsoleOutputCP(), static_cast<UINT>(CP_UTF8));
        // The watch's handler is in place before its console view exists.
        for (int i = 0; i < nCtrlC; ++i)
            ::GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0);
        return Finish(process);
    }

    CWinTempDir m_dir;
    HANDLE m_hOutput = INVALID_HANDLE_VALUE;
    HANDLE m_hInput = INVALID_HANDLE_VALUE;
    DWORD m_nMode = 0;
};

// The program's manifest: aware of the DPI, so that the system does not
// stretch it; its texts go through the wide calls, so the process code page
// stays the system's.
TEST(CliManifest, AwareOfTheDpiWithTheSystemsCodePage)
{
    const CProgramManifest manifest(CliPath());
    ASSERT_TRUE(manifest.IsRead()) << ::GetLastError();
    EXPECT_EQ(manifest.Setting(kDpiSettings2005, L"dpiAware"), "true");
    EXPECT_EQ(manifest.Setting(kDpiSettings2016, L"dpiAwareness"), "PerMonitorV2, system");
    EXPECT_EQ(manifest.Setting(L"http://schemas.microsoft.com/SMI/2019/WindowsSettings", L"activeCodePage"),
              std::nullopt);
}

TEST_F(CliConsoleTest, PlainExitPutsTheCodePageBack)
{
    PROCESS_INFORMATION process = Start(L"--version", m_hOutput);
    EXPECT_EQ(Finish(process), 0u);
    EXPECT_EQ(::GetConsoleOutputCP(), 936u);
    EXPECT_EQ(Mode(), m_nMode);
}

TEST_F(CliConsoleTest, CtrlCPutsTheCodePageAndTheModeBack)
{
    // One Ctrl-C ends the watch; a second one at once quits without the
    // exit handlers.
    for (int nCtrlC : {1, 2}) {
        SCOPED_TRACE(nCtrlC);
        WatchEndedByCtrlC(m_hOutput, nCtrlC);
        EXPECT_EQ(::GetConsoleOutputCP(), 936u);
        EXPECT_EQ(Mode(), m_nMode);
    }
}

// Output to a file, progress to the console: the console's own mode is set
// for the progress lines' sequences, not only standard output's.
TEST_F(CliConsoleTest, ProgressOnTheConsoleWhileTheLogGoesToAFile)
{
    SECURITY_ATTRIBUTES inherit {sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    const HANDLE hFile = ::CreateFileW(Utf8ToWide(m_dir.File("log.txt")).c_str(), GENERIC_WRITE, FILE_SHARE_READ,
                                       &inherit, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(hFile, INVALID_HANDLE_VALUE);
    WatchEndedByCtrlC(hFile, 1);
    ::CloseHandle(hFile);
    EXPECT_EQ(::GetConsoleOutputCP(), 936u);
    EXPECT_EQ(Mode(), m_nMode);
    const std::optional<std::string> log = ReadBytes(m_dir.File("log.txt"));
    ASSERT_TRUE(log.has_value());
    EXPECT_EQ(log->find('\033'), std::string::npos) << *log;
}

}  // namespace
