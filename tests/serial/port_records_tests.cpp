// The pure steps of port enumeration: the source a Windows version takes,
// the records each source builds, the merge of the registry's instances, the
// completion of the texts and the words of the errors.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "serial/ComPortMap.h"
#include "serial/PortRecords.h"

namespace {

// COM1 to COM256, as Windows numbers its ports: "\\.\COM256" opens, so
// "COM256" must be a port too.
TEST(ComNames, OneToTwoHundredFiftySixWrittenOneWay)
{
    const struct {
        const char* pszText;
        int nNumber;  // 0: refused
    } cases[] = {{"COM1", 1}, {"com12", 12}, {"COM255", 255}, {"COM256", 256}, {"COM257", 0},
                 {"COM0", 0}, {"COM03", 0},  {"COM", 0},      {"COM1x", 0},    {"LPT1", 0}};
    for (const auto& c : cases) {
        int nNumber = -1;
        EXPECT_EQ(ParseComName(c.pszText, nNumber), c.nNumber != 0) << c.pszText;
        if (c.nNumber != 0) {
            EXPECT_EQ(nNumber, c.nNumber) << c.pszText;
        }
    }
}

TEST(PortSource, ChosenByMajorVersionThenPlatform)
{
    constexpr unsigned long kWin32s = 0;
    constexpr unsigned long kWindows9x = 1;
    const struct {
        unsigned long nMajor;
        unsigned long nPlatform;
        EPortSource expected;
    } cases[] = {
        {10, kPlatformWin32Nt, EPortSource::Setup},
        {6, kPlatformWin32Nt, EPortSource::Setup},
        {5, kPlatformWin32Nt, EPortSource::Setup},
        {5, kWindows9x, EPortSource::Setup},
        {4, kPlatformWin32Nt, EPortSource::Fixed},
        {3, kPlatformWin32Nt, EPortSource::Fixed},
        {4, kWindows9x, EPortSource::EnumKey},
        {4, kWin32s, EPortSource::EnumKey},
        {0, 3, EPortSource::EnumKey},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ChoosePortSource(c.nMajor, c.nPlatform), c.expected) << c.nMajor << "/" << c.nPlatform;
}

TEST(PortErrors, CodeInLowerCaseHex)
{
    EXPECT_EQ(PortErrorText("Could not get OS version.", 0x57), "Could not get OS version. (err=57)");
    EXPECT_EQ(PortErrorText("SetupDiGetClassDevs failed.", 0xE000020B), "SetupDiGetClassDevs failed. (err=e000020b)");
    EXPECT_EQ(PortErrorText("SetupDiEnumDeviceInterfaces failed.", 0), "SetupDiEnumDeviceInterfaces failed. (err=0)");
}

// A set-up record, completed the way ListComPorts completes it.
std::optional<PortInfo> CompletedSetupRecord(const SSetupPortTexts& texts)
{
    std::optional<PortInfo> port = SetupPortRecord(texts);
    if (port) {
        PortInfoList ports {*port};
        CompletePortTexts(ports);
        port = ports[0];
    }
    return port;
}

TEST(SetupRecords, BuiltFromTheTextsRead)
{
    const std::string strPath = R"(\\?\ftdibus#vid_0403+pid_6001+a1#0000#{86e0d1e0-8089-11d0-9ce4-08003e301f73})";
    const std::optional<std::string> none;
    const struct {
        std::optional<std::string> friendlyName;
        std::optional<std::string> description;
        std::optional<std::string> location;
        bool bListed;
        const char* pszDeviceText;
        int onUsb;
    } cases[] = {
        // A USB adapter whose description is empty: the friendly name gives it.
        {"USB Serial Port (COM7)", "", "USB\\VID_0403&PID_6001", true, "USB Serial Port", 1},
        {"USB Serial Port (COM7)", "", "USB", true, "USB Serial Port", 1},
        {"USB Serial Port (COM7)", "FTDI adapter", "Port_#0001.Hub_#0004", true, "FTDI adapter", 0},
        // The mark is case-sensitive, and a location not read says nothing.
        {"USB Serial Port (COM7)", "FTDI adapter", "usb", true, "FTDI adapter", 0},
        {"USB Serial Port (COM7)", "FTDI adapter", none, true, "FTDI adapter", 0},
        {"Communications Port (COM1)", "Communications Port", "", true, "Communications Port", 0},
        {"USB 串行端口 (COM9)", "", "USB", true, "USB 串行端口", 1},
        // Without both names the device is passed over.
        {"USB Serial Port (COM7)", none, "USB", false, "", 0},
        {none, "FTDI adapter", "USB", false, "", 0},
        {none, none, none, false, "", 0},
    };
    for (const auto& c : cases) {
        const std::optional<PortInfo> port = CompletedSetupRecord({strPath, c.friendlyName, c.description, c.location});
        const std::string strCase = c.friendlyName.value_or("-") + " / " + c.description.value_or("-");
        ASSERT_EQ(port.has_value(), c.bListed) << strCase;
        if (!port)
            continue;
        EXPECT_EQ(port->openPath, strPath) << strCase;
        EXPECT_EQ(port->comName, "") << strCase;
        EXPECT_EQ(port->displayName, *c.friendlyName) << strCase;
        EXPECT_EQ(port->deviceText, c.pszDeviceText) << strCase;
        EXPECT_EQ(port->onUsb, c.onUsb) << strCase;
    }
}

TEST(FixedPorts, ComOneToSixteenCompleteToTheirNames)
{
    PortInfoList ports(1);
    ports[0].comName = "COM99";
    ListPortsFixed(ports);
    ASSERT_EQ(ports.size(), 17u);
    EXPECT_EQ(ports[0].comName, "COM99");  // appended, nothing replaced
    for (size_t i = 1; i < ports.size(); ++i) {
        const std::string strCom = "COM" + std::to_string(i);
        EXPECT_EQ(ports[i].openPath, "\\\\.\\" + strCom);
        EXPECT_EQ(ports[i].comName, strCom);
        EXPECT_EQ(ports[i].displayName, "");
        EXPECT_EQ(ports[i].deviceText, "");
        EXPECT_EQ(ports[i].onUsb, 0);
    }
    CompletePortTexts(ports);
    for (size_t i = 1; i < ports.size(); ++i) {
        EXPECT_EQ(ports[i].displayName, ports[i].comName);
        EXPECT_EQ(ports[i].deviceText, ports[i].comName);
    }
}

TEST(EnumTree, SerialDeviceKeys)
{
    EXPECT_TRUE(IsUsbPortsEnumerator("USBPORTS"));
    for (const char* pszOther : {"usbports", "USBPORTS ", "USB", "BIOS", ""})
        EXPECT_FALSE(IsUsbPortsEnumerator(pszOther)) << pszOther;

    const struct {
        const char* pszDeviceKey;
        bool bUsbEnumerator;
        bool bTaken;
    } cases[] = {
        {"*PNP0500", false, true},  {"*PNP0501", false, true}, {"*pnp0501", false, false},
        {"*PNP0502", false, false}, {"PNP0501", false, false}, {"*PNP0303", false, false},
        {"FTDIBUS", true, true},    {"*PNP0303", true, true},  {"", true, true},
    };
    for (const auto& c : cases)
        EXPECT_EQ(IsSerialDeviceKey(c.pszDeviceKey, c.bUsbEnumerator), c.bTaken)
            << c.pszDeviceKey << " usb=" << c.bUsbEnumerator;
}

TEST(EnumTree, InstanceRecord)
{
    const PortInfo port = EnumInstanceRecord("COM5", "USB Serial Port (COM5)", 1);
    EXPECT_EQ(port.openPath, "\\\\.\\COM5");
    EXPECT_EQ(port.comName, "COM5");
    EXPECT_EQ(port.displayName, "USB Serial Port (COM5)");
    EXPECT_EQ(port.onUsb, 1);
    EXPECT_EQ(port.deviceText, "");
    EXPECT_EQ(EnumInstanceRecord("COM2", "", 0).onUsb, 0);
}

TEST(EnumTree, AnInstanceNamingAListedPortReplacesTheFirstRecordOfIt)
{
    PortInfoList ports;
    MergePortRecord(ports, EnumInstanceRecord("COM3", "First (COM3)", 0));
    MergePortRecord(ports, EnumInstanceRecord("COM1", "Other (COM1)", 0));
    MergePortRecord(ports, EnumInstanceRecord("COM3", "Last (COM3)", 1));
    ASSERT_EQ(ports.size(), 2u);
    EXPECT_EQ(ports[0].comName, "COM3");
    EXPECT_EQ(ports[0].displayName, "Last (COM3)");
    EXPECT_EQ(ports[0].onUsb, 1);
    EXPECT_EQ(ports[1].displayName, "Other (COM1)");

    // Names compare exactly: another case is another port.
    MergePortRecord(ports, EnumInstanceRecord("com3", "Lower (com3)", 0));
    ASSERT_EQ(ports.size(), 3u);
    EXPECT_EQ(ports[0].displayName, "Last (COM3)");
    EXPECT_EQ(ports[2].comName, "com3");

    // Of two records of one name only the first is replaced.
    PortInfoList twice {EnumInstanceRecord("COM4", "A", 0), EnumInstanceRecord("COM4", "B", 0)};
    MergePortRecord(twice, EnumInstanceRecord("COM4", "C", 1));
    ASSERT_EQ(twice.size(), 2u);
    EXPECT_EQ(twice[0].displayName, "C");
    EXPECT_EQ(twice[1].displayName, "B");
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
        {"COM1", "A (b (COM1)", "", "A (b (COM1)", "A"},
        {"", "", "", "", ""},
        {"COM2", "USB (COM2)", "Given text (kept)", "USB (COM2)", "Given text (kept)"},
    };
    PortInfoList ports;
    for (const auto& c : cases)
        ports.push_back({"", c.pszComName, c.pszDisplayName, 0, c.pszDeviceText});
    // One call completes every record of the list, in its order.
    CompletePortTexts(ports);
    ASSERT_EQ(ports.size(), std::size(cases));
    for (size_t i = 0; i < ports.size(); ++i) {
        EXPECT_EQ(ports[i].displayName, cases[i].pszDisplayAfter) << i;
        EXPECT_EQ(ports[i].deviceText, cases[i].pszDeviceAfter) << i;
    }
}

TEST(PortBoxTexts, TheComNumberAFriendlyNameEndsWith)
{
    const struct {
        const char* pszName;
        int nNumber;
    } cases[] = {
        {"USB Serial Port (COM5)", 5},
        {"USB 串行端口 (COM256)", 256},
        {"A (b) (com12)", 12},
        {"Port (COM5) extra", 0},
        {"Port (COM5", 0},
        {"Port COM5)", 0},
        {"Port (COM05)", 0},
        {"Port (COM257)", 0},
        {"Port (LPT1)", 0},
        {"Port ()", 0},
        {"", 0},
        {")", 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(FriendlyNameComNumber(c.pszName), c.nNumber) << c.pszName;
}

TEST(PortBoxTexts, WindowsShowsTheFriendlyNameElseTheNameAlone)
{
    PortInfoList ports = {
        {"\\\\?\\a", "", "USB-SERIAL CH340 (COM3)", 1, "USB-SERIAL CH340"},
        {"\\\\?\\b", "", "Communications Port (COM1)", 0, "Communications Port"},
        {"\\\\?\\c", "", "Second listing (COM1)", 0, ""},  // the first listed wins
        {"\\\\?\\d", "", "No number at its end", 0, ""},
        {"\\\\?\\e", "", "Pinned over (COM4)", 0, ""},
        {"\\\\?\\f", "", "Past the box (COM9)", 0, ""},
    };
    const std::vector<std::string> paths = {"\\\\.\\COM1", "\\\\.\\COM2", "\\\\.\\COM3", "\\\\?\\usb#pinned", ""};
    const std::vector<std::string> expected = {"Communications Port (COM1)", "COM2", "USB-SERIAL CH340 (COM3)",
                                               "COM4  \\\\?\\usb#pinned", "COM5"};
    EXPECT_EQ(WindowsPortBoxTexts(ports, paths), expected);
    // Nothing listed: the names alone.
    EXPECT_EQ(WindowsPortBoxTexts({}, {"\\\\.\\COM1", "\\\\.\\COM2"}), (std::vector<std::string> {"COM1", "COM2"}));
}

}  // namespace
