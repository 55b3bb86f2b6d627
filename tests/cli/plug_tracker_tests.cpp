// Which devices a watch writes: the port filter and the plug tracker, fed
// the looks a watch would take.
#include <gtest/gtest.h>

#include "cli/PlugTracker.h"

namespace {

SSerialDevice Device(const std::string& strPath, const std::string& strSerial = "", const std::string& strIdentity = "")
{
    SSerialDevice device;
    device.strPath = strPath;
    device.strUsbSerial = strSerial;
    device.strIdentity = strIdentity;
    return device;
}

std::vector<std::string> Paths(const std::vector<SSerialDevice>& devices)
{
    std::vector<std::string> paths;
    for (const SSerialDevice& device : devices)
        paths.push_back(device.strPath);
    return paths;
}

TEST(PortFilter, MatchesThePathOrItsLastPart)
{
    struct Case {
        const char* pPath;
        const char* pGlob;
        bool bMatches;
    };
    const Case cases[] = {
        {"/dev/ttyUSB0", "", true},
        {"/dev/ttyUSB0", "ttyUSB*", true},
        {"/dev/ttyUSB0", "/dev/ttyUSB*", true},
        {"/dev/ttyACM0", "ttyUSB*", false},
        {"/dev/ttyUSB12", "ttyUSB?", false},
        {"/dev/ttyUSB1", "ttyUSB[0-3]", true},
        {"/dev/ttyUSB7", "ttyUSB[0-3]", false},
        {"/dev/ttyUSB7", "ttyUSB[!0-3]", true},
        {"/dev/serial/by-id/usb-FTDI_A50285BI-if00-port0", "*FTDI*", true},
        {"\\\\.\\COM12", "COM1?", true},
        {"\\\\.\\COM12", "com1?", true},  // COM names in any case, as Windows takes them
        {"\\\\.\\COM3", "COM1?", false},
        {"/dev/ttyUSB0", "*", true},
        {"/dev/ttyUSB0", "ttyUSB0*", true},
        {"/dev/ttyUSB0", "dev", false},
        {"/tmp/[lab]/tty", "[lab]", false},
        {"/tmp/x/tty[", "tty[", true},  // an unclosed "[" is itself
        // A filter that would take a naive matcher exponential time.
        {"/dev/aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaab", "*a*a*a*a*a*a*a*a*a*a*a*a*c", false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(MatchesPortFilter(c.pPath, c.pGlob), c.bMatches) << c.pPath << " " << c.pGlob;
}

TEST(PlugTracker, EachDeviceOnceUntilItIsUnplugged)
{
    CPlugTracker tracker("", false);
    // Present at the start: left alone.
    EXPECT_TRUE(tracker.Update({Device("/dev/ttyUSB0")}).empty());
    EXPECT_EQ(tracker.LeftAlone(), 1u);
    // A new one, once however often it is seen.
    EXPECT_EQ(Paths(tracker.Update({Device("/dev/ttyUSB0"), Device("/dev/ttyUSB1")})),
              std::vector<std::string> {"/dev/ttyUSB1"});
    EXPECT_TRUE(tracker.Update({Device("/dev/ttyUSB0"), Device("/dev/ttyUSB1")}).empty());
    // The one left alone, unplugged and plugged in again, is new now.
    EXPECT_TRUE(tracker.Update({Device("/dev/ttyUSB1")}).empty());
    EXPECT_EQ(Paths(tracker.Update({Device("/dev/ttyUSB0"), Device("/dev/ttyUSB1")})),
              std::vector<std::string> {"/dev/ttyUSB0"});
    // Another board on the same path between two looks: its serial tells.
    CPlugTracker bySerial("", true);
    EXPECT_EQ(bySerial.Update({Device("/dev/ttyUSB0", "A1")}).size(), 1u);
    EXPECT_TRUE(bySerial.Update({Device("/dev/ttyUSB0", "A1")}).empty());
    EXPECT_EQ(bySerial.Update({Device("/dev/ttyUSB0", "B2")}).size(), 1u);
    // Forgotten while still there (its path was busy): offered again.
    bySerial.Forget(Device("/dev/ttyUSB0", "B2"));
    EXPECT_EQ(bySerial.Update({Device("/dev/ttyUSB0", "B2")}).size(), 1u);
}

// Without a USB serial number (a simulator, a pseudo-terminal behind a link)
// what the path leads to tells another device on the same path.
TEST(PlugTracker, AnotherDeviceBehindTheSamePathIsNew)
{
    CPlugTracker tracker("", false);
    EXPECT_TRUE(tracker.Update({Device("/tmp/ttyDEV", "", "char 34816")}).empty());
    EXPECT_TRUE(tracker.Update({Device("/tmp/ttyDEV", "", "char 34816")}).empty());
    EXPECT_EQ(Paths(tracker.Update({Device("/tmp/ttyDEV", "", "char 34817")})),
              std::vector<std::string> {"/tmp/ttyDEV"});
    EXPECT_TRUE(tracker.Update({Device("/tmp/ttyDEV", "", "char 34817")}).empty());
}

TEST(PortFilter, AnUnclosedSetIsNoFilter)
{
    struct Case {
        const char* pGlob;
        bool bGood;
    };
    const Case cases[] = {
        {"", true},   {"ttyUSB*", true},     {"ttyUSB[0-3]", true}, {"[]]", true}, {"[!]x]", true}, {"[a][b]", true},
        {"[", false}, {"ttyUSB[0-3", false}, {"[a][b", false},      {"[]", false}, {"[!]", false},  {"*[", false},
    };
    for (const Case& c : cases) {
        const std::string strProblem = PortFilterProblem(c.pGlob);
        EXPECT_EQ(strProblem.empty(), c.bGood) << c.pGlob << ": " << strProblem;
        if (!c.bGood) {
            EXPECT_NE(strProblem.find(c.pGlob), std::string::npos) << strProblem;
        }
    }
}

TEST(PlugTracker, IncludePresentAndTheFilter)
{
    CPlugTracker tracker("ttyUSB*", true);
    EXPECT_EQ(Paths(tracker.Update({Device("/dev/ttyS0"), Device("/dev/ttyUSB0"), Device("/dev/ttyUSB0")})),
              std::vector<std::string> {"/dev/ttyUSB0"});
    EXPECT_EQ(tracker.LeftAlone(), 0u);
    EXPECT_TRUE(tracker.Update({Device("/dev/ttyACM0"), Device("/dev/ttyUSB0")}).empty());
}

}  // namespace
