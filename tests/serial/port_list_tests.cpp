// Port enumeration over small sysfs and /dev trees the tests build, plus
// pinned paths that lead to real pseudo-terminals.
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "common/PtyPair.h"
#include "app/ProfileFile.h"
#include "app/Settings.h"
#include "serial/ComPortMap.h"
#include "serial/posix/PortList.h"

namespace {

namespace fs = std::filesystem;

void WriteText(const fs::path& path, const std::string& strText)
{
    fs::create_directories(path.parent_path());
    std::ofstream(path) << strText;
}

// A root holding sys/ and dev/ laid out the way the kernel lays them out.
class CFakeSystem {
public:
    CFakeSystem()
    {
        std::string strTemplate = (fs::temp_directory_path() / "vantrel-ports-XXXXXX").string();
        if (mkdtemp(strTemplate.data()) != nullptr)
            m_root = strTemplate;
        fs::create_directories(Sys() / "class" / "tty");
        fs::create_directories(Dev() / "serial" / "by-id");
    }
    ~CFakeSystem()
    {
        std::error_code ec;
        fs::remove_all(m_root, ec);
    }
    CFakeSystem(const CFakeSystem&) = delete;
    CFakeSystem& operator=(const CFakeSystem&) = delete;

    fs::path Root() const { return m_root; }
    fs::path Sys() const { return m_root / "sys"; }
    fs::path Dev() const { return m_root / "dev"; }
    std::string Node(const std::string& strName) const { return (Dev() / strName).string(); }
    std::string ById(const std::string& strLink) const { return (Dev() / "serial" / "by-id" / strLink).string(); }

    // A USB adapter on hub port strUsbPort. strProduct empty: the device
    // names no product. strById empty: udev made no by-id link.
    void PlugUsb(const std::string& strTty, const std::string& strUsbPort, const std::string& strProduct,
                 const std::string& strDriver, const std::string& strById, bool bNode = true)
    {
        const fs::path usbDevice = Sys() / "devices" / "pci0000:00" / "0000:00:14.0" / "usb1" / strUsbPort;
        WriteText(usbDevice / "idVendor", "0403\n");
        if (!strProduct.empty())
            WriteText(usbDevice / "product", strProduct + "\n");
        const fs::path port = usbDevice / (strUsbPort + ":1.0") / strTty;
        AddTty(strTty, port / "tty" / strTty, port, strDriver);
        if (bNode)
            WriteText(Dev() / strTty, "");
        if (!strById.empty())
            fs::create_symlink("../../" + strTty, ById(strById));
    }
    void Unplug(const std::string& strTty, const std::string& strUsbPort, const std::string& strById)
    {
        fs::remove(Sys() / "class" / "tty" / strTty);
        fs::remove_all(Sys() / "devices" / "pci0000:00" / "0000:00:14.0" / "usb1" / strUsbPort);
        fs::remove(Dev() / strTty);
        if (!strById.empty())
            fs::remove(ById(strById));
    }
    // An on-board UART line under strDevice; strType is what its type file reads.
    void AddUart(const std::string& strTty, const std::string& strDevice, const std::string& strDriver,
                 const std::string& strType)
    {
        const fs::path device = Sys() / "devices" / strDevice;
        const fs::path tty = device / "tty" / strTty;
        AddTty(strTty, tty, device, strDriver);
        if (!strType.empty())
            WriteText(tty / "type", strType + "\n");
        WriteText(Dev() / strTty, "");
    }
    // A UART line as the serial core lays it out since it has devices of its
    // own: the controller, its "ctrl" device, then one "port" device per line.
    void AddSerialCoreUart(const std::string& strTty, const std::string& strController,
                           const std::string& strDriver, const std::string& strLine, const std::string& strType)
    {
        const fs::path controller = Sys() / "devices" / strController;
        const std::string strBase = controller.filename().string();
        const fs::path ctrl = controller / (strBase + ":0");
        const fs::path port = ctrl / (strBase + ":0." + strLine);
        AddUart(strTty, strController + "/" + strBase + ":0/" + strBase + ":0." + strLine, "", strType);
        LinkDriver(controller, "platform", strDriver);
        LinkDriver(ctrl, "serial-base", "ctrl");
        LinkDriver(port, "serial-base", "port");
    }
    // A terminal with no device behind it (tty0, ptmx, console).
    void AddVirtual(const std::string& strTty)
    {
        const fs::path tty = Sys() / "devices" / "virtual" / "tty" / strTty;
        fs::create_directories(tty);
        WriteText(tty / "dev", "4:0\n");
        fs::create_symlink(tty, Sys() / "class" / "tty" / strTty);
        WriteText(Dev() / strTty, "");
    }

    PortInfoList List() const
    {
        PortInfoList ports;
        ListComPortsFrom(Sys().string(), Dev().string(), ports);
        return ports;
    }

private:
    void AddTty(const std::string& strTty, const fs::path& tty, const fs::path& device, const std::string& strDriver)
    {
        fs::create_directories(tty);
        fs::create_symlink(tty, Sys() / "class" / "tty" / strTty);
        fs::create_symlink(device, tty / "device");
        if (!strDriver.empty())
            LinkDriver(device, "any", strDriver);
    }
    void LinkDriver(const fs::path& device, const std::string& strBus, const std::string& strDriver)
    {
        const fs::path driver = Sys() / "bus" / strBus / "drivers" / strDriver;
        fs::create_directories(driver);
        if (!fs::exists(device / "driver"))
            fs::create_symlink(driver, device / "driver");
    }

    fs::path m_root;
};

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
        EXPECT_EQ(ports[i].deviceText, expected[i].strDisplayName.substr(0, expected[i].strDisplayName.rfind(" ("))) << i;
        EXPECT_EQ(ports[i].onUsb, expected[i].onUsb) << i;
    }
}

class PortListTest : public ::testing::Test {
protected:
    PortListTest() { ClearComPortPaths(); }
    ~PortListTest() override
    {
        ClearComPortPaths();
        g_iniPath.clear();
    }

    CFakeSystem m_system;
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
    ExpectPorts(m_system.List(), {
                                     {m_system.Node("ttyACM0"), "cdc_acm (COM1)", 1},
                                     {m_system.Node("ttyAMA0"), "Serial port (COM2)", 0},
                                     {m_system.Node("ttyS0"), "serial (COM3)", 0},
                                     {m_system.Node("ttyS4"), "serial (COM4)", 0},
                                     {m_system.ById("usb-FTDI_FT232R_USB_UART_A1-if00-port0"),
                                      "FT232R USB UART (COM5)", 1},
                                 });
}

TEST_F(PortListTest, NumbersStayWithTheirDevices)
{
    const std::string strA = "usb-FTDI_A-if00-port0";
    const std::string strB = "usb-Prolific_B-if00-port0";
    m_system.PlugUsb("ttyUSB0", "1-1", "Adapter A", "ftdi_sio", strA);
    m_system.AddUart("ttyS0", "pnp0/00:01", "serial", "4");
    const PortInfoList first = m_system.List();
    ExpectPorts(first, {{m_system.Node("ttyS0"), "serial (COM1)", 0}, {m_system.ById(strA), "Adapter A (COM2)", 1}});
    ExpectPorts(m_system.List(), {{m_system.Node("ttyS0"), "serial (COM1)", 0},
                                  {m_system.ById(strA), "Adapter A (COM2)", 1}});

    // Another adapter in A's place and under A's node name takes a number of
    // its own; A's number stays pinned to A.
    m_system.Unplug("ttyUSB0", "1-1", strA);
    m_system.PlugUsb("ttyUSB0", "1-2", "Adapter B", "pl2303", strB);
    ExpectPorts(m_system.List(), {{m_system.Node("ttyS0"), "serial (COM1)", 0},
                                  {m_system.ById(strA), "Pinned port (COM2)", 0},
                                  {m_system.ById(strB), "Adapter B (COM3)", 1}});

    // A comes back on another node and finds its number again.
    m_system.PlugUsb("ttyUSB1", "1-1", "Adapter A", "ftdi_sio", strA);
    ExpectPorts(m_system.List(), {{m_system.Node("ttyS0"), "serial (COM1)", 0},
                                  {m_system.ById(strA), "Adapter A (COM2)", 1},
                                  {m_system.ById(strB), "Adapter B (COM3)", 1}});

    // Across a restart the numbers come from the settings file.
    const fs::path ini = m_system.Root() / "vantrel.Ini";
    g_iniPath = ini.string();
    ASSERT_TRUE(SavePortMap());
    ClearComPortPaths();
    SetComPortPath(1, m_system.ById(strB));  // the file wins over what the map held
    LoadPortMap();
    const PortInfoList restarted = m_system.List();
    ExpectPorts(restarted, {{m_system.Node("ttyS0"), "serial (COM1)", 0},
                            {m_system.ById(strA), "Adapter A (COM2)", 1},
                            {m_system.ById(strB), "Adapter B (COM3)", 1}});
}

TEST_F(PortListTest, FirstSeenDeviceTakesTheLowestFreeNumber)
{
    SetComPortPath(1, "/nowhere/pinned-one");
    SetComPortPath(3, m_system.Node("ttyUSB0"));
    SetComPortPath(4, "/nowhere/pinned-four");
    m_system.PlugUsb("ttyUSB0", "1-1", "Known by node", "ftdi_sio", "usb-known");
    m_system.PlugUsb("ttyUSB1", "1-2", "New", "ftdi_sio", "usb-new");
    m_system.PlugUsb("ttyUSB2", "1-3", "Newer", "ftdi_sio", "");
    ExpectPorts(m_system.List(), {{"/nowhere/pinned-one", "Pinned port (COM1)", 0},
                                  {m_system.ById("usb-new"), "New (COM2)", 1},
                                  {m_system.Node("ttyUSB0"), "Known by node (COM3)", 1},
                                  {"/nowhere/pinned-four", "Pinned port (COM4)", 0},
                                  {m_system.Node("ttyUSB2"), "Newer (COM5)", 1}});
    EXPECT_EQ(ComPortPath(2), m_system.ById("usb-new"));
    EXPECT_EQ(ComPortPath(5), m_system.Node("ttyUSB2"));
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

    SetComPortPath(12, "/dev/pts/vantrel-missing");
    SetComPortPath(2, pty.SlavePath());
    SetComPortPath(5, link.string());
    // A pin under another name of a device the search finds claims it.
    SetComPortPath(7, (byPath / "pci-0000:00:14.0-usb-0:1:1.0-port0").string());
    m_system.PlugUsb("ttyUSB0", "1-1", "Board", "cp210x", "usb-Silicon_Labs_Board-if00-port0");
    m_system.PlugUsb("ttyUSB1", "1-2", "Second board", "cp210x", "");

    ExpectPorts(m_system.List(), {{m_system.Node("ttyUSB1"), "Second board (COM1)", 1},
                                  {pty.SlavePath(), "Pinned port (COM2)", 0},
                                  {link.string(), "Pinned port (COM5)", 0},
                                  {(byPath / "pci-0000:00:14.0-usb-0:1:1.0-port0").string(), "Board (COM7)", 1},
                                  {"/dev/pts/vantrel-missing", "Pinned port (COM12)", 0}});
}

TEST_F(PortListTest, DevicePinnedUnderTwoNamesIsListedOnce)
{
    m_system.PlugUsb("ttyUSB0", "1-1", "Board", "cp210x", "usb-Board-if00-port0");
    SetComPortPath(3, m_system.ById("usb-Board-if00-port0"));
    SetComPortPath(4, m_system.Node("ttyUSB0"));
    ExpectPorts(m_system.List(), {{m_system.ById("usb-Board-if00-port0"), "Board (COM3)", 1}});
}

TEST_F(PortListTest, MissingClassFolderIsAnEnumerationError)
{
    fs::remove_all(m_system.Sys() / "class");
    PortInfoList ports(1);
    try {
        ListComPortsFrom(m_system.Sys().string(), m_system.Dev().string(), ports);
        FAIL() << "no error raised";
    } catch (const CPortEnumerationError& error) {
        EXPECT_EQ(std::string(error.what()),
                  "Could not read " + (m_system.Sys() / "class" / "tty").string() + ": No such file or directory");
    }
}

TEST(PortTexts, CompletionFillsWhatASourceLeftEmpty)
{
    const struct {
        const char* pszComName;
        const char* pszDisplayName;
        const char* pszDeviceText;
        const char* pszDisplayAfter;
        const char* pszDeviceAfter;
    } cases[] = {
        {"COM1", "Communications Port (COM1)", "", "Communications Port (COM1)", "Communications Port"},
        {"COM1", "", "", "COM1", "COM1"},
        {"COM1", "(COM1)", "", "(COM1)", "(COM1)"},
        {"COM1", "Port (COM1) extra", "", "Port (COM1) extra", "Port (COM1) extra"},
        {"COM1", "Port (COM1", "", "Port (COM1", "Port (COM1"},
        {"COM1", "A (b) (COM1)", "", "A (b) (COM1)", "A (b) (COM1)"},
        {"COM2", "USB (COM2)", "Given text (kept)", "USB (COM2)", "Given text (kept)"},
    };
    for (const auto& c : cases) {
        PortInfoList ports(1);
        ports[0].comName = c.pszComName;
        ports[0].displayName = c.pszDisplayName;
        ports[0].deviceText = c.pszDeviceText;
        CompletePortTexts(ports);
        EXPECT_EQ(ports[0].displayName, c.pszDisplayAfter);
        EXPECT_EQ(ports[0].deviceText, c.pszDeviceAfter) << c.pszDisplayName;
    }
}

}  // namespace
