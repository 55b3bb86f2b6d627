// Port enumeration over small sysfs and /dev trees the tests build, plus
// pinned paths that lead to real pseudo-terminals.
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "common/FakeSystem.h"
#include "common/PtyPair.h"
#include "settings/ProfileFile.h"
#include "settings/Settings.h"
#include "serial/ComPortMap.h"
#include "serial/linux/PortList.h"

namespace {

namespace fs = std::filesystem;

struct SExpectedPort {
    std::string strOpenPath;
    std::string strDisplayName;
    int onUsb;
};

void ExpectPorts(const PortInfoList& ports, const std::vector<SExpectedPort>& expected)
{
    ASSERT_EQ(ports.size(), expected.size());
    for (size_t i = 0; i < ports.size(); ++i) {
        const std::string strCom = expected[i].strDisplayName.substr(expected[i].strDisplayName.rfind('(') + 1);
        EXPECT_EQ(ports[i].openPath, expected[i].strOpenPath) << i;
        EXPECT_EQ(ports[i].displayName, expected[i].strDisplayName) << i;
        EXPECT_EQ(ports[i].comName, strCom.substr(0, strCom.size() - 1)) << i;
        EXPECT_EQ(ports[i].deviceText, expected[i].strDisplayName.substr(0, expected[i].strDisplayName.rfind(" (")))
            << i;
        EXPECT_EQ(ports[i].onUsb, expected[i].onUsb) << i;
    }
}

class PortListTest : public ::testing::Test {
protected:
    // One search, a second after the one before.
    PortInfoList List()
    {
        PortInfoList ports;
        ListComPortsFrom(m_comPorts, m_system.Sys().string(), m_system.Dev().string(), ++m_nNow, ports);
        return ports;
    }

    CFakeSystem m_system;
    CComPortMap m_comPorts;
    CProfileFile m_profile;
    long long m_nNow = 1000;
};

TEST_F(PortListTest, SerialDevicesAreNamedAndMarked)
{
    m_system.PlugUsb("ttyUSB0", "1-1", "FT232R USB UART", "ftdi_sio", "usb-FTDI_FT232R_USB_UART_A1-if00-port0");
    m_system.PlugUsb("ttyACM0", "1-2", "", "cdc_acm", "");
    m_system.PlugUsb("ttyUSB1", "1-3", "Unplugged in /dev", "ch341", "", false);
    m_system.AddUart("ttyS0", "pnp0/00:01", "serial", "4");
    m_system.AddUart("ttyS1", "platform/serial8250", "serial8250", "0");
    m_system.AddUart("ttyS2", "platform/serial8250", "serial8250", "0");
    m_system.AddUart("ttyAMA0", "platform/fe201000.serial", "", "");
    m_system.AddSerialCoreUart("ttyS4", "pnp0/00:04", "serial", "0", "4");
    m_system.AddSerialCoreUart("ttyS5", "platform/serial8250", "serial8250", "1", "0");
    m_system.AddSerialCoreUart("ttyS6", "platform/serial8250", "serial8250", "2", "0");
    for (const char* pszVirtual : {"tty0", "tty63", "ptmx", "console"})
        m_system.AddVirtual(pszVirtual);

    // New devices take numbers in name order: ttyACM0, ttyAMA0, ttyS0, ttyS4, ttyUSB0.
    ExpectPorts(List(), {
                            {m_system.Node("ttyACM0"), "cdc_acm (COM1)", 1},
                            {m_system.Node("ttyAMA0"), "Serial port (COM2)", 0},
                            {m_system.Node("ttyS0"), "serial (COM3)", 0},
                            {m_system.Node("ttyS4"), "serial (COM4)", 0},
                            {m_system.ById("usb-FTDI_FT232R_USB_UART_A1-if00-port0"), "FT232R USB UART (COM5)", 1},
                        });
}

TEST_F(PortListTest, NumbersStayWithTheirDevices)
{
    const std::string strA = "usb-FTDI_A-if00-port0";
    const std::string strB = "usb-Prolific_B-if00-port0";
    m_system.PlugUsb("ttyUSB0", "1-1", "Adapter A", "ftdi_sio", strA);
    m_system.AddUart("ttyS0", "pnp0/00:01", "serial", "4");
    const PortInfoList first = List();
    ExpectPorts(first, {{m_system.Node("ttyS0"), "serial (COM1)", 0}, {m_system.ById(strA), "Adapter A (COM2)", 1}});
    ExpectPorts(List(), {{m_system.Node("ttyS0"), "serial (COM1)", 0}, {m_system.ById(strA), "Adapter A (COM2)", 1}});

    // Another adapter in A's place and under A's node name takes a number of
    // its own; A's number waits for A, unlisted while A is away.
    m_system.Unplug("ttyUSB0", "1-1", strA);
    m_system.PlugUsb("ttyUSB0", "1-2", "Adapter B", "pl2303", strB);
    ExpectPorts(List(), {{m_system.Node("ttyS0"), "serial (COM1)", 0}, {m_system.ById(strB), "Adapter B (COM3)", 1}});
    EXPECT_EQ(m_comPorts.Path(2), m_system.ById(strA));

    // A comes back on another node and finds its number again.
    m_system.PlugUsb("ttyUSB1", "1-1", "Adapter A", "ftdi_sio", strA);
    ExpectPorts(List(), {{m_system.Node("ttyS0"), "serial (COM1)", 0},
                         {m_system.ById(strA), "Adapter A (COM2)", 1},
                         {m_system.ById(strB), "Adapter B (COM3)", 1}});

    // Across a restart the numbers come from the settings file.
    const fs::path ini = m_system.Root() / "vantrel.Ini";
    m_profile.SetPath(ini.string());
    ASSERT_TRUE(SavePortMap(m_profile, m_comPorts));
    m_comPorts.Clear();
    m_comPorts.SetPath(1, m_system.ById(strB));  // the file wins over what the map held
    LoadPortMap(m_profile, m_comPorts);
    const PortInfoList restarted = List();
    ExpectPorts(restarted, {{m_system.Node("ttyS0"), "serial (COM1)", 0},
                            {m_system.ById(strA), "Adapter A (COM2)", 1},
                            {m_system.ById(strB), "Adapter B (COM3)", 1}});
    // ...and stay numbers the program gave: away, they are not listed.
    m_system.Unplug("ttyUSB1", "1-1", strA);
    ExpectPorts(List(), {{m_system.Node("ttyS0"), "serial (COM1)", 0}, {m_system.ById(strB), "Adapter B (COM3)", 1}});
}

// Adapters that come and go keep their numbers without filling the list or
// AUTOCHECK's slots; only when all twelve numbers are taken does a new one get
// the number of the adapter that has been away longest. Pins are never given
// away, and devices that are here never lose theirs.
TEST_F(PortListTest, AwayDevicesKeepTheirNumbersUntilAllTwelveAreTaken)
{
    const auto id = [](int k) { return "usb-Maker_Adapter_" + std::to_string(k) + "-if00-port0"; };
    const auto plug = [&](int k, const std::string& strTty) {
        m_system.PlugUsb(strTty, "1-" + std::to_string(k), "Adapter " + std::to_string(k), "ftdi_sio", id(k));
    };
    const auto unplug = [&](int k, const std::string& strTty) {
        m_system.Unplug(strTty, "1-" + std::to_string(k), id(k));
    };
    const auto adapter = [&](int k, int nCom) {
        const std::string strName = "Adapter " + std::to_string(k) + " (COM" + std::to_string(nCom) + ")";
        return SExpectedPort {m_system.ById(id(k)), strName, 1};
    };
    const SExpectedPort pinned {"/nowhere/pinned-five", "Pinned port (COM5)", 0};
    m_comPorts.SetPath(5, pinned.strOpenPath);

    // One at a time, each on ttyUSB0 as a real adapter would be.
    const int comOf[] = {0, 1, 2, 3, 4, 6, 7, 8, 9, 10, 11, 12};
    for (int k = 1; k <= 11; ++k) {
        plug(k, "ttyUSB0");
        if (comOf[k] < 5)
            ExpectPorts(List(), {adapter(k, comOf[k]), pinned});
        else
            ExpectPorts(List(), {pinned, adapter(k, comOf[k])});
        unplug(k, "ttyUSB0");
    }
    ExpectPorts(List(), {pinned});
    plug(2, "ttyUSB0");  // back: its own number, and seen now
    ExpectPorts(List(), {adapter(2, 2), pinned});
    unplug(2, "ttyUSB0");

    // All twelve are taken. Adapter 1 has been away longest, then 3 (2 was just here).
    plug(12, "ttyUSB0");
    ExpectPorts(List(), {adapter(12, 1), pinned});
    plug(13, "ttyUSB1");
    ExpectPorts(List(), {adapter(12, 1), adapter(13, 3), pinned});
    // Adapter 1 lost its number while away; 4 has been away longest now.
    plug(1, "ttyUSB2");
    ExpectPorts(List(), {adapter(12, 1), adapter(13, 3), adapter(1, 4), pinned});

    // Twelve numbers that cannot be given away: a new device goes beyond them.
    m_comPorts.Clear();
    std::vector<SExpectedPort> expected;
    for (int n = 1; n <= 12; ++n) {
        m_comPorts.SetPath(n, "/nowhere/pin" + std::to_string(n));
        expected.push_back({"/nowhere/pin" + std::to_string(n), "Pinned port (COM" + std::to_string(n) + ")", 0});
    }
    expected.insert(expected.end(), {adapter(12, 13), adapter(13, 14), adapter(1, 15)});
    ExpectPorts(List(), expected);
}

TEST_F(PortListTest, FirstSeenDeviceTakesTheLowestFreeNumber)
{
    m_comPorts.SetPath(1, "/nowhere/pinned-one");
    m_comPorts.SetPath(3, m_system.Node("ttyUSB0"));
    m_comPorts.SetPath(4, "/nowhere/pinned-four");
    m_system.PlugUsb("ttyUSB0", "1-1", "Known by node", "ftdi_sio", "usb-known");
    m_system.PlugUsb("ttyUSB1", "1-2", "New", "ftdi_sio", "usb-new");
    m_system.PlugUsb("ttyUSB2", "1-3", "Newer", "ftdi_sio", "");
    ExpectPorts(List(), {{"/nowhere/pinned-one", "Pinned port (COM1)", 0},
                         {m_system.ById("usb-new"), "New (COM2)", 1},
                         {m_system.Node("ttyUSB0"), "Known by node (COM3)", 1},
                         {"/nowhere/pinned-four", "Pinned port (COM4)", 0},
                         {m_system.Node("ttyUSB2"), "Newer (COM5)", 1}});
    EXPECT_EQ(m_comPorts.Path(2), m_system.ById("usb-new"));
    EXPECT_EQ(m_comPorts.Path(5), m_system.Node("ttyUSB2"));
}

TEST_F(PortListTest, PinnedPathsAreListedInNumberOrder)
{
    CPtyPair pty;
    ASSERT_FALSE(pty.SlavePath().empty());
    const fs::path link = m_system.Root() / "sim-link";
    fs::create_symlink(pty.SlavePath(), link);
    const fs::path byPath = m_system.Dev() / "serial" / "by-path";
    fs::create_directories(byPath);
    fs::create_symlink("../../ttyUSB0", byPath / "pci-0000:00:14.0-usb-0:1:1.0-port0");

    m_comPorts.SetPath(12, "/dev/pts/vantrel-missing");
    m_comPorts.SetPath(2, pty.SlavePath());
    m_comPorts.SetPath(5, link.string());
    // A pin under another name of a device the search finds claims it.
    m_comPorts.SetPath(7, (byPath / "pci-0000:00:14.0-usb-0:1:1.0-port0").string());
    m_system.PlugUsb("ttyUSB0", "1-1", "Board", "cp210x", "usb-Silicon_Labs_Board-if00-port0");
    m_system.PlugUsb("ttyUSB1", "1-2", "Second board", "cp210x", "");

    ExpectPorts(List(), {{m_system.Node("ttyUSB1"), "Second board (COM1)", 1},
                         {pty.SlavePath(), "Pinned port (COM2)", 0},
                         {link.string(), "Pinned port (COM5)", 0},
                         {(byPath / "pci-0000:00:14.0-usb-0:1:1.0-port0").string(), "Board (COM7)", 1},
                         {"/dev/pts/vantrel-missing", "Pinned port (COM12)", 0}});
}

TEST_F(PortListTest, DevicePinnedUnderTwoNamesIsListedOnce)
{
    m_system.PlugUsb("ttyUSB0", "1-1", "Board", "cp210x", "usb-Board-if00-port0");
    m_comPorts.SetPath(3, m_system.ById("usb-Board-if00-port0"));
    m_comPorts.SetPath(4, m_system.Node("ttyUSB0"));
    ExpectPorts(List(), {{m_system.ById("usb-Board-if00-port0"), "Board (COM3)", 1}});
}

// A machine booted with console=ttyS0: the kernel writes its console there,
// so the search leaves it out (AUTOCHECK would send IAP frames into it) unless
// the operator pinned it, under any of its names.
TEST(PortListConsole, TheKernelsConsoleIsLeftOutUnlessPinned)
{
    const struct {
        const char* pszActive;  // nullptr: no console file
        const char* pszPinAs;   // how COM4 is pinned to ttyS0; "" none
        bool bGiven;            // the program gave ttyS0 COM1 before
        std::vector<std::string> expected;
    } cases[] = {
        {"tty0 ttyS0", "", false, {"ttyS1 (COM1)", "ttyUSB0 (COM2)"}},
        {"ttyS0 tty0", "", false, {"ttyS1 (COM1)", "ttyUSB0 (COM2)"}},
        {"ttyUSB0", "", false, {"ttyS0 (COM1)", "ttyS1 (COM2)"}},
        {"tty0 ttyS0", "node", false, {"ttyS1 (COM1)", "ttyUSB0 (COM2)", "ttyS0 (COM4)"}},
        {"tty0 ttyS0", "by-path", false, {"ttyS1 (COM1)", "ttyUSB0 (COM2)", "ttyS0 (COM4)"}},
        {"tty0 ttyS0", "", true, {"ttyS1 (COM2)", "ttyUSB0 (COM3)"}},
        {"tty0 ttyS0", "by-path", true, {"ttyS1 (COM2)", "ttyUSB0 (COM3)", "ttyS0 (COM4)"}},
        {"tty0", "", false, {"ttyS0 (COM1)", "ttyS1 (COM2)", "ttyUSB0 (COM3)"}},
        {nullptr, "", false, {"ttyS0 (COM1)", "ttyS1 (COM2)", "ttyUSB0 (COM3)"}},
    };
    for (const auto& c : cases) {
        CComPortMap comPorts;
        CFakeSystem system;
        // Each port labelled with its own name.
        system.AddUart("ttyS0", "pnp0/00:01", "ttyS0", "4");
        system.AddUart("ttyS1", "pnp0/00:02", "ttyS1", "4");
        system.PlugUsb("ttyUSB0", "1-1", "ttyUSB0", "ftdi_sio", "usb-Board-if00-port0");
        system.AddVirtual("tty0");
        if (c.pszActive)
            system.SetConsole(c.pszActive);
        if (c.pszPinAs == std::string("node")) {
            comPorts.SetPath(4, system.Node("ttyS0"));
        } else if (c.pszPinAs == std::string("by-path")) {
            fs::create_directories(system.Dev() / "serial" / "by-path");
            fs::create_symlink("../../ttyS0", system.Dev() / "serial" / "by-path" / "pnp-0000:01");
            comPorts.SetPath(4, (system.Dev() / "serial" / "by-path" / "pnp-0000:01").string());
        }
        if (c.bGiven) {
            std::map<int, SComPort> entries = comPorts.Entries();
            entries[1] = {system.Node("ttyS0"), false, 5};
            comPorts.SetEntries(entries);
        }
        PortInfoList ports;
        ListComPortsFrom(comPorts, system.Sys().string(), system.Dev().string(), 10, ports);
        std::vector<std::string> listed;
        for (const PortInfo& port : ports)
            listed.push_back(port.displayName);
        EXPECT_EQ(listed, c.expected) << (c.pszActive ? c.pszActive : "(none)") << " pin " << c.pszPinAs;
    }
}

TEST_F(PortListTest, MissingClassFolderIsAnEnumerationError)
{
    fs::remove_all(m_system.Sys() / "class");
    PortInfoList ports(1);
    try {
        ListComPortsFrom(m_comPorts, m_system.Sys().string(), m_system.Dev().string(), 1, ports);
        FAIL() << "no error raised";
    } catch (const CPortEnumerationError& error) {
        EXPECT_EQ(std::string(error.what()),
                  "Could not read " + (m_system.Sys() / "class" / "tty").string() + ": No such file or directory");
    }
}

}  // namespace
