// vantrel-sim as a separate process, the way scripts and benchmarks run it.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <thread>

#include "SimFixture.h"

extern char** environ;

namespace {

// The simulator process, with its stdout on a pipe. Killed and reaped if a
// test leaves it running.
class CSimProcess {
public:
    ~CSimProcess()
    {
        if (m_pid > 0) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
        }
    }

    bool Spawn(const std::vector<std::string>& vecArgs)
    {
        int anPipe[2];
        if (pipe2(anPipe, O_CLOEXEC) != 0)
            return false;
        m_fdOut.Reset(anPipe[0]);
        CUniqueFd fdWrite(anPipe[1]);
        std::vector<std::string> vecAll {VANTREL_SIM_EXE};
        vecAll.insert(vecAll.end(), vecArgs.begin(), vecArgs.end());
        std::vector<char*> vecArgv;
        for (std::string& strArg : vecAll)
            vecArgv.push_back(strArg.data());
        vecArgv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fdWrite.Get(), STDOUT_FILENO);
        const int nResult = posix_spawn(&m_pid, VANTREL_SIM_EXE, &actions, nullptr, vecArgv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        return nResult == 0;
    }

    // Everything up to the first newline, or what came before the timeout.
    std::string ReadLine(int nTimeoutMs = 5000)
    {
        std::string strLine;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(nTimeoutMs);
        while (std::chrono::steady_clock::now() < deadline) {
            pollfd fd {m_fdOut.Get(), POLLIN, 0};
            if (poll(&fd, 1, 50) <= 0)
                continue;
            char c = 0;
            if (read(m_fdOut.Get(), &c, 1) != 1 || c == '\n')
                break;
            strLine += c;
        }
        return strLine;
    }

    // Everything until the process closes its stdout.
    std::string ReadAll(int nTimeoutMs = 5000)
    {
        std::string strAll;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(nTimeoutMs);
        while (std::chrono::steady_clock::now() < deadline) {
            pollfd fd {m_fdOut.Get(), POLLIN, 0};
            if (poll(&fd, 1, 50) <= 0)
                continue;
            char acBuffer[4096];
            const ssize_t n = read(m_fdOut.Get(), acBuffer, sizeof(acBuffer));
            if (n <= 0)
                break;
            strAll.append(acBuffer, static_cast<size_t>(n));
        }
        return strAll;
    }

    void Signal(int nSignal) { kill(m_pid, nSignal); }

    // The exit code, or -1 if it did not exit normally within the time.
    int WaitForExit(int nTimeoutMs = 10000)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(nTimeoutMs);
        while (std::chrono::steady_clock::now() < deadline) {
            int nStatus = 0;
            if (waitpid(m_pid, &nStatus, WNOHANG) == m_pid) {
                m_pid = 0;
                return WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : -1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return -1;
    }

private:
    pid_t m_pid = 0;
    CUniqueFd m_fdOut;
};

std::string PathFromLine(const std::string& strLine)
{
    const std::string strPrefix = "vantrel-sim: device on ";
    if (strLine.rfind(strPrefix, 0) != 0)
        return {};
    const std::string strRest = strLine.substr(strPrefix.size());
    return strRest.substr(0, strRest.find(' '));
}

bool Exists(const std::string& strPath)
{
    struct stat info {};
    return lstat(strPath.c_str(), &info) == 0;
}

std::string TempPath(const char* pName)
{
    return ::testing::TempDir() + "/vantrel_sim_" + std::to_string(getpid()) + "_" + pName;
}

TEST(SimExecutable, ServesUntilSigtermThenDumpsAndRemovesItsLink)
{
    const std::string strLink = TempPath("link");
    const std::string strDump = TempPath("dump.bin");
    CSimProcess process;
    ASSERT_TRUE(process.Spawn(
        {"--quiet", "--link", strLink, "--dump", strDump, "--dump-range", "0x100:4", "--app-version", "3.1.4"}));
    const std::string strLine = process.ReadLine();
    const std::string strPath = PathFromLine(strLine);
    ASSERT_FALSE(strPath.empty()) << strLine;
    EXPECT_NE(strLine.find("(link " + strLink + ")"), std::string::npos) << strLine;

    char acTarget[256] = {};
    ASSERT_GT(readlink(strLink.c_str(), acTarget, sizeof(acTarget) - 1), 0);
    EXPECT_EQ(std::string(acTarget), strPath);

    CPtyClient host;
    ASSERT_TRUE(host.Open(strLink));
    EXPECT_EQ(host.Exchange(IapFrame(0x03, {'S', 'L', 0, 0, 0, 0}), 10), IapReply(0x03, {'S', 'L', 3, 1, 4}, 0x55));
    EXPECT_EQ(host.Exchange(Concat({FlashFrame(0xC1, {0x00, 0x01, 0x01}), FlashFrame(0xC2, {0xAB, 0xCD})}), 4),
              (Bytes {0xC1, 0x0D, 0xC2, 0x0D}));
    host.Close();

    process.Signal(SIGTERM);
    EXPECT_EQ(process.WaitForExit(), 0);
    EXPECT_FALSE(Exists(strLink));
    std::ifstream dump(strDump, std::ios::binary);
    EXPECT_EQ((Bytes {std::istreambuf_iterator<char>(dump), std::istreambuf_iterator<char>()}),
              (Bytes {0xFF, 0xAB, 0xCD, 0xFF}));
    unlink(strDump.c_str());
}

TEST(SimExecutable, ExitAfterLeaveEndsOnceTheHostHasTheReply)
{
    CSimProcess process;
    ASSERT_TRUE(process.Spawn({"--quiet", "--exit-after-leave"}));
    const std::string strPath = PathFromLine(process.ReadLine());
    ASSERT_FALSE(strPath.empty());
    CPtyClient host;
    ASSERT_TRUE(host.Open(strPath));
    EXPECT_EQ(host.Exchange(kEnterFrame, 10).size(), 10u);
    EXPECT_EQ(host.Exchange(IapFrame(0xEC, kLeaveKey), 10), IapReply(0xEC, {0xFE, 0x53, 0x01, 0xAC, 0}, 0x55));
    EXPECT_EQ(process.WaitForExit(), 0);
    EXPECT_TRUE(host.SeesHangUp(2000));
}

TEST(SimExecutable, CommandLineFaultsReachTheDevice)
{
    CSimProcess process;
    ASSERT_TRUE(process.Spawn({"--quiet", "--fault", "c3:refuse@2", "--status", "e3=12", "--corrupt", "0x10=5a",
                               "--fw-version", "7.8.9", "--silent-after", "5"}));
    const std::string strPath = PathFromLine(process.ReadLine());
    ASSERT_FALSE(strPath.empty());
    CPtyClient host;
    ASSERT_TRUE(host.Open(strPath));
    const Bytes vecWrite = FlashFrame(0xC3, {0x01});
    EXPECT_EQ(host.Exchange(vecWrite, 2), (Bytes {0xC3, 0x0D}));
    EXPECT_EQ(host.Exchange(vecWrite, 2), (Bytes {0x00, 0x0D}));
    EXPECT_EQ(host.Exchange(IapFrame(0xE3, {0, 0, 0, 0, 0, 0}), 10), IapReply(0xE3, {7, 8, 9, 0, 0}, 0x12));
    EXPECT_EQ(host.Exchange(Concat({FlashFrame(0xC1, {0, 0, 0x10}), FlashFrame(0xCA, {1})}), 5),
              (Bytes {0xC1, 0x0D, 0xCA, 0x5A, 0x0D}));
    EXPECT_TRUE(host.Exchange(vecWrite, 2, 250).empty());  // the sixth command
    process.Signal(SIGINT);
    EXPECT_EQ(process.WaitForExit(), 0);
}

TEST(SimExecutable, AdapterAndDeviceLimitsReachTheDevice)
{
    CSimProcess process;
    ASSERT_TRUE(process.Spawn({"--quiet", "--adapter", "ftdi:40", "--write-us", "30000", "--rx-buffer", "4"}));
    const std::string strPath = PathFromLine(process.ReadLine());
    ASSERT_FALSE(strPath.empty());
    CPtyClient host;
    ASSERT_TRUE(host.Open(strPath));
    // The latency timer holds the short reply back: nothing within 30 ms.
    ASSERT_TRUE(host.Write(FlashFrame(0xC1, {0, 0, 0})));
    EXPECT_TRUE(host.Read(2, 30).empty());
    EXPECT_EQ(host.Read(2, 2000), (Bytes {0xC1, 0x0D}));
    // Two writes at once: the second arrives while the first is programmed
    // and fits the 4-byte buffer; a third would not have.
    EXPECT_EQ(
        host.Exchange(Concat({FlashFrame(0xC2, {1, 2}), FlashFrame(0xC2, {3, 4}), FlashFrame(0xC2, {5, 6})}), 6, 600),
        (Bytes {0xC2, 0x0D, 0xC2, 0x0D}));
    process.Signal(SIGTERM);
    EXPECT_EQ(process.WaitForExit(), 0);
}

TEST(SimExecutable, LoadPutsAFileIntoMemory)
{
    const std::string strImage = TempPath("image.bin");
    std::ofstream(strImage, std::ios::binary) << "\x12\x34\x56";
    CSimProcess process;
    ASSERT_TRUE(process.Spawn({"--quiet", "--load", strImage + "@0x4000"}));
    const std::string strPath = PathFromLine(process.ReadLine());
    ASSERT_FALSE(strPath.empty());
    CPtyClient host;
    ASSERT_TRUE(host.Open(strPath));
    EXPECT_EQ(host.Exchange(Concat({FlashFrame(0xC1, {0, 0x40, 0}), FlashFrame(0xCA, {4})}), 8),
              (Bytes {0xC1, 0x0D, 0xCA, 0x12, 0x34, 0x56, 0xFF, 0x0D}));
    process.Signal(SIGTERM);
    EXPECT_EQ(process.WaitForExit(), 0);
    unlink(strImage.c_str());
}

class SimExecutableBadArguments : public ::testing::TestWithParam<std::vector<std::string>> {};

TEST_P(SimExecutableBadArguments, ExitWithAnErrorAndNoDevice)
{
    CSimProcess process;
    ASSERT_TRUE(process.Spawn(GetParam()));
    EXPECT_TRUE(PathFromLine(process.ReadLine()).empty());
    const int nExit = process.WaitForExit();
    EXPECT_NE(nExit, 0);
    EXPECT_NE(nExit, -1);
}

INSTANTIATE_TEST_SUITE_P(
    Table, SimExecutableBadArguments,
    ::testing::Values(std::vector<std::string> {"--fault", "c2:explode"},
                      std::vector<std::string> {"--app-version", "1.2"}, std::vector<std::string> {"--status", "zz=1"},
                      std::vector<std::string> {"--baud", "-5"}, std::vector<std::string> {"--dump-range", "12"},
                      std::vector<std::string> {"--adapter", "ftdi:0"}, std::vector<std::string> {"--adapter", "usb"},
                      std::vector<std::string> {"--rx-buffer", "-1"}, std::vector<std::string> {"--write-us", "x"},
                      std::vector<std::string> {"--load", "/no/such/file"},
                      std::vector<std::string> {"--app-banner", "half \\x4"},
                      // A dump that could not be written at the end is refused at the start.
                      std::vector<std::string> {"--dump", "/no/such/folder/memory.bin"},
                      std::vector<std::string> {"--dump", "/"}, std::vector<std::string> {"--no-such-option"}));

TEST(SimExecutable, LinkReplacesAStaleLinkButNeverAFile)
{
    const std::string strLink = TempPath("stale-link");
    const std::string strFile = TempPath("somebodys-file");
    // Left behind by a simulator that was killed: points nowhere.
    ASSERT_EQ(::symlink("/dev/pts/no-such-pty", strLink.c_str()), 0);
    {
        CSimProcess process;
        ASSERT_TRUE(process.Spawn({"--quiet", "--link", strLink}));
        const std::string strPath = PathFromLine(process.ReadLine());
        ASSERT_FALSE(strPath.empty());
        char acTarget[256] = {};
        ASSERT_GT(readlink(strLink.c_str(), acTarget, sizeof(acTarget) - 1), 0);
        EXPECT_EQ(std::string(acTarget), strPath);
        process.Signal(SIGTERM);
        EXPECT_EQ(process.WaitForExit(), 0);
    }
    std::ofstream(strFile) << "keep me";
    CSimProcess process;
    ASSERT_TRUE(process.Spawn({"--quiet", "--link", strFile}));
    EXPECT_TRUE(PathFromLine(process.ReadLine()).empty());
    EXPECT_NE(process.WaitForExit(), 0);
    std::ifstream kept(strFile);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(kept), std::istreambuf_iterator<char>()), "keep me");
    unlink(strFile.c_str());
}

TEST(SimExecutable, HelpDocumentsEveryOptionAndFaultKind)
{
    CSimProcess process;
    ASSERT_TRUE(process.Spawn({"--help"}));
    const std::string strHelp = process.ReadAll();
    EXPECT_EQ(process.WaitForExit(), 0);
    for (const char* pWord : {"--app-version",
                              "--fw-version",
                              "--baud",
                              "--link",
                              "--quiet",
                              "--trace",
                              "--exit-after-leave",
                              "--dump",
                              "--dump-range",
                              "--load",
                              "--fault",
                              "--status",
                              "--refuse-write",
                              "--corrupt",
                              "--silent-after",
                              "--flash-needs-iap",
                              "--tty-defaults",
                              "--adapter",
                              "--rx-buffer",
                              "--write-us",
                              "--app-banner",
                              "--echo",
                              "refuse",
                              "malformed",
                              "badcrc",
                              "silent",
                              "cut=N",
                              "garbage=N",
                              "vanish"})
        EXPECT_NE(strHelp.find(pWord), std::string::npos) << pWord;
}

}  // namespace
