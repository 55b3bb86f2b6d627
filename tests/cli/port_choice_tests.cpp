// vantrel-cli choosing its port the way the dialog does: from the settings
// file, by COM number, or with AUTOCHECK over the ports the search finds.
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include <gtest/gtest.h>

#include "common/ChildProcess.h"
#include "common/HexWriter.h"
#include "common/TempDir.h"
#include "sim/CDeviceSimulator.h"

namespace {

class PortChoiceTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        // The machine's own serial ports stay out of the search.
        std::filesystem::create_directories(m_dir.Path("sys/class/tty"));
        ::setenv("VANTREL_SYSFS", m_dir.Path("sys").c_str(), 1);
        m_strFile = m_dir.Write("firmware.hex", HexFile(0x300, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17}));
    }
    void TearDown() override { ::unsetenv("VANTREL_SYSFS"); }

    std::string WriteSettings(int nPortNum, const std::vector<std::pair<int, std::string>>& pins)
    {
        std::string strText = "[Port:]\r\nUsedTimes=1\r\nPortNum=" + std::to_string(nPortNum) +
                              "\r\nBaudRate=7\r\n[update]\r\nsupportversion=*.*.*\r\n[Ports]\r\n";
        for (const auto& [nNumber, strPath] : pins)
            strText += "COM" + std::to_string(nNumber) + "=" + strPath + "\r\n";
        return m_dir.Write("vantrel.Ini", strText);
    }
    CChildProcess Run(const std::vector<std::string>& args) { return CChildProcess(VANTREL_CLI_EXE, args); }

    CTempDir m_dir;
    std::string m_strFile;
};

TEST_F(PortChoiceTest, AutocheckSkipsADeadPortAndDownloadsThroughTheFirstThatOpens)
{
    CDeviceSimulator first;
    CDeviceSimulator second;
    ASSERT_TRUE(first.Start());
    ASSERT_TRUE(second.Start());
    const std::string strDead = m_dir.Path("unplugged");
    const std::string strIni =
        WriteSettings(12, {{1, strDead}, {2, first.SlavePath()}, {3, second.SlavePath()}});
    const std::string strBefore = [&] {
        std::ifstream file(strIni, std::ios::binary);
        return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    }();

    CChildProcess cli = Run({"download", m_strFile, "--ini", strIni});
    EXPECT_EQ(cli.Wait(), 0) << cli.Out() << cli.Err();
    EXPECT_EQ(cli.Out(),
              "-- Find serial port:\n"
              "COM1  " + strDead + "\n"
              "COM2  " + first.SlavePath() + "\n"
              "COM3  " + second.SlavePath() + "\n"
              "-- -------------------------------------------------\n"
              "## cannot open COM1 !\n"
              "##  the cmdcheckid is ok!\n"
              "-- Downloading file " + m_strFile + " ...\n"
              "-- Verifying ...\n"
              "-- Verify successfully.\n"
              "##  the disconnect is ok!\n"
              "-- Download successfully.\n");
    EXPECT_EQ(first.ReadMemory(0x300, 3), (std::vector<uint8_t>{1, 2, 3}));
    EXPECT_EQ(second.CommandCount(), 0);
    // The command line reads the settings and writes nothing back.
    std::ifstream file(strIni, std::ios::binary);
    EXPECT_EQ(std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>()), strBefore);
}

TEST_F(PortChoiceTest, AutocheckWithoutPortsEndsTheRun)
{
    CChildProcess cli = Run({"download", m_strFile, "--ini", WriteSettings(12, {})});
    EXPECT_EQ(cli.Wait(), 4);
    EXPECT_EQ(cli.Out(),
              "-- Find serial port:\n"
              "-- -------------------------------------------------\n"
              "## There is no device connect,please check!\n");
}

TEST_F(PortChoiceTest, EightPinnedPortsWarnAfterTheSixthAndOnlySixAreTried)
{
    std::vector<std::pair<int, std::string>> pins;
    for (int n = 1; n <= 8; ++n)
        pins.push_back({n, m_dir.Path("dead" + std::to_string(n))});
    CChildProcess cli = Run({"download", m_strFile, "--ini", WriteSettings(12, pins)});
    EXPECT_EQ(cli.Wait(), 4);
    std::string strExpected = "-- Find serial port:\n";
    for (int n = 1; n <= 8; ++n)
        strExpected += std::string(n == 8 ? "The com checkout too much,need to manual select" : "") + "COM" +
                       std::to_string(n) + "  " + pins[static_cast<size_t>(n - 1)].second + "\n";
    strExpected += "The com checkout too much,need to manual select-- -------------------------------------------------\n";
    for (int n = 1; n <= 6; ++n)
        strExpected += "## cannot open COM" + std::to_string(n) + " !\n";
    strExpected += "## There is no device connect,please check!\n";
    EXPECT_EQ(cli.Out(), strExpected);
}

TEST_F(PortChoiceTest, ComNumberFromTheSettingsOrTheCommandLine)
{
    CDeviceSimulator sim;
    ASSERT_TRUE(sim.Start());
    const std::string strIni = WriteSettings(2, {{3, sim.SlavePath()}});
    CChildProcess bySettings = Run({"download", m_strFile, "--ini", strIni});
    EXPECT_EQ(bySettings.Wait(), 0) << bySettings.Out();
    CChildProcess byOption = Run({"download", m_strFile, "--ini", strIni, "--port", "com3"});
    EXPECT_EQ(byOption.Wait(), 0) << byOption.Out();
    CChildProcess unknown = Run({"download", m_strFile, "--ini", strIni, "--port", "COM7"});
    EXPECT_EQ(unknown.Wait(), 4);
    EXPECT_EQ(unknown.Out(), "## Open COM7 failed, BaudRate = 115200.\n");

    CChildProcess ports = Run({"ports", "--ini", strIni});
    EXPECT_EQ(ports.Wait(), 0);
    EXPECT_NE(ports.Out().find("COM3"), std::string::npos);
    EXPECT_NE(ports.Out().find(sim.SlavePath()), std::string::npos);
    EXPECT_NE(ports.Out().find("1 ports"), std::string::npos) << ports.Out();
}

}  // namespace
