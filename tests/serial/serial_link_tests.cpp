// The serial link over a real pseudo-terminal whose far end the test drives.
#include <atomic>
#include <chrono>
#include <csignal>
#include <functional>
#include <thread>

#include <sys/stat.h>
#include <sys/wait.h>

#include <gtest/gtest.h>
#include <termios.h>

#include "common/PtyPair.h"
#include "common/TempDir.h"
#include "serial/CSerialLink.h"

namespace {

using Clock = std::chrono::steady_clock;

long MillisecondsSince(Clock::time_point start)
{
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

class SerialLinkTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(m_pty.SlavePath().empty());
        m_link.SetLineParameters(115200, 0, 0, 8, 0);
        ASSERT_EQ(m_link.Open(3, m_pty.SlavePath()), 1) << m_link.GetLastFailure();
    }

    CPtyPair m_pty;
    CSerialLink m_link;
};

TEST_F(SerialLinkTest, WriteSendsEveryByteEvenBeyondOneQueue)
{
    std::vector<uint8_t> data(1500);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<uint8_t>(i * 7);
    ASSERT_EQ(m_link.Write(data.data(), static_cast<int>(data.size())), 1);
    EXPECT_EQ(m_pty.Receive(), data);
}

TEST_F(SerialLinkTest, ReadByteDeliversBytesInOrderAndTimesOutAfterTheLimit)
{
    m_pty.Send({0x00, 0x7F, 0xFF});
    uint32_t value = 1234;
    for (uint32_t expected : {0x00u, 0x7Fu, 0xFFu}) {
        ASSERT_EQ(m_link.ReadByte(&value), 1);
        EXPECT_EQ(value, expected);
    }
    const auto start = Clock::now();
    EXPECT_EQ(m_link.ReadByte(&value), 0);
    const long elapsed = MillisecondsSince(start);
    EXPECT_GE(elapsed, kLinkTimeoutMs - 50);
    EXPECT_LT(elapsed, kLinkTimeoutMs + 1500);
    EXPECT_EQ(m_link.GetLastStatus(), EIoStatus::kTimeout);
    EXPECT_TRUE(m_link.IsOpen());

    // A byte that comes after the failure is delivered by the next read.
    m_pty.Send({0x42});
    ASSERT_EQ(m_link.ReadByte(&value), 1);
    EXPECT_EQ(value, 0x42u);
}

TEST_F(SerialLinkTest, FailedWritePurgesBytesWaitingToBeRead)
{
    // A byte is waiting unread when a write fails because the far end stopped
    // reading: the purge drops it, so it cannot pose as the next reply.
    m_pty.Send({0xAB});
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::vector<uint8_t> flood(256 * 1024, 0x55);
    EXPECT_EQ(m_link.Write(flood.data(), static_cast<int>(flood.size())), 0);
    EXPECT_EQ(m_link.GetLastStatus(), EIoStatus::kTimeout);
    m_pty.Receive(100);  // what did get through before the limit
    m_pty.Send({0xCD});
    uint32_t value = 0;
    ASSERT_EQ(m_link.ReadByte(&value), 1);
    EXPECT_EQ(value, 0xCDu);
}

TEST_F(SerialLinkTest, FarEndVanishingFailsAtOnceWithoutHanging)
{
    m_pty.CloseMaster();
    uint32_t value = 0;
    const auto start = Clock::now();
    EXPECT_EQ(m_link.ReadByte(&value), 0);
    EXPECT_EQ(m_link.GetLastStatus(), EIoStatus::kGone);
    const uint8_t byte = 1;
    EXPECT_EQ(m_link.Write(&byte, 1), 0);
    EXPECT_EQ(m_link.GetLastStatus(), EIoStatus::kGone);
    EXPECT_LT(MillisecondsSince(start), 1000);
    m_link.Close();
    EXPECT_FALSE(m_link.IsOpen());
}

TEST_F(SerialLinkTest, SecondOpenOfAHeldPortFailsAndHoldsNothing)
{
    CSerialLink second;
    second.SetLineParameters(115200, 0, 0, 8, 0);
    EXPECT_EQ(second.Open(3, m_pty.SlavePath()), 0);
    EXPECT_FALSE(second.IsOpen());
    EXPECT_NE(second.GetLastFailure().find("held by another program"), std::string::npos) << second.GetLastFailure();
    second.Close();
    second.Close();
    // The first holder is undisturbed.
    const uint8_t byte = 0x5A;
    EXPECT_EQ(m_link.Write(&byte, 1), 1);
    EXPECT_EQ(m_pty.Receive(), std::vector<uint8_t> {0x5A});
    // Once released, the port opens again.
    m_link.Close();
    m_link.Close();
    EXPECT_EQ(second.Open(3, m_pty.SlavePath()), 1);
}

TEST_F(SerialLinkTest, OverlappingCallFailsAtOnceWhileATransferIsInProgress)
{
    std::atomic<int> nResult {-1};
    std::thread reader([&] {
        uint32_t value = 0;
        nResult = m_link.ReadByte(&value);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const auto start = Clock::now();
    const uint8_t byte = 1;
    EXPECT_EQ(m_link.Write(&byte, 1), 0);
    EXPECT_LT(MillisecondsSince(start), 100);
    EXPECT_TRUE(m_pty.Receive(50).empty());
    m_pty.Send({0x11});
    reader.join();
    EXPECT_EQ(nResult, 1);
}

TEST(SerialLinkClosed, CallsOnAClosedLinkFailAtOnce)
{
    CSerialLink link;
    uint32_t value = 0;
    const uint8_t byte = 0;
    EXPECT_EQ(link.Write(&byte, 1), 0);
    EXPECT_EQ(link.ReadByte(&value), 0);
    link.Close();
    link.Close();
    EXPECT_EQ(link.Open(1, "/nonexistent/tty"), 0);
    EXPECT_FALSE(link.IsOpen());
    EXPECT_EQ(link.Write(&byte, 1), 0);
}

TEST(SerialLinkSettings, OpenMakesAFreshTtyFullyRawButKeepsHardwareFlowControl)
{
    // The pty starts as a new tty does: XON/XOFF, CR/NL mapping, echo,
    // canonical mode. The driver reports hardware flow control on.
    CPtyPair pty;
    termios before {};
    ASSERT_EQ(::tcgetattr(pty.SlaveKeeper(), &before), 0);
    ASSERT_TRUE(before.c_iflag & IXON) << "the kernel's defaults changed; this test stages nothing";
    before.c_cflag |= CRTSCTS;
    ASSERT_EQ(::tcsetattr(pty.SlaveKeeper(), TCSANOW, &before), 0);

    for (int nBaud : {115200, 10417}) {
        CSerialLink link;
        link.SetLineParameters(nBaud, 0, 0, 8, 0);
        ASSERT_EQ(link.Open(1, pty.SlavePath()), 1) << nBaud << ": " << link.GetLastFailure();
        termios after {};
        ASSERT_EQ(::tcgetattr(pty.SlaveKeeper(), &after), 0);
        EXPECT_TRUE(after.c_cflag & CRTSCTS);
        EXPECT_EQ(after.c_iflag & (IXON | IXOFF | IXANY | ICRNL | INLCR | IGNCR | ISTRIP | BRKINT), 0u);
        EXPECT_EQ(after.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
        EXPECT_FALSE(after.c_cflag & PARENB);
        EXPECT_EQ(after.c_lflag & (ICANON | ECHO | ECHONL | ISIG | IEXTEN), 0u);
        EXPECT_FALSE(after.c_oflag & OPOST);
    }
}

TEST(SerialLinkSettings, ControlBytesPassBothWaysUnchangedOnAFreshTty)
{
    // XON/XOFF would swallow 0x11 and 0x13 and stop our output; CR/NL
    // mapping would turn 0x0D into 0x0A; echo would send the far end's bytes
    // back to it.
    const std::vector<uint8_t> control {0x11, 0x13, 0x0D, 0x0A, 0x03, 0x1A, 0x7F, 0x1C, 0x15, 0x04, 0x00, 0xFF};
    CPtyPair pty;
    CSerialLink link;
    link.SetLineParameters(115200, 0, 0, 8, 0);
    ASSERT_EQ(link.Open(1, pty.SlavePath()), 1) << link.GetLastFailure();

    pty.Send(control);
    for (uint8_t expected : control) {
        uint32_t value = 0;
        ASSERT_EQ(link.ReadByte(&value), 1) << link.GetLastFailure();
        EXPECT_EQ(value, expected);
    }
    EXPECT_TRUE(pty.Receive(50).empty()) << "echoed";
    ASSERT_EQ(link.Write(control.data(), static_cast<int>(control.size())), 1) << link.GetLastFailure();
    EXPECT_EQ(pty.Receive(), control);
}

// Opens strPath with a fresh link and gives the reason it failed ("" when it opened).
std::string OpenFailure(const std::string& strPath)
{
    CSerialLink link;
    link.SetLineParameters(115200, 0, 0, 8, 0);
    if (link.Open(0, strPath))
        return std::string();
    EXPECT_FALSE(link.IsOpen());
    return link.GetLastFailure();
}

// Runs body in a child process and gives its exit status: for what must
// happen as another user, or in a session of its own.
int InChild(const std::function<int()>& body)
{
    const pid_t pid = ::fork();
    if (pid == 0)
        ::_exit(body());
    int nStatus = 0;
    ::waitpid(pid, &nStatus, 0);
    return WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : 100;
}

TEST(SerialLinkOpen, SaysWhyAPathIsNoSerialPort)
{
    CTempDir dir;
    const std::string strFile = dir.Write("plain.txt", "text");
    struct Case {
        std::string strPath;
        const char* pReason;
    };
    const Case cases[] = {
        {dir.Path("ttyUSB9"), "not found"},
        {"/dev/null", "not a serial device"},
        {dir.Path(""), "not a serial device (a folder)"},
        {strFile, "not a serial device"},
        {"/dev/ptmx", "not a serial device (a terminal of the system)"},
    };
    for (const Case& c : cases) {
        const std::string strFailure = OpenFailure(c.strPath);
        EXPECT_NE(strFailure.find(c.pReason), std::string::npos) << c.strPath << ": " << strFailure;
        EXPECT_EQ(strFailure.rfind(c.strPath, 0), 0u) << "names the device: " << strFailure;
    }
}

TEST(SerialLinkOpen, RefusesTheTerminalThisProgramRunsInWithoutTouchingIt)
{
    CPtyPair pty;
    // A child in a session of its own whose controlling terminal is the pty,
    // as a shell's is: asked to open that very terminal, the link refuses
    // before changing anything.
    const int nStatus = InChild([&] {
        if (::setsid() < 0)
            return 10;
        const int fd = ::open(pty.SlavePath().c_str(), O_RDWR);  // becomes the controlling terminal
        if (fd < 0 || ::tcgetsid(fd) != ::getsid(0))
            return 11;
        const std::string strFailure = OpenFailure(pty.SlavePath());
        if (strFailure.find("the terminal this program runs in") == std::string::npos)
            return 12;
        termios tio {};
        ::tcgetattr(fd, &tio);
        return (tio.c_lflag & ECHO) && (tio.c_iflag & IXON) ? 0 : 13;
    });
    EXPECT_EQ(nStatus, 0);
}

TEST(SerialLinkOpen, NamesTheProgramThatHoldsThePort)
{
    CPtyPair pty;
    int toParent[2];
    ASSERT_EQ(::pipe(toParent), 0);
    const pid_t holder = ::fork();
    if (holder == 0) {
        CSerialLink link;
        link.SetLineParameters(115200, 0, 0, 8, 0);
        const char cReady = link.Open(0, pty.SlavePath()) ? 'y' : 'n';
        (void)!::write(toParent[1], &cReady, 1);
        ::pause();
        ::_exit(0);
    }
    char cReady = 0;
    ASSERT_EQ(::read(toParent[0], &cReady, 1), 1);
    ASSERT_EQ(cReady, 'y');
    const std::string strFailure = OpenFailure(pty.SlavePath());
    ::kill(holder, SIGKILL);
    ::waitpid(holder, nullptr, 0);
    ::close(toParent[0]);
    ::close(toParent[1]);
    EXPECT_NE(strFailure.find("held by another program ("), std::string::npos) << strFailure;
    EXPECT_NE(strFailure.find("pid " + std::to_string(holder) + ")"), std::string::npos) << strFailure;
}

TEST(SerialLinkOpen, PermissionDeniedTellsWhichGroupAndHowToCheck)
{
    CPtyPair pty;
    // As a USB adapter is: group dialout (as root; an ordinary user cannot
    // give its pty away). The operator may name it through a link.
    if (::geteuid() == 0) {
        ASSERT_EQ(::chown(pty.SlavePath().c_str(), 0, 20), 0);
    }
    const std::string strLink = ::testing::TempDir() + "/vantrel-link-" + std::to_string(::getpid());
    ::unlink(strLink.c_str());
    ASSERT_EQ(::symlink(pty.SlavePath().c_str(), strLink.c_str()), 0);
    // As root the test drops to an ordinary user first; as an ordinary user
    // the device is made unreadable to its owner.
    const int nStatus = InChild([&] {
        if (::geteuid() == 0) {
            if (::setgid(65534) != 0 || ::setuid(65534) != 0)
                return 10;
        } else if (::chmod(pty.SlavePath().c_str(), 0) != 0) {
            return 11;
        }
        const std::string strFailure = OpenFailure(pty.SlavePath());
        const bool bWorded = strFailure.find("permission denied: the device's group (") != std::string::npos &&
                             strFailure.find("id -nG") != std::string::npos &&
                             strFailure.find("usermod -aG") != std::string::npos;
        if (!bWorded)
            return 12;
        // Through a link, the command to check shows the device itself.
        const std::string strLinked = OpenFailure(strLink);
        return strLinked.find("'ls -l " + pty.SlavePath() + ";") != std::string::npos ? 0 : 13;
    });
    ::unlink(strLink.c_str());
    EXPECT_EQ(nStatus, 0);
}

TEST(SerialLinkOpen, PermissionDeniedOnARootGroupDeviceNeverAdvisesJoiningRoot)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "only root can give a device to group root and drop to another user";
    CPtyPair pty;
    ASSERT_EQ(::chown(pty.SlavePath().c_str(), 0, 0), 0);
    const int nStatus = InChild([&] {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0)
            return 10;
        const std::string strFailure = OpenFailure(pty.SlavePath());
        const bool bWorded = strFailure.find("belongs to group root") != std::string::npos &&
                             strFailure.find("usermod") == std::string::npos;
        return bWorded ? 0 : 12;
    });
    EXPECT_EQ(nStatus, 0);
}

}  // namespace
