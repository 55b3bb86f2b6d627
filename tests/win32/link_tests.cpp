// The serial link on Windows, against vantrel-sim on a pseudo-terminal that
// the Wine prefix maps to COM<VANTREL_TEST_COM> (tests/win32/with-sim.sh).
// The simulator leaves its line at a new tty's defaults, so only our own
// open makes it fit for binary data.
#include <chrono>
#include <cstdlib>
#include <numeric>
#include <string>
#include <vector>

#include <windows.h>

#include <gtest/gtest.h>

#include "protocol/CDeviceChannel.h"
#include "serial/CSerialLink.h"
#include "serial/ComPortMap.h"
#include "serial/SerialDevice.h"

namespace {

using Clock = std::chrono::steady_clock;

int TestComNumber()
{
    const char* pNumber = std::getenv("VANTREL_TEST_COM");
    return pNumber != nullptr ? std::atoi(pNumber) : 0;
}

bool RunningUnderWine()
{
    const HMODULE hNtdll = ::GetModuleHandleW(L"ntdll.dll");
    return hNtdll != nullptr && ::GetProcAddress(hNtdll, "wine_get_version") != nullptr;
}

class WinLinkTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_nCom = TestComNumber();
        ASSERT_GT(m_nCom, 0) << "VANTREL_TEST_COM names the COM number the simulator's line is mapped to";
        m_link.SetLineParameters(115200, 0, 0, 8, 0);
    }

    int OpenLink() { return m_link.Open(m_nCom, SystemComPortPath(m_nCom)); }

    int m_nCom = 0;
    CSerialLink m_link;
};

}  // namespace

TEST(WinComNames, TheDeviceNamespaceFormWorksFromCom10Up)
{
    EXPECT_EQ(SystemComPortPath(3), "\\\\.\\COM3");
    EXPECT_EQ(SystemComPortPath(12), "\\\\.\\COM12");
    EXPECT_EQ(SystemComPortPath(0), "");
    // Without a pin of its own, a number stands for the system's port.
    CComPortMap map;
    EXPECT_EQ(map.Path(12), "\\\\.\\COM12");
}

TEST_F(WinLinkTest, EveryByteValueCrossesTheLineBothWaysUnchanged)
{
    // XON/XOFF (0x11, 0x13), CR/LF mapping and the tty's special characters
    // would each change or eat some of these.
    CComPortMap map;
    CDeviceChannel channel;
    channel.SetComPortMap(&map);
    ASSERT_EQ(channel.OpenPort(m_nCom, 115200), 1) << channel.GetOpenFailure();
    std::vector<uint8_t> written(256);
    std::iota(written.begin(), written.end(), 0);
    ASSERT_EQ(channel.WriteBlock(0x1000, 256, written.data()), 1) << channel.GetErrorText();
    std::vector<uint8_t> read(256, 0);
    ASSERT_EQ(channel.ReadBlock(0x1000, 256, read.data()), 1) << channel.GetErrorText();
    EXPECT_EQ(read, written);
    channel.ClosePort();
}

TEST_F(WinLinkTest, SilenceEndsAReadAfterTheLimitAndTheLinkStaysUsable)
{
    ASSERT_EQ(OpenLink(), 1) << m_link.GetLastFailure();
    uint32_t nValue = 0;
    const auto start = Clock::now();
    EXPECT_EQ(m_link.ReadByte(&nValue), 0);
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    EXPECT_EQ(m_link.GetLastStatus(), EIoStatus::kTimeout);
    EXPECT_EQ(m_link.GetLastFailure(), "no reply within 2000 ms");
    // Our limit decides, not the driver's 5000 ms read constant.
    EXPECT_GE(elapsed, 1900);
    EXPECT_LT(elapsed, 4500);
    m_link.Close();

    // The same port serves an exchange after the failure.
    CComPortMap map;
    CDeviceChannel channel;
    channel.SetComPortMap(&map);
    ASSERT_EQ(channel.OpenPort(m_nCom, 115200), 1) << channel.GetOpenFailure();
    uint8_t frame[kIapFrameLength] = {};
    EXPECT_EQ(channel.IapCommand(kIapIdentify, frame, kIapFrameLength, kIapFrameLength), 1) << channel.GetErrorText();
}

TEST_F(WinLinkTest, AWriteLongerThanTheQueueSendsEveryByte)
{
    ASSERT_EQ(OpenLink(), 1) << m_link.GetLastFailure();
    // Zero bytes are line noise to the device: it drops them.
    const std::vector<uint8_t> noise(1500, 0x00);
    EXPECT_EQ(m_link.Write(noise.data(), static_cast<int>(noise.size())), 1) << m_link.GetLastFailure();
    m_link.Close();
    CComPortMap map;
    CDeviceChannel channel;
    channel.SetComPortMap(&map);
    ASSERT_EQ(channel.OpenPort(m_nCom, 115200), 1) << channel.GetOpenFailure();
    uint8_t frame[kIapFrameLength] = {};
    EXPECT_EQ(channel.IapCommand(kIapIdentify, frame, kIapFrameLength, kIapFrameLength), 1) << channel.GetErrorText();
}

TEST_F(WinLinkTest, TheTerminalPollTakesWhatHasArrivedWithoutWaiting)
{
    ASSERT_EQ(OpenLink(), 1) << m_link.GetLastFailure();
    uint8_t buffer[64];
    const auto start = Clock::now();
    EXPECT_EQ(m_link.ReadAvailable(buffer, sizeof buffer), 0);
    EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count(), 500);
}

TEST_F(WinLinkTest, ClosedLinksRefuseAtOnceAndCloseTwiceIsHarmless)
{
    uint32_t nValue = 0;
    const uint8_t byte = 0;
    EXPECT_EQ(m_link.Write(&byte, 1), 0);
    EXPECT_EQ(m_link.ReadByte(&nValue), 0);
    EXPECT_EQ(m_link.GetLastFailure(), "the port is not open");
    ASSERT_EQ(OpenLink(), 1) << m_link.GetLastFailure();
    m_link.Close();
    m_link.Close();
    EXPECT_FALSE(m_link.IsOpen());
    EXPECT_EQ(m_link.Write(&byte, 1), 0);
}

TEST_F(WinLinkTest, APortThatIsNotThereFailsWithItsReason)
{
    // COM number 250 has no device in the test prefix.
    EXPECT_EQ(m_link.Open(250, SystemComPortPath(250)), 0);
    EXPECT_FALSE(m_link.IsOpen());
    EXPECT_EQ(m_link.GetLastFailure(), "\\\\.\\COM250: not found (not plugged in, or a wrong name)");
}

TEST_F(WinLinkTest, APortThisProgramHoldsDoesNotOpenTwice)
{
    if (RunningUnderWine())
        GTEST_SKIP() << "Wine does not enforce share mode 0 on serial ports";
    ASSERT_EQ(OpenLink(), 1) << m_link.GetLastFailure();
    CSerialLink second;
    second.SetLineParameters(115200, 0, 0, 8, 0);
    EXPECT_EQ(second.Open(m_nCom, SystemComPortPath(m_nCom)), 0);
}
