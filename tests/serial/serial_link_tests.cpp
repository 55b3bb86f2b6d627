// The serial link over a real pseudo-terminal whose far end the test drives.
#include <atomic>
#include <chrono>
#include <thread>

#include <gtest/gtest.h>
#include <termios.h>

#include "common/PtyPair.h"
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
    EXPECT_NE(second.GetLastFailure().find("in use"), std::string::npos) << second.GetLastFailure();
    second.Close();
    second.Close();
    // The first holder is undisturbed.
    const uint8_t byte = 0x5A;
    EXPECT_EQ(m_link.Write(&byte, 1), 1);
    EXPECT_EQ(m_pty.Receive(), std::vector<uint8_t>{0x5A});
    // Once released, the port opens again.
    m_link.Close();
    m_link.Close();
    EXPECT_EQ(second.Open(3, m_pty.SlavePath()), 1);
}

TEST_F(SerialLinkTest, OverlappingCallFailsAtOnceWhileATransferIsInProgress)
{
    std::atomic<int> nResult{-1};
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

TEST(SerialLinkSettings, OpenKeepsFlowControlAndTakesNonStandardRates)
{
    CPtyPair pty;
    termios before {};
    ASSERT_EQ(::tcgetattr(pty.SlaveKeeper(), &before), 0);
    before.c_cflag |= CRTSCTS;
    before.c_iflag |= IXON | IXOFF;
    ASSERT_EQ(::tcsetattr(pty.SlaveKeeper(), TCSANOW, &before), 0);

    for (int nBaud : {115200, 10417}) {
        CSerialLink link;
        link.SetLineParameters(nBaud, 0, 0, 8, 0);
        ASSERT_EQ(link.Open(1, pty.SlavePath()), 1) << nBaud << ": " << link.GetLastFailure();
        termios after {};
        ASSERT_EQ(::tcgetattr(pty.SlaveKeeper(), &after), 0);
        EXPECT_TRUE(after.c_cflag & CRTSCTS);
        EXPECT_TRUE(after.c_iflag & IXON);
        EXPECT_TRUE(after.c_iflag & IXOFF);
        EXPECT_EQ(after.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
        EXPECT_FALSE(after.c_cflag & PARENB);
        EXPECT_FALSE(after.c_lflag & (ICANON | ECHO));
        EXPECT_FALSE(after.c_oflag & OPOST);
    }
}

}  // namespace
