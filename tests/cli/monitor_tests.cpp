// The monitor: what a device sends, shown as the dialog's terminal shows it,
// and what is typed, sent a line at a time. End to end against vantrel-sim,
// with vantrel-cli on a pseudo-terminal of the test's own where a user's
// terminal matters.
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <regex>
#include <string>
#include <string_view>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <utmp.h>

#include <gtest/gtest.h>

#include "cli/MonitorText.h"
#include "common/ChildProcess.h"
#include "common/HexWriter.h"
#include "common/TempDir.h"
#include "SimProcess.h"

namespace {

// 中文 in code page 936: bytes that start no command of the device, so its
// echo sends them back whole.
const std::string kChinese936 = "\xD6\xD0\xCE\xC4";
const std::string kChinese = "中文";

// ---- What is shown of received bytes, and what typed keys become ----

struct CReceivedCase {
    const char* pName;
    bool bHex;
    bool bTimestamps;
    std::vector<std::string> vecChunks;  // each taken with the stamp "[n] ", n its index
    std::string strShown;                // all the chunks' text, then Finish's
};

TEST(MonitorText, ReceivedBytesAreShownAsTheDialogsTerminalShowsThem)
{
    const CReceivedCase cases[] = {
        {"lines end at CR LF or LF", false, false, {"hi\r\nthere\n"}, "hi\nthere\n"},
        {"a character split between reads shows whole", false, false, {"\xD6", "\xD0\xCE\xC4\r\n"}, "中文\n"},
        {"controls are escaped, zero bytes dropped",
         false,
         false,
         {std::string("a\x1B[31mb\tc\0d", 11)},
         "a\\x1B[31mb\\x09cd\n"},
        {"CR LF, LF CR and two alike", false, false, {"a\r", "\nb\n\r\n\n"}, "a\nb\n\n\n"},
        {"a lone CR ends its line", false, false, {"50%\r60%\r"}, "50%\n60%\n"},
        {"each line starts with the stamp of its first bytes",
         false,
         true,
         {"ab", "c\nd", "\r\n\r\n"},
         "[0] abc\n[1] d\n[2] \n"},
        {"hex pairs, a line ending after LF", true, false, {std::string("\0A\n", 3), "B"}, "00 41 0A\n42\n"},
        {"hex lines hold sixteen bytes",
         true,
         true,
         {"0123456789abcdefg"},
         "[0] 30 31 32 33 34 35 36 37 38 39 61 62 63 64 65 66\n[0] 67\n"},
    };
    for (const CReceivedCase& c : cases) {
        CReceivedText received(c.bHex, c.bTimestamps);
        std::string strShown;
        for (size_t i = 0; i < c.vecChunks.size(); ++i) {
            const std::string& strChunk = c.vecChunks[i];
            strShown += received.Take(reinterpret_cast<const uint8_t*>(strChunk.data()), strChunk.size(),
                                      "[" + std::to_string(i) + "] ");
        }
        strShown += received.Finish();
        EXPECT_EQ(strShown, c.strShown) << c.pName;
        EXPECT_TRUE(received.AtLineStart()) << c.pName;
    }
}

TEST(MonitorText, TypedKeysMakeLinesAndEndOnCtrlBracketOrCtrlC)
{
    struct {
        const char* pName;
        std::string strKeys;
        bool bEnds;
        std::vector<std::string> vecLines;
        std::string strLeft;  // the line still being typed
    } const cases[] = {
        {"Enter sends", "ab\rcd", false, {"ab"}, "cd"},
        {"Backspace takes a whole character", "中\x7F文x\b\r", false, {"文"}, ""},
        {"arrow and function keys are ignored", "x\x1B[Ay\x1BOP\x1B[15~z\r", false, {"xyz"}, ""},
        {"LF after CR ends no second line", "l1\r\nl2\n\n", false, {"l1", "l2", ""}, ""},
        {"Ctrl-U clears the line",
         "abc\x15"
         "d\r",
         false,
         {"d"},
         ""},
        {"Ctrl-] ends, keeping what came before", "one\rtw\x1Do\r", true, {"one"}, "tw"},
        {"Ctrl-C ends too", "\x03more\r", true, {}, ""},
        {"other control keys are ignored",
         "a\x01\x04\x1A"
         "b\r",
         false,
         {"ab"},
         ""},
    };
    for (const auto& c : cases) {
        CTypedLine typed;
        std::vector<std::string> vecLines;
        EXPECT_EQ(typed.TakeKeys(c.strKeys, vecLines), c.bEnds) << c.pName;
        EXPECT_EQ(vecLines, c.vecLines) << c.pName;
        EXPECT_EQ(typed.Text(), c.strLeft) << c.pName;
    }
}

TEST(MonitorText, PipedTextIsSentLineByLineAndItsLastLineToo)
{
    CTypedLine typed;
    std::vector<std::string> vecLines;
    typed.TakeText("first\r\nsec", vecLines);
    typed.TakeText("ond\n\x1D\nlast", vecLines);
    EXPECT_EQ(vecLines, (std::vector<std::string> {"first", "second", "\x1D"}));
    std::string strRest;
    EXPECT_TRUE(typed.TakeRest(strRest));
    EXPECT_EQ(strRest, "last");
    EXPECT_FALSE(typed.TakeRest(strRest));
    EXPECT_EQ(MonitorLineBytes(kChinese + " ok", MonitorLineEnd("cr")), kChinese936 + " ok\r");
    EXPECT_EQ(MonitorLineEnd("lf"), "\n");
    EXPECT_EQ(MonitorLineEnd("crlf"), "\r\n");
    EXPECT_EQ(MonitorLineEnd("CRLF"), "");
}

// ---- vantrel-cli on a terminal of the test's own ----

// vantrel-cli with a pseudo-terminal as its controlling terminal and its
// three standard streams, as a user's terminal is: the test types on the
// master side and reads what the program shows there.
class CTerminalProgram {
public:
    explicit CTerminalProgram(const std::vector<std::string>& args)
    {
        winsize size {24, 100, 0, 0};
        if (::openpty(&m_master, &m_slave, nullptr, nullptr, &size) != 0)
            return;
        ::fcntl(m_master, F_SETFD, FD_CLOEXEC);
        ::fcntl(m_slave, F_SETFD, FD_CLOEXEC);
        // A new terminal's settings: what the program must leave as it found them.
        ::tcgetattr(m_slave, &m_before);
        // Made before the fork: the child only execs.
        ::setenv("VANTREL_INI", VANTREL_TEST_INI, 1);
        std::vector<std::string> vecArgv {VANTREL_CLI_EXE};
        vecArgv.insert(vecArgv.end(), args.begin(), args.end());
        std::vector<char*> vecPointers;
        for (std::string& strArg : vecArgv)
            vecPointers.push_back(strArg.data());
        vecPointers.push_back(nullptr);
        // A terminal that takes cursor sequences, whatever the test runs under.
        std::vector<std::string> vecEnv {"TERM=xterm"};
        for (char** ppVar = environ; *ppVar; ++ppVar) {
            if (std::string_view(*ppVar).substr(0, 5) != "TERM=")
                vecEnv.emplace_back(*ppVar);
        }
        std::vector<char*> vecEnvPointers;
        for (std::string& strVar : vecEnv)
            vecEnvPointers.push_back(strVar.data());
        vecEnvPointers.push_back(nullptr);
        const int slave = m_slave;
        m_pid = ::fork();
        if (m_pid == 0) {
            // login_tty makes the slave the controlling terminal and the
            // standard streams; the parent's copy stays for tcgetattr.
            if (::login_tty(::dup(slave)) != 0)
                ::_exit(126);
            ::execve(VANTREL_CLI_EXE, vecPointers.data(), vecEnvPointers.data());
            ::_exit(127);
        }
    }
    ~CTerminalProgram()
    {
        if (m_pid > 0 && m_nExit == kChildRunning) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, nullptr, 0);
        }
        for (int fd : {m_master, m_slave}) {
            if (fd >= 0)
                ::close(fd);
        }
    }
    CTerminalProgram(const CTerminalProgram&) = delete;
    CTerminalProgram& operator=(const CTerminalProgram&) = delete;

    bool Started() const { return m_pid > 0; }
    const termios& Before() const { return m_before; }
    termios Now() const
    {
        termios now {};
        ::tcgetattr(m_slave, &now);
        return now;
    }
    void Type(const std::string& strKeys) const
    {
        EXPECT_EQ(::write(m_master, strKeys.data(), strKeys.size()), static_cast<ssize_t>(strKeys.size()));
    }
    void Signal(int nSignal) const { ::kill(m_pid, nSignal); }
    // Reads what the terminal shows until strText has come after position
    // nFrom, or the generous deadline passes.
    bool WaitForShown(const std::string& strText, size_t nFrom = 0, int nTimeoutMs = 15000)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(nTimeoutMs);
        while (m_strShown.find(strText, nFrom) == std::string::npos) {
            if (std::chrono::steady_clock::now() > deadline)
                return false;
            Pump(50);
        }
        return true;
    }
    int Wait(int nTimeoutMs = 30000)
    {
        return WaitForChild(m_pid, m_nExit, nTimeoutMs, [this](int nPumpMs) { return Pump(nPumpMs); });
    }
    const std::string& Shown() const { return m_strShown; }

private:
    bool Pump(int nTimeoutMs)
    {
        pollfd pfd {m_master, POLLIN, 0};
        if (::poll(&pfd, 1, nTimeoutMs) <= 0)
            return false;
        char buffer[4096];
        const ssize_t n = ::read(m_master, buffer, sizeof buffer);
        if (n <= 0)
            return false;
        m_strShown.append(buffer, static_cast<size_t>(n));
        return true;
    }

    int m_master = -1;
    int m_slave = -1;
    pid_t m_pid = -1;
    int m_nExit = kChildRunning;
    termios m_before {};
    std::string m_strShown;
};

// The settings a program may change and must put back.
void ExpectSameTerminal(const termios& before, const termios& after)
{
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    EXPECT_EQ(after.c_iflag, before.c_iflag);
    EXPECT_EQ(after.c_oflag, before.c_oflag);
    EXPECT_EQ(after.c_cc[VMIN], before.c_cc[VMIN]);
    EXPECT_EQ(after.c_cc[VTIME], before.c_cc[VTIME]);
}

TEST(MonitorTerminal, TypedLinesReachTheDeviceWithTheChosenLineEnd)
{
    struct {
        const char* pEol;
        const char* pEcho;  // what the device's echo shows, in hex
    } const cases[] = {{"cr", "68 69 0D"}, {"lf", "68 69 0A"}, {"crlf", "68 69 0D 0A"}};
    for (const auto& c : cases) {
        CTempDir dir;
        CSimProcess sim(dir, {"--echo"});
        ASSERT_TRUE(sim.Ready());
        CTerminalProgram cli({"monitor", "--port", sim.Link(), "--baud", "115200", "--hex", "--eol", c.pEol});
        ASSERT_TRUE(cli.Started());
        ASSERT_TRUE(cli.WaitForShown("Ctrl-] or Ctrl-C ends it")) << cli.Shown();
        cli.Type("hi\r");
        EXPECT_TRUE(cli.WaitForShown(c.pEcho)) << c.pEol << ": " << cli.Shown();
        cli.Type("\x1D");
        EXPECT_EQ(cli.Wait(), 0) << cli.Shown();
    }
}

TEST(MonitorTerminal, ChineseTextGoesOutInCodePage936AndComesBackReadable)
{
    CTempDir dir;
    CSimProcess sim(dir, {"--echo"});
    ASSERT_TRUE(sim.Ready());
    CTerminalProgram cli({"monitor", "--port", sim.Link(), "--baud", "115200"});
    ASSERT_TRUE(cli.Started());
    ASSERT_TRUE(cli.WaitForShown("Ctrl-] or Ctrl-C ends it")) << cli.Shown();
    const size_t nTyped = cli.Shown().size();
    // The line being typed shows as it is typed, without a line end...
    cli.Type(kChinese + " ok");
    ASSERT_TRUE(cli.WaitForShown(kChinese + " ok", nTyped)) << cli.Shown();
    const size_t nEnter = cli.Shown().size();
    cli.Type("\r");
    // ...and goes at Enter, by its width on the terminal (two columns for
    // each Chinese character); the line that ends is the device's echo,
    // decoded from code page 936.
    EXPECT_TRUE(cli.WaitForShown("\033[7D\033[K" + kChinese + " ok\r\n", nEnter)) << cli.Shown();
    cli.Type("\x1D");
    EXPECT_EQ(cli.Wait(), 0) << cli.Shown();
}

TEST(MonitorTerminal, EveryWayOutLeavesTheTerminalAsItWas)
{
    struct {
        const char* pName;
        const char* pKeys;  // typed to end it; none: SIGTERM
    } const cases[] = {{"Ctrl-]", "\x1D"}, {"Ctrl-C", "\x03"}, {"SIGTERM", nullptr}};
    for (const auto& c : cases) {
        CTempDir dir;
        CSimProcess sim(dir, {});
        ASSERT_TRUE(sim.Ready());
        CTerminalProgram cli({"monitor", "--port", sim.Link(), "--baud", "115200"});
        ASSERT_TRUE(cli.Started());
        ASSERT_TRUE(cli.WaitForShown("Ctrl-] or Ctrl-C ends it")) << cli.Shown();
        // While it runs, keys come one by one and Ctrl-C is a key.
        const termios during = cli.Now();
        EXPECT_EQ(during.c_lflag & (ICANON | ECHO | ISIG), 0u) << c.pName;
        if (c.pKeys)
            cli.Type(c.pKeys);
        else
            cli.Signal(SIGTERM);
        EXPECT_EQ(cli.Wait(), 0) << c.pName << ": " << cli.Shown();
        ExpectSameTerminal(cli.Before(), cli.Now());
        EXPECT_TRUE(sim.PortReleased()) << c.pName;
    }
}

TEST(MonitorTerminal, DownloadMonitorShowsTheApplicationUntilCtrlC)
{
    CTempDir dir;
    // The application greets in code page 936.
    CSimProcess sim(dir, {"--app-banner", "app \\xD6\\xD0\\xCE\\xC4 ready"});
    ASSERT_TRUE(sim.Ready());
    const std::vector<uint8_t> data(300, 0x5A);
    const std::string strFile = dir.Write("固件 firmware.hex", HexFile(0x1000, data));
    CTerminalProgram cli({"download", strFile, "--port", sim.Link(), "--baud", "115200", "--support-version", "*.*.*",
                          "--monitor", "--timestamps"});
    ASSERT_TRUE(cli.Started());
    ASSERT_TRUE(cli.WaitForShown("-- Download successfully.")) << cli.Shown();
    const size_t nAfterRun = cli.Shown().size();
    EXPECT_TRUE(cli.WaitForShown("] app " + kChinese + " ready\r\n", nAfterRun)) << cli.Shown();
    EXPECT_TRUE(std::regex_search(cli.Shown().substr(nAfterRun), std::regex(R"(\[\d\d:\d\d:\d\d\.\d\d\d\] app )")))
        << cli.Shown();
    // A line being typed stays below what the application goes on printing.
    const size_t nTyping = cli.Shown().size();
    cli.Type("ab");
    EXPECT_TRUE(cli.WaitForShown("\033[2D\033[K[", nTyping)) << cli.Shown();
    EXPECT_TRUE(cli.WaitForShown(" ready\r\nab", nTyping)) << cli.Shown();
    cli.Type("\x03");
    EXPECT_EQ(cli.Wait(), 0) << cli.Shown();
    ExpectSameTerminal(cli.Before(), cli.Now());
    EXPECT_EQ(sim.StopAndDump(0x1000, data.size()), data);
}

// ---- Without a terminal ----

// vantrel-cli with a pipe as its standard input, open until the test closes it.
std::unique_ptr<CChildProcess> StartWithInputPipe(const std::vector<std::string>& args)
{
    ::setenv("VANTREL_INI", VANTREL_TEST_INI, 1);
    CChildStreams streams;
    streams.bInputPipe = true;
    return std::make_unique<CChildProcess>(VANTREL_CLI_EXE, args, streams);
}

TEST(MonitorPipe, PipedLinesReachTheDeviceAndTheEndOfInputEndsTheMonitor)
{
    CTempDir dir;
    CSimProcess sim(dir, {"--echo"});
    ASSERT_TRUE(sim.Ready());
    // Appended to, never replaced.
    const std::string strLog = dir.Write("监视 log.txt", "earlier\n");
    const auto pCli =
        StartWithInputPipe({"monitor", "--port", sim.Link(), "--baud", "115200", "--timestamps", "--log", strLog});
    CChildProcess& cli = *pCli;
    ASSERT_TRUE(cli.Started());
    ASSERT_TRUE(cli.WaitForError("the end of standard input or Ctrl-C ends it")) << cli.Err();
    ASSERT_TRUE(cli.WriteInput("hello " + kChinese + "\n"));
    EXPECT_TRUE(cli.WaitForOutput("] hello " + kChinese + "\n")) << cli.Out();
    ASSERT_TRUE(cli.WriteInput("bye\n"));
    EXPECT_TRUE(cli.WaitForOutput("] bye\n")) << cli.Out();
    cli.CloseInput();
    EXPECT_EQ(cli.Wait(), 0) << cli.Err();
    EXPECT_TRUE(std::regex_match(cli.Out(), std::regex(R"((\[\d\d:\d\d:\d\d\.\d\d\d\] [^\n]*\n){2})"))) << cli.Out();
    std::ifstream log(strLog, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(log), std::istreambuf_iterator<char>()),
              "earlier\n" + cli.Out());
    EXPECT_TRUE(sim.PortReleased());
}

TEST(MonitorPipe, AClosedStandardInputEndsTheMonitorCleanly)
{
    CTempDir dir;
    CSimProcess sim(dir, {});
    ASSERT_TRUE(sim.Ready());
    ::setenv("VANTREL_INI", VANTREL_TEST_INI, 1);
    CChildStreams streams;
    streams.bCloseInput = true;
    CChildProcess cli(VANTREL_CLI_EXE, {"monitor", "--port", sim.Link(), "--baud", "115200"}, streams);
    ASSERT_TRUE(cli.Started());
    EXPECT_EQ(cli.Wait(), 0) << cli.Err();
    EXPECT_NE(cli.Err().find("monitoring " + sim.Link()), std::string::npos) << cli.Err();
    EXPECT_TRUE(sim.PortReleased());
}

TEST(MonitorPipe, ADeviceThatGoesAwayEndsTheMonitorWithAConnectionStatus)
{
    CTempDir dir;
    CSimProcess sim(dir, {});
    ASSERT_TRUE(sim.Ready());
    // Input kept open: only the device's going can end it.
    const auto pCli = StartWithInputPipe({"monitor", "--port", sim.Link(), "--baud", "115200"});
    CChildProcess& cli = *pCli;
    ASSERT_TRUE(cli.WaitForError("ends it")) << cli.Err();
    sim.StopAndDump(0, 1);
    EXPECT_EQ(cli.Wait(), 4) << cli.Err();
    EXPECT_NE(cli.Err().find(sim.Link() + " is gone"), std::string::npos) << cli.Err();
}

TEST(MonitorPipe, AFailedDownloadStartsNoMonitorAndKeepsItsStatus)
{
    CTempDir dir;
    CSimProcess sim(dir, {"--fw-version", "2.0.0", "--app-banner", "app"});
    ASSERT_TRUE(sim.Ready());
    const std::string strFile = dir.Write("firmware.hex", HexFile(0x1000, std::vector<uint8_t>(64, 1)));
    // Input kept open: only the download's failure can end it.
    const auto pCli =
        StartWithInputPipe({"download", strFile, "--port", sim.Link(), "--support-version", "1.*.*", "--monitor"});
    CChildProcess& cli = *pCli;
    EXPECT_EQ(cli.Wait(), 4) << cli.Out() << cli.Err();
    EXPECT_EQ(cli.Err().find("monitoring"), std::string::npos) << cli.Err();
}

TEST(MonitorUsage, RefusedBeforeAnyPortIsOpened)
{
    CTempDir dir;
    const std::string strFile = dir.Write("firmware.hex", HexFile(0x1000, std::vector<uint8_t>(16, 1)));
    const std::vector<std::vector<std::string>> cases = {
        {"monitor"},
        {"monitor", "--port", "/dev/null", "--eol", "crcr"},
        {"monitor", "--port", "AUTOCHECK", "--baud", "9600"},
        {"monitor", "--port", "/dev/null", "--log", dir.Path("no folder/log.txt")},
        {"download", strFile, "--port", "/dev/null", "--hex"},
        {"download", strFile, "--watch", "--monitor"},
        {"download", strFile, "--port", dir.Path("a"), "--port", dir.Path("b"), "--monitor"},
        {"download", strFile, "--port", "AUTOCHECK", "--baud", "9600", "--monitor"},
    };
    for (const std::vector<std::string>& args : cases) {
        ::setenv("VANTREL_INI", VANTREL_TEST_INI, 1);
        CChildProcess cli(VANTREL_CLI_EXE, args);
        EXPECT_EQ(cli.Wait(), 2) << args.back() << ": " << cli.Err();
        EXPECT_EQ(cli.Err().find("monitoring"), std::string::npos) << cli.Err();
    }
}

}  // namespace
