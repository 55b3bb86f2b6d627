// vantrel-cli as ordinary shells and scripts run it: closed standard streams,
// a reader that goes away, Ctrl-C and SIGTERM at every blocking step, files
// that are no firmware, colours, and the progress count.
#include <chrono>
#include <thread>

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "cli/CConsoleView.h"
#include "common/ChildProcess.h"
#include "common/HexWriter.h"
#include "common/PtyPair.h"
#include "common/TempDir.h"
#include "sim/CDeviceSimulator.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

// Every byte value, the protocol's troublesome control bytes among them.
Bytes EveryByte(size_t nLength)
{
    Bytes data(nLength);
    for (size_t i = 0; i < nLength; ++i)
        data[i] = static_cast<uint8_t>(i * 7 + 3);
    return data;
}

// The simulated device on a line left at a new tty's defaults, reached
// through a link in the test's folder.
class ShellTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ::setenv("VANTREL_INI", VANTREL_TEST_INI, 1);
        ::unsetenv("NO_COLOR");
        CSimConfig config;
        config.m_strLinkPath = m_dir.Path("ttyDEV");
        config.m_appVersion = {3, 0, 0};
        m_sim.Configure(config);
        ASSERT_TRUE(m_sim.Start());
        m_data = EveryByte(1024);
        m_strFile = m_dir.Write("firmware.hex", HexFile(0x400, m_data));
    }
    std::vector<std::string> Download(const std::string& strFile) const
    {
        return {"download", strFile, "--port", m_dir.Path("ttyDEV"), "--support-version", "*.*.*"};
    }
    // Written, verified, and out of IAP mode: the device end of a good run.
    void ExpectWrittenAndLeft() const
    {
        EXPECT_EQ(m_sim.ReadMemory(0x400, m_data.size()), m_data);
        EXPECT_FALSE(m_sim.InIapMode());
        EXPECT_EQ(m_sim.LeaveCount(), 1);
    }

    CTempDir m_dir;
    CDeviceSimulator m_sim;
    Bytes m_data;
    std::string m_strFile;
};

TEST_F(ShellTest, ClosedStandardStreamsNeverBecomeThePort)
{
    // With a stream closed, the port would open on its descriptor: log text
    // written into the device, or the question's answer read from it.
    for (int fd : {0, 1, 2}) {
        SCOPED_TRACE(fd);
        CChildStreams streams;
        streams.bCloseInput = fd == 0;
        streams.bCloseOutput = fd == 1;
        streams.bCloseError = fd == 2;
        m_sim.WriteMemory(0x400, Bytes(m_data.size(), 0xFF));
        const int nLeavesBefore = m_sim.LeaveCount();
        CChildProcess cli(VANTREL_CLI_EXE, Download(m_strFile), streams);
        EXPECT_EQ(cli.Wait(30000), 0) << cli.Out() << cli.Err();
        EXPECT_EQ(m_sim.ReadMemory(0x400, m_data.size()), m_data);
        EXPECT_EQ(m_sim.LeaveCount(), nLeavesBefore + 1);
    }
}

TEST_F(ShellTest, AReaderThatGoesAwayNeverStopsTheRun)
{
    // "vantrel-cli download ... | head -2": the pipe closes after two lines,
    // long before the verify pass and the leaving of IAP mode.
    CSimConfig config = m_sim.Config();
    config.m_nBaudRate = 115200;
    m_sim.Configure(config);
    CChildProcess cli(VANTREL_CLI_EXE, Download(m_strFile));
    ASSERT_TRUE(cli.WaitForOutput("-- Downloading file", 20000)) << cli.Out();
    cli.CloseOutput();
    EXPECT_EQ(cli.Wait(60000), 0) << cli.Err();
    ExpectWrittenAndLeft();
}

TEST_F(ShellTest, EveryBlockingStepEndsOnTheFirstSignal)
{
    ASSERT_EQ(::mkfifo(m_dir.Path("pipe.hex").c_str(), 0600), 0);
    ASSERT_EQ(::mkfifo(m_dir.Path("settings.Ini").c_str(), 0600), 0);
    // A large file the reader takes a while over.
    const std::string strLarge = m_dir.Write("large.hex", HexFile(0, Bytes(8u << 20, 0x5A)));

    // Refused at once, never waited on: a FIFO as firmware or as settings.
    for (const auto& args :
         std::vector<std::vector<std::string>> {{"info", m_dir.Path("pipe.hex")},
                                                {"download", m_strFile, "--ini", m_dir.Path("settings.Ini")},
                                                {"ports", "--ini", m_dir.Path("settings.Ini")}}) {
        CChildProcess cli(VANTREL_CLI_EXE, args);
        const int nExit = cli.Wait(5000);
        EXPECT_TRUE(nExit == 3 || nExit == 2) << args[0] << " " << nExit << cli.Err();
        EXPECT_NE(cli.Err().find("not a regular file"), std::string::npos) << cli.Err();
    }

    for (int nSignal : {SIGINT, SIGTERM}) {
        SCOPED_TRACE(nSignal);
        // Loading a large file for info.
        CChildProcess info(VANTREL_CLI_EXE, {"info", strLarge});
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        const auto start = Clock::now();
        info.Signal(nSignal);
        const int nInfoExit = info.Wait(5000);
        // 8 from the watcher; 0 when the load was quicker than the signal;
        // 128 + the signal when it came before the program set its mask.
        EXPECT_TRUE(nInfoExit == 8 || nInfoExit == 0 || nInfoExit == 128 + nSignal) << nInfoExit;
        EXPECT_LT(Clock::now() - start, std::chrono::seconds(2));

        // The downgrade question on a terminal: the signal answers No.
        CPtyPair terminal;
        std::vector<std::string> args = Download(m_strFile);
        args.insert(args.end(), {"--burn-type", "2", "--version", "2.0.0"});
        CChildStreams streams;
        streams.strInputPath = terminal.SlavePath();
        CChildProcess cli(VANTREL_CLI_EXE, args, streams);
        ASSERT_TRUE(cli.WaitForOutput("##  the cmdcheckid is ok!", 10000)) << cli.Out() << cli.Err();
        const auto asked = Clock::now() + std::chrono::seconds(5);
        while (cli.Err().find("[y/N]") == std::string::npos && Clock::now() < asked)
            cli.WaitForOutput("never", 50);
        ASSERT_NE(cli.Err().find("[y/N]"), std::string::npos) << cli.Err();
        cli.Signal(nSignal);
        EXPECT_EQ(cli.Wait(5000), 8) << cli.Out() << cli.Err();
        EXPECT_EQ(cli.Out().find("-- Downloading file"), std::string::npos) << "nothing written: " << cli.Out();
    }
}

TEST_F(ShellTest, TheFileIsCheckedBeforeTheDeviceIsTouched)
{
    ASSERT_EQ(::mkdir(m_dir.Path("folder.hex").c_str(), 0700), 0);
    ASSERT_EQ(::mkfifo(m_dir.Path("pipe.hex").c_str(), 0600), 0);
    const std::string strElf = m_dir.Write("firmware.elf", "not firmware");
    const struct {
        std::string strFile;
        const char* pReason;
    } cases[] = {
        {m_dir.Path("missing.hex"), nullptr},
        {m_dir.Path("folder.hex"), "it is a folder"},
        {m_dir.Path("pipe.hex"), "it is not a regular file"},
        {strElf, "not a .hex, .asc, .srec, .s19, .s28, .s37, .mot or .bin file"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.strFile);
        CChildProcess cli(VANTREL_CLI_EXE, Download(c.strFile));
        EXPECT_EQ(cli.Wait(10000), 3) << cli.Out();
        const std::string strLine = c.pReason ? "## The file " + c.strFile + " cannot be used: " + c.pReason + ".\n"
                                              : "## File not found: " + c.strFile + " \n";
        EXPECT_EQ(cli.Out(), strLine);
    }
    EXPECT_EQ(m_sim.CommandCount(), 0) << "the device was touched";
}

// What the reader refuses, and a file with nothing to write, end the run
// before the first byte reaches a device, on one port as on several: a
// board is never left in IAP mode without its application for a bad file.
TEST_F(ShellTest, AFileTheReaderRefusesNeverTouchesADevice)
{
    CDeviceSimulator second;
    CSimConfig config;
    config.m_strLinkPath = m_dir.Path("ttyDEV2");
    second.Configure(config);
    ASSERT_TRUE(second.Start());
    const std::string strGood = HexFile(0x400, m_data);
    std::string strBadSum = strGood;
    char& cLast = strBadSum[strBadSum.find('\n', strBadSum.find('\n') + 1) - 1];
    cLast = cLast == '0' ? '1' : '0';
    const struct {
        const char* pName;
        std::string strText;
        const char* pLine;
    } cases[] = {
        {"checksum.hex", strBadSum, "##  Checksum error. (L2)"},
        {"truncated.hex", strGood.substr(0, strGood.find('\n', 20) - 3) + "\n" + ":00000001FF\n",
         "##  Data length not equal to 16.(L2)"},
        {"bom.hex", "\xEF\xBB\xBF" + strGood, "##  Invalid format: \xEF\xBB\xBF:02000004"},
        {"cut.hex", strGood.substr(0, strGood.rfind(":00000001FF")), "##  End-of-file record missing after line "},
        {"empty.hex", "", " holds no data to write."},
        {"eof-only.hex", ":00000001FF\n", " holds no data to write."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.pName);
        const std::string strFile = m_dir.Write(c.pName, c.strText);
        for (const bool bTwoPorts : {false, true}) {
            std::vector<std::string> args = Download(strFile);
            args.insert(args.end(), {"--burn-type", "2", "--version", "9.9.9", "--yes"});
            if (bTwoPorts)
                args.insert(args.end(), {"--port", m_dir.Path("ttyDEV2")});
            CChildProcess cli(VANTREL_CLI_EXE, args);
            EXPECT_EQ(cli.Wait(10000), 3) << cli.Out() << cli.Err();
            EXPECT_NE(cli.Out().find(c.pLine), std::string::npos) << cli.Out();
        }
    }
    EXPECT_EQ(m_sim.CommandCount(), 0) << "the device was touched";
    EXPECT_EQ(second.CommandCount(), 0) << "the second device was touched";
}

TEST_F(ShellTest, AFileOnlyRootCouldReadIsRefusedFirst)
{
    // Users run without root: a firmware file of root's, mode 0600.
    ::chmod(m_strFile.c_str(), 0600);
    std::vector<std::string> args {"--reuid=65534", "--regid=65534", "--clear-groups", VANTREL_CLI_EXE};
    const std::vector<std::string> download = Download(m_strFile);
    args.insert(args.end(), download.begin(), download.end());
    if (::geteuid() != 0) {
        ASSERT_EQ(::chmod(m_strFile.c_str(), 0), 0);
        args.erase(args.begin(), args.begin() + 4);
    }
    ::chmod(m_dir.Path("").c_str(), 0755);
    CChildProcess cli(::geteuid() == 0 ? "/usr/bin/setpriv" : VANTREL_CLI_EXE, args);
    EXPECT_EQ(cli.Wait(10000), 3) << cli.Out() << cli.Err();
    EXPECT_EQ(cli.Out(), "## The file " + m_strFile + " cannot be used: Permission denied.\n");
    EXPECT_EQ(m_sim.CommandCount(), 0);
}

TEST_F(ShellTest, ColoursOnlyOnATerminalThatWantsThem)
{
    const struct {
        const char* pName;
        const char* pVariable;
        const char* pValue;
        bool bColour;
    } cases[] = {
        {"terminal", "TERM", "xterm", true},
        {"NO_COLOR", "NO_COLOR", "1", false},
        {"dumb terminal", "TERM", "dumb", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.pName);
        CPtyPair terminal;
        ::setenv("TERM", "xterm", 1);
        ::setenv(c.pVariable, c.pValue, 1);
        CChildStreams streams;
        streams.strOutputPath = terminal.SlavePath();
        CChildProcess cli(VANTREL_CLI_EXE, Download(m_dir.Path("missing.hex")), streams);
        EXPECT_EQ(cli.Wait(10000), 3);
        const Bytes shown = terminal.Receive(200);
        const std::string strShown(shown.begin(), shown.end());
        EXPECT_NE(strShown.find("File not found"), std::string::npos) << strShown;
        EXPECT_EQ(strShown.find("\033[") != std::string::npos, c.bColour) << strShown;
        ::unsetenv("NO_COLOR");
    }
}

TEST(ConsoleProgress, CountsBeyondSixteenBits)
{
    EXPECT_EQ(ProgressText(35000, 70000), "[" + std::string(20, '#') + std::string(20, '.') + "]  50% 35000/70000");
    EXPECT_EQ(ProgressText(70000, 70000), "[" + std::string(40, '#') + "] 100% 70000/70000");
    EXPECT_EQ(ProgressText(0, 0), "[" + std::string(40, '.') + "]   0% 0/0");
}

}  // namespace
