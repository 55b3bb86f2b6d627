// vantrel-cli choosing its port the way the dialog does: from the settings
// file, by COM number, or with AUTOCHECK over the ports the search finds.
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include <sys/stat.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "common/ChildProcess.h"
#include "common/FakeSystem.h"
#include "common/HexWriter.h"
#include "common/TempDir.h"
#include "serial/DeviceWatch.h"
#include "serial/SerialDevice.h"
#include "sim/CDeviceSimulator.h"

namespace {

std::string FileText(const std::string& strPath)
{
    std::ifstream file(strPath, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

// "COM1" → the path `vantrel-cli ports` shows for it.
std::map<std::string, std::string> ListedPorts(const std::string& strOut)
{
    std::map<std::string, std::string> ports;
    std::istringstream lines(strOut);
    for (std::string strLine; std::getline(lines, strLine);) {
        std::istringstream words(strLine);
        std::string strCom, strPath;
        if (words >> strCom >> strPath && strCom.starts_with("COM"))
            ports[strCom] = strPath;
    }
    return ports;
}

class PortChoiceTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        // The machine's own serial ports stay out of the search.
        std::filesystem::create_directories(m_dir.Path("sys/class/tty"));
        ::setenv("VANTREL_SYSFS", m_dir.Path("sys").c_str(), 1);
        m_strFile =
            m_dir.Write("firmware.hex", HexFile(0x300, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17}));
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
    const std::string strIni = WriteSettings(12, {{1, strDead}, {2, first.SlavePath()}, {3, second.SlavePath()}});
    const std::string strBefore = [&] {
        std::ifstream file(strIni, std::ios::binary);
        return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    }();

    CChildProcess cli = Run({"download", m_strFile, "--ini", strIni});
    EXPECT_EQ(cli.Wait(), 0) << cli.Out() << cli.Err();
    EXPECT_EQ(cli.Out(), "-- Find serial port:\n"
                         "COM1  " +
                             strDead +
                             "\n"
                             "COM2  " +
                             first.SlavePath() +
                             "\n"
                             "COM3  " +
                             second.SlavePath() +
                             "\n"
                             "-- -------------------------------------------------\n"
                             "## cannot open COM1 !\n"
                             "##  the cmdcheckid is ok!\n"
                             "-- Downloading file " +
                             m_strFile +
                             " ...\n"
                             "-- Verifying ...\n"
                             "-- Verify successfully.\n"
                             "##  the disconnect is ok!\n"
                             "-- Download successfully.\n");
    EXPECT_EQ(first.ReadMemory(0x300, 3), (std::vector<uint8_t> {1, 2, 3}));
    EXPECT_EQ(second.CommandCount(), 0);
    // The command line reads the settings and writes nothing back.
    std::ifstream file(strIni, std::ios::binary);
    EXPECT_EQ(std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>()), strBefore);
}

TEST_F(PortChoiceTest, AutocheckWithoutPortsEndsTheRun)
{
    CChildProcess cli = Run({"download", m_strFile, "--ini", WriteSettings(12, {})});
    EXPECT_EQ(cli.Wait(), 4);
    EXPECT_EQ(cli.Out(), "-- Find serial port:\n"
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
    strExpected +=
        "The com checkout too much,need to manual select-- -------------------------------------------------\n";
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
    // A number nothing stands for is named before any port is touched; like
    // a port that does not open, it is a connection problem.
    CChildProcess unknown = Run({"download", m_strFile, "--ini", strIni, "--port", "COM7"});
    EXPECT_EQ(unknown.Wait(), 4);
    EXPECT_EQ(unknown.Out(), "");
    EXPECT_EQ(unknown.Err(),
              "vantrel-cli: no device is known as COM7. `vantrel-cli ports` lists the ports there are\n");
    CChildProcess unknownChoice = Run({"download", m_strFile, "--ini", WriteSettings(4, {{3, sim.SlavePath()}})});
    EXPECT_EQ(unknownChoice.Wait(), 4);
    EXPECT_EQ(unknownChoice.Err(), "vantrel-cli: no device is known as COM5, the dialog's port choice; give --port. "
                                   "`vantrel-cli ports` lists the ports there are\n");

    CChildProcess ports = Run({"ports", "--ini", strIni});
    EXPECT_EQ(ports.Wait(), 0);
    EXPECT_NE(ports.Out().find("COM3"), std::string::npos);
    EXPECT_NE(ports.Out().find(sim.SlavePath()), std::string::npos);
    EXPECT_NE(ports.Out().find("1 ports"), std::string::npos) << ports.Out();
}

// Among several ports, a number nothing stands for is that port's connection
// failure, in its row and the exit status; the others are written.
TEST_F(PortChoiceTest, AComNumberThatIsNotThereIsAConnectionFailureAmongSeveral)
{
    CDeviceSimulator sim;
    ASSERT_TRUE(sim.Start());
    const std::string strIni = WriteSettings(2, {{3, sim.SlavePath()}});
    CChildProcess cli = Run({"download", m_strFile, "--ini", strIni, "--port", "COM7", "--port", "COM3", "--json"});
    EXPECT_EQ(cli.Wait(), 4) << cli.Out() << cli.Err();
    std::istringstream lines(cli.Out());
    int nResults = 0;
    for (std::string strLine; std::getline(lines, strLine);) {
        const nlohmann::json event = nlohmann::json::parse(strLine);
        if (event.at("event") != "result")
            continue;
        ++nResults;
        const bool bMissing = event.at("port") == "COM7";
        EXPECT_EQ(event.at("class"), bMissing ? "connection" : "success") << strLine;
        EXPECT_EQ(event.at("exit_status"), bMissing ? 4 : 0) << strLine;
    }
    EXPECT_EQ(nResults, 2) << cli.Out();
    EXPECT_NE(cli.Err().find("no device is known as COM7"), std::string::npos) << cli.Err();
    EXPECT_EQ(sim.ReadMemory(0x300, 3), (std::vector<uint8_t> {1, 2, 3}));
}

// One device named twice would fail itself: the second open finds the port
// held by the first. Every spelling is resolved to its device first, and two
// of one device are refused, naming both, before any port is touched.
// AUTOCHECK takes whichever port opens first: among several it is refused.
TEST_F(PortChoiceTest, OneDeviceNamedTwiceIsRefusedBeforeAnyPortIsTouched)
{
    CDeviceSimulator sim;
    CDeviceSimulator other;
    ASSERT_TRUE(sim.Start());
    ASSERT_TRUE(other.Start());
    const std::string strLink = m_dir.Path("串口");
    std::filesystem::create_symlink(sim.SlavePath(), strLink);
    const std::string strIni = WriteSettings(2, {{3, strLink}, {4, other.SlavePath()}});
    const std::string strSame = " name the same device";
    const struct {
        std::vector<std::string> ports;
        std::string strSaid;  // both spellings as given, the first first
    } cases[] = {
        {{strLink, strLink}, strLink + " and " + strLink + strSame},
        {{strLink, sim.SlavePath()}, strLink + " and " + sim.SlavePath() + strSame},
        {{"COM3", sim.SlavePath()}, "COM3 and " + sim.SlavePath() + strSame},
        {{other.SlavePath(), "com3", "COM4"}, other.SlavePath() + " and COM4" + strSame},
        {{"AUTOCHECK", other.SlavePath()}, "AUTOCHECK writes whichever port opens first"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.strSaid);
        std::vector<std::string> args {"download", m_strFile, "--ini", strIni};
        for (const std::string& strPort : c.ports)
            args.insert(args.end(), {"--port", strPort});
        CChildProcess cli = Run(args);
        EXPECT_EQ(cli.Wait(), 2) << cli.Out() << cli.Err();
        EXPECT_EQ(cli.Out(), "");
        EXPECT_EQ(std::count(cli.Err().begin(), cli.Err().end(), '\n'), 1) << cli.Err();
        EXPECT_NE(cli.Err().find(c.strSaid), std::string::npos) << cli.Err();
    }
    EXPECT_EQ(sim.CommandCount(), 0);
    EXPECT_EQ(other.CommandCount(), 0);
    // Two devices, each named once, are written.
    CChildProcess both = Run({"download", m_strFile, "--ini", strIni, "--port", strLink, "--port", "COM4"});
    EXPECT_EQ(both.Wait(), 0) << both.Out() << both.Err();
    EXPECT_EQ(sim.ReadMemory(0x300, 3), (std::vector<uint8_t> {1, 2, 3}));
    EXPECT_EQ(other.ReadMemory(0x300, 3), (std::vector<uint8_t> {1, 2, 3}));
}

// Whatever the command line leaves open is said once on standard error, with
// the settings file it came from, or as the first-run choice when no used
// settings file gives it: a port nobody chose is never written unannounced.
TEST_F(PortChoiceTest, PortAndBitRateNotGivenAreSaidOnceWithTheirSettingsFile)
{
    CDeviceSimulator sim;
    ASSERT_TRUE(sim.Start());
    const std::string strUsed = WriteSettings(2, {{3, sim.SlavePath()}});
    // Never used by the dialog (no UsedTimes): its port choice is the first run's.
    const std::string strUnused =
        m_dir.Write("unused.Ini", "[update]\r\nsupportversion=*.*.*\r\n[Ports]\r\nCOM1=" + sim.SlavePath() + "\r\n");
    const struct {
        std::vector<std::string> args;
        std::string strNote;  // the one line on standard error; empty for none
    } cases[] = {
        {{"--ini", strUsed}, "vantrel-cli: COM3 at 115200 bit/s from the settings file " + strUsed + "\n"},
        {{"--ini", strUsed, "--port", "COM3"}, "vantrel-cli: 115200 bit/s from the settings file " + strUsed + "\n"},
        {{"--ini", strUsed, "--port", "COM3", "--baud", "115200"}, ""},
        {{"--ini", strUsed, "--json"}, "vantrel-cli: COM3 at 115200 bit/s from the settings file " + strUsed + "\n"},
        {{"--ini", strUnused},
         "vantrel-cli: COM1 at 115200 bit/s, the first-run choice: the settings file " + strUnused +
             " holds none; give --port to choose\n"},
        {{"--ini", strUnused, "--port", "COM1"},
         "vantrel-cli: 115200 bit/s, the first-run choice: the settings file " + strUnused +
             " holds none; give --baud to choose\n"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args {"download", m_strFile};
        args.insert(args.end(), c.args.begin(), c.args.end());
        SCOPED_TRACE(args.back());
        CChildProcess cli = Run(args);
        EXPECT_EQ(cli.Wait(), 0) << cli.Out() << cli.Err();
        EXPECT_EQ(cli.Err(), c.strNote);
    }
}

// What `vantrel-cli ports` shows, `download` opens: two processes on the same
// machine, with no settings file at all, so the numbers are stored nowhere.
// The machine was booted with console=ttyS0; the system console is never
// offered, so AUTOCHECK cannot write IAP frames into it.
TEST_F(PortChoiceTest, ComNumbersThatPortsShowsWorkInDownloadAndTheConsoleIsLeftOut)
{
    CDeviceSimulator console;
    CDeviceSimulator uart;
    CDeviceSimulator adapter;
    ASSERT_TRUE(console.Start());
    ASSERT_TRUE(uart.Start());
    ASSERT_TRUE(adapter.Start());
    CFakeSystem system;
    system.AddUart("ttyS0", "pnp0/00:01", "serial", "4");
    system.AddUart("ttyS1", "pnp0/00:02", "serial", "4");
    system.PlugUsb("ttyUSB0", "1-1", "FT232R USB UART", "ftdi_sio", "usb-FTDI_FT232R_USB_UART_A1-if00-port0");
    system.SetConsole("tty0 ttyS0");
    system.LinkNode("ttyS0", console.SlavePath());
    system.LinkNode("ttyS1", uart.SlavePath());
    system.LinkNode("ttyUSB0", adapter.SlavePath());
    system.Use();
    ::setenv("VANTREL_INI", VANTREL_TEST_INI, 1);
    ASSERT_FALSE(std::filesystem::exists(VANTREL_TEST_INI));

    CChildProcess ports = Run({"ports"});
    EXPECT_EQ(ports.Wait(), 0) << ports.Err();
    const std::map<std::string, std::string> expected {{"COM1", system.Node("ttyS1")},
                                                       {"COM2", system.ById("usb-FTDI_FT232R_USB_UART_A1-if00-port0")}};
    EXPECT_EQ(ListedPorts(ports.Out()), expected) << ports.Out();

    const struct {
        std::vector<std::string> port;  // the --port option, if any
        const CDeviceSimulator* pDevice;
    } cases[] = {
        {{"--port", "COM1"}, &uart},
        {{"--port", "com2"}, &adapter},
        {{}, &uart},  // the dialog's first choice, COM1
        {{"--port", "AUTOCHECK"}, &uart},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args {"download", m_strFile, "--support-version", "*.*.*"};
        args.insert(args.end(), c.port.begin(), c.port.end());
        const int nBefore = c.pDevice->CommandCount();
        CChildProcess download = Run(args);
        EXPECT_EQ(download.Wait(), 0) << download.Out() << download.Err();
        EXPECT_GT(c.pDevice->CommandCount(), nBefore);
    }
    EXPECT_EQ(uart.ReadMemory(0x300, 3), (std::vector<uint8_t> {1, 2, 3}));
    EXPECT_EQ(adapter.ReadMemory(0x300, 3), (std::vector<uint8_t> {1, 2, 3}));

    CChildProcess unknown = Run({"download", m_strFile, "--port", "COM3"});
    EXPECT_EQ(unknown.Wait(), 4);
    EXPECT_EQ(unknown.Err(),
              "vantrel-cli: no device is known as COM3. `vantrel-cli ports` lists the ports there are\n");
    EXPECT_EQ(console.CommandCount(), 0);
    EXPECT_FALSE(std::filesystem::exists(VANTREL_TEST_INI));
}

// A settings file the dialog wrote before it told its own numbers from pins:
// six adapters that came and went, one pin to a port that is gone. The file
// is read-only; it is read as it is and never written.
TEST_F(PortChoiceTest, OldSettingsFileWithGoneAdaptersStillFindsTheNewOne)
{
    CDeviceSimulator adapter;
    ASSERT_TRUE(adapter.Start());
    CFakeSystem system;
    system.PlugUsb("ttyUSB0", "1-1", "CP2102", "cp210x", "usb-Silicon_Labs_CP2102-if00-port0");
    system.LinkNode("ttyUSB0", adapter.SlavePath());
    system.Use();
    const std::string strDead = m_dir.Path("socat-link");
    std::vector<std::pair<int, std::string>> entries;
    for (int n = 1; n <= 6; ++n)
        entries.push_back({n, "/dev/serial/by-id/usb-Gone_Adapter_" + std::to_string(n) + "-if00-port0"});
    entries.push_back({7, strDead});
    const std::string strIni = WriteSettings(12, entries);
    ASSERT_EQ(::chmod(strIni.c_str(), 0444), 0);
    const std::string strBefore = FileText(strIni);

    CChildProcess ports = Run({"ports", "--ini", strIni});
    EXPECT_EQ(ports.Wait(), 0) << ports.Err();
    const std::map<std::string, std::string> expected {{"COM7", strDead},
                                                       {"COM8", system.ById("usb-Silicon_Labs_CP2102-if00-port0")}};
    EXPECT_EQ(ListedPorts(ports.Out()), expected) << ports.Out();

    // AUTOCHECK reaches the new adapter: the pin first, then it.
    CChildProcess autocheck = Run({"download", m_strFile, "--ini", strIni});
    EXPECT_EQ(autocheck.Wait(), 0) << autocheck.Out() << autocheck.Err();
    EXPECT_TRUE(autocheck.Out().starts_with("-- Find serial port:\n"
                                            "COM7  " +
                                            strDead +
                                            "\n"
                                            "COM8  " +
                                            system.ById("usb-Silicon_Labs_CP2102-if00-port0") +
                                            "\n"
                                            "-- -------------------------------------------------\n"
                                            "## cannot open COM7 !\n"))
        << autocheck.Out();
    EXPECT_EQ(adapter.ReadMemory(0x300, 3), (std::vector<uint8_t> {1, 2, 3}));

    CChildProcess byNumber = Run({"download", m_strFile, "--ini", strIni, "--port", "COM8"});
    EXPECT_EQ(byNumber.Wait(), 0) << byNumber.Out() << byNumber.Err();
    CChildProcess gone = Run({"download", m_strFile, "--ini", strIni, "--port", "COM3"});
    EXPECT_EQ(gone.Wait(), 4);
    EXPECT_EQ(gone.Err(), "vantrel-cli: COM3 stands for /dev/serial/by-id/usb-Gone_Adapter_3-if00-port0, which the "
                          "port search does not find. `vantrel-cli ports` lists the ports there are\n");
    EXPECT_EQ(FileText(strIni), strBefore);
}

// `vantrel-cli ports` and the device watch read one listing: on the same
// sysfs and /dev tree they show the same devices in the same order (the
// console, a UART line without hardware, a tty without a node and a virtual
// terminal left out; ttyUSB2 before ttyUSB10), the watch with each device's
// USB side.
TEST_F(PortChoiceTest, PortsAndTheWatchShowTheSameDevicesOfOneTree)
{
    CFakeSystem system;
    system.AddVirtual("tty0");
    system.AddUart("ttyS0", "pnp0/00:01", "serial", "4");
    system.AddUart("ttyS1", "pnp0/00:02", "serial", "4");
    system.AddSerialCoreUart("ttyS2", "platform/serial8250", "serial8250", "2", "0");
    system.PlugUsb("ttyUSB10", "1-3", "CP2102", "cp210x", "");
    system.PlugUsb("ttyUSB2", "1-1", "FT232R USB UART", "ftdi_sio", "usb-FTDI_FT232R_USB_UART_A1-if00-port0");
    system.PlugUsb("ttyUSB3", "1-2", "FT232R USB UART", "ftdi_sio", "", false);
    system.SetConsole("tty0 ttyS0");
    system.Use();
    ::setenv("VANTREL_INI", VANTREL_TEST_INI, 1);

    CChildProcess ports = Run({"ports"});
    ASSERT_EQ(ports.Wait(), 0) << ports.Err();
    std::vector<std::string> listed;
    for (const auto& [strCom, strPath] : ListedPorts(ports.Out()))
        listed.push_back(DeviceIdentity(strPath));

    CDeviceWatch watch({});
    const std::vector<SSerialDevice> watched = watch.PresentDevices();
    std::vector<std::string> paths, identities;
    for (const SSerialDevice& device : watched) {
        paths.push_back(device.strPath);
        identities.push_back(DeviceIdentity(device.strPath));
    }
    EXPECT_EQ(paths,
              (std::vector<std::string> {system.Node("ttyS1"), system.Node("ttyUSB2"), system.Node("ttyUSB10")}));
    EXPECT_EQ(identities, listed) << ports.Out();
    ASSERT_EQ(watched.size(), 3U);
    EXPECT_EQ(watched[0].strUsbVendor, "");
    EXPECT_EQ(watched[1].strUsbVendor, "0403");
    EXPECT_EQ(watched[2].strUsbVendor, "0403");
}

// A board pulled out while it is being written still gets its USB serial
// number in its report row and result: the watch knows it from the look that
// found the board, and the board is gone by the time its row is written.
TEST_F(PortChoiceTest, AWatchedBoardUnpluggedDuringItsRunKeepsItsUsbSerialNumber)
{
    CDeviceSimulator adapter;
    CSimConfig config;
    config.m_nBaudRate = 9600;  // seconds of writing: time enough to pull the board out
    adapter.Configure(config);
    ASSERT_TRUE(adapter.Start());
    CFakeSystem system;
    system.PlugUsb("ttyUSB4", "1-4", "FT232R USB UART", "ftdi_sio", "");
    system.SetUsbSerial("1-4", "A50285BI");
    system.LinkNode("ttyUSB4", adapter.SlavePath());
    system.Use();
    const std::string strFile = m_dir.Write("big.hex", HexFile(0x1000, std::vector<uint8_t>(1024, 0x5A), 32));
    const std::string strReport = m_dir.Path("report.csv");
    CChildProcess cli = Run({"download", strFile, "--watch", "--include-present", "--json", "--ini",
                             WriteSettings(1, {}), "--report", strReport});
    ASSERT_TRUE(cli.WaitForOutput("\"event\":\"start\"")) << cli.Out() << cli.Err();
    system.Unplug("ttyUSB4", "1-4", "");
    ASSERT_TRUE(cli.WaitForOutput("\"event\":\"result\"", 60000)) << cli.Out() << cli.Err();
    cli.Signal(SIGINT);
    ASSERT_EQ(cli.Wait(), 0) << cli.Out() << cli.Err();

    const std::string strOut = cli.Out();
    const size_t nResult = strOut.find("\"event\":\"result\"");
    const nlohmann::json result = nlohmann::json::parse(
        strOut.substr(strOut.rfind('\n', nResult) + 1, strOut.find('\n', nResult) - strOut.rfind('\n', nResult) - 1));
    EXPECT_EQ(result.value("class", ""), "success") << result.dump();
    EXPECT_EQ(result.value("usb_serial", ""), "A50285BI") << result.dump();
    EXPECT_NE(FileText(strReport).find("," + system.Node("ttyUSB4") + ",A50285BI,"), std::string::npos)
        << FileText(strReport);
}

}  // namespace
