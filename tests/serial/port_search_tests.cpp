// The port search and the choice of the port a run opens.
#include <cstdlib>
#include <filesystem>

#include <gtest/gtest.h>

#include "common/RecordingView.h"
#include "common/TempDir.h"
#include "download/CLoader.h"
#include "serial/ComPortMap.h"
#include "sim/CDeviceSimulator.h"

namespace {

// A machine whose only serial ports are the ones pinned in the test.
class PortSearchTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::filesystem::create_directories(m_dir.Path("sys/class/tty"));
        ::setenv("VANTREL_SYSFS", m_dir.Path("sys").c_str(), 1);
        m_loader.ComPorts().Clear();
    }
    void TearDown() override
    {
        m_loader.ComPorts().Clear();
        ::unsetenv("VANTREL_SYSFS");
    }

    CTempDir m_dir;
    CRecordingView m_view;
    CLoader m_loader {m_view};
};

TEST_F(PortSearchTest, ListsPortsRecordsSixAndWarnsForTheRest)
{
    for (int n = 1; n <= 8; ++n)
        m_loader.ComPorts().SetPath(n, m_dir.Path("tty" + std::to_string(n)));
    m_loader.FindSerialPorts();
    std::string strExpected = "-- Find serial port:\r\n";
    for (int n = 1; n <= 8; ++n) {
        if (n == 8)
            strExpected += "The com checkout too much,need to manual select";
        strExpected += "COM" + std::to_string(n) + "  " + m_dir.Path("tty" + std::to_string(n)) + "\r\n";
    }
    strExpected +=
        "The com checkout too much,need to manual select-- -------------------------------------------------\r\n";
    EXPECT_EQ(m_view.LogText(), strExpected);
    EXPECT_EQ(m_loader.DetectedPorts(), (std::array<int, kDetectedPortSlots> {1, 2, 3, 4, 5, 6}));

    const auto log = m_view.Log();
    EXPECT_EQ(log.front().nColour, kLogBlue);
    EXPECT_EQ(log[1].strText, "COM1");
    EXPECT_EQ(log[1].nColour, kLogDefault);
    EXPECT_EQ(log.back().nColour, kLogGreen);
    EXPECT_EQ(log[log.size() - 2].nColour, kLogRed);
}

TEST_F(PortSearchTest, AutocheckTakesTheFirstRecordedPortThatOpens)
{
    CDeviceSimulator first;
    CDeviceSimulator second;
    ASSERT_TRUE(first.Start());
    ASSERT_TRUE(second.Start());
    m_loader.ComPorts().SetPath(1, m_dir.Path("gone"));
    m_loader.ComPorts().SetPath(2, first.SlavePath());
    m_loader.ComPorts().SetPath(4, second.SlavePath());
    m_loader.m_inputs.port.nPortIndex = kAutoCheckIndex;
    ASSERT_TRUE(m_loader.OpenDownloadPort());
    const auto log = m_view.Log();
    EXPECT_EQ(log[log.size() - 1].strText, "## cannot open COM1 !\r\n");
    EXPECT_EQ(log[log.size() - 1].nColour, kLogBlue);
    EXPECT_EQ(m_loader.DetectedPorts(), (std::array<int, kDetectedPortSlots> {1, 2, 4, -1, -1, -1}));
    // COM2 is the one held now: a second program cannot have it.
    CDeviceChannel other;
    EXPECT_EQ(other.OpenPortPath(first.SlavePath(), 115200), 0);
    EXPECT_EQ(other.OpenPortPath(second.SlavePath(), 115200), 1);
    m_loader.Channel().ClosePort();
}

TEST_F(PortSearchTest, NoPortsOrNoneThatOpens)
{
    m_loader.m_inputs.port.nPortIndex = kAutoCheckIndex;
    EXPECT_FALSE(m_loader.OpenDownloadPort());
    EXPECT_EQ(m_view.LogText(), "-- Find serial port:\r\n"
                                "-- -------------------------------------------------\r\n"
                                "## There is no device connect,please check!\r\n");

    // The only recorded port does not open: it is named, and the search ends.
    m_view.Clear();
    m_loader.ComPorts().SetPath(3, m_dir.Path("gone"));
    EXPECT_FALSE(m_loader.OpenDownloadPort());
    EXPECT_TRUE(m_view.LogText().ends_with("## cannot open COM3 !\r\n## There is no device connect,please check!\r\n"))
        << m_view.LogText();
    EXPECT_EQ(m_loader.Channel().m_bOpen, 0);
}

TEST_F(PortSearchTest, EnumerationFailureIsReportedAndTheSearchGoesOn)
{
    ::setenv("VANTREL_SYSFS", m_dir.Path("no-sysfs").c_str(), 1);
    m_loader.ComPorts().SetPath(2, m_dir.Path("tty2"));
    m_loader.FindSerialPorts();
    const auto log = m_view.Log();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[0].strText.rfind("## Could not read " + m_dir.Path("no-sysfs"), 0), 0u) << log[0].strText;
    EXPECT_EQ(log[0].nColour, kLogRed);
    EXPECT_EQ(log[1].strText, "-- Find serial port:\r\n");
    EXPECT_EQ(m_loader.DetectedPorts()[0], -1);
}

TEST_F(PortSearchTest, PortChosenByNumberOpensItsPinnedPath)
{
    CDeviceSimulator sim;
    ASSERT_TRUE(sim.Start());
    m_loader.ComPorts().SetPath(12, sim.SlavePath());
    m_loader.m_inputs.port.nPortIndex = 11;  // "COM12"
    EXPECT_TRUE(m_loader.OpenDownloadPort());
    EXPECT_EQ(m_view.LogText(), "");
    m_loader.Channel().ClosePort();

    m_loader.m_inputs.port.nPortIndex = 4;  // "COM5", pinned nowhere
    EXPECT_FALSE(m_loader.OpenDownloadPort());
    // The second line says why, in terms the operator can act on.
    EXPECT_EQ(m_view.LogText(), "## Open COM5 failed, BaudRate = 115200.\r\n"
                                "## COM5: no device has this number (pin a device path to it in section [Ports] "
                                "of the settings file)\r\n");
}

}  // namespace
