// The device watch against real pseudo-terminals and the simulator's link:
// pinned paths that come and go, and what a pty says of its USB side; Wake is
// in device_watch_wake_tests.cpp, shared with Windows. The machine's udevd may
// or may not send events (a container has none); every case holds either way.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <fstream>
#include <set>

#include <gtest/gtest.h>

#include "common/ChildProcess.h"
#include "common/PtyPair.h"
#include "common/TempDir.h"
#include "serial/SerialDevice.h"
#include "DeviceWatchWaits.h"

namespace {

std::vector<std::string> PathsOf(const std::vector<SSerialDevice>& devices)
{
    std::vector<std::string> paths;
    for (const SSerialDevice& device : devices)
        paths.push_back(device.strPath);
    return paths;
}

long Count(const std::vector<std::string>& paths, const std::string& strPath)
{
    return std::count(paths.begin(), paths.end(), strPath);
}

struct SLinkName {
    const char* pszCase;
    const char* pszName;
};

void PrintTo(const SLinkName& name, std::ostream* pOut)
{
    *pOut << name.pszCase;
}

class DeviceWatchLinkTest : public ::testing::TestWithParam<SLinkName> {};

// The simulator makes its link after the watch was made and removes it at
// its end: the wait ends on each, and the list follows.
TEST_P(DeviceWatchLinkTest, APinnedLinkCountsAsPluggedWhileItExists)
{
    CTempDir dir;
    const std::string strLink = dir.Path(GetParam().pszName);
    CDeviceWatch watch({strLink});
    EXPECT_EQ(TimesListed(watch, strLink), 0);

    CChildProcess sim(VANTREL_SIM_EXE, {"--quiet", "--tty-defaults", "--link", strLink});
    ASSERT_TRUE(sim.Started());
    const long nAppearedMs = WaitUntilListed(watch, strLink, true);
    ASSERT_GE(nAppearedMs, 0) << "the link never showed: " << sim.Err();
    EXPECT_LT(nAppearedMs, kWellBeforeMs);
    const std::vector<SSerialDevice> devices = watch.PresentDevices();
    const auto pinned = std::find_if(devices.begin(), devices.end(),
                                     [&](const SSerialDevice& device) { return device.strPath == strLink; });
    ASSERT_NE(pinned, devices.end());
    // A pseudo-terminal sits on no USB device.
    EXPECT_EQ(pinned->strUsbVendor + pinned->strUsbProduct + pinned->strUsbSerial, "");

    sim.Signal(SIGTERM);
    EXPECT_EQ(sim.Wait(), 0) << sim.Err();
    const long nVanishedMs = WaitUntilListed(watch, strLink, false);
    EXPECT_GE(nVanishedMs, 0) << "the link is still listed after the simulator ended";
    EXPECT_LT(nVanishedMs, kWellBeforeMs);
}

INSTANTIATE_TEST_SUITE_P(Names, DeviceWatchLinkTest,
                         ::testing::Values(SLinkName {"Plain", "sim-link"}, SLinkName {"Chinese", "串口-板子"}),
                         [](const ::testing::TestParamInfo<SLinkName>& info) { return info.param.pszCase; });

// Two pinned names of one device, and one name given twice, are one device,
// listed under the first name given; a missing pinned path is not listed.
TEST(DeviceWatch, PinnedNamesOfOneDeviceAreListedOnce)
{
    CTempDir dir;
    CPtyPair pty;
    ASSERT_FALSE(pty.SlavePath().empty());
    const std::string strFirst = dir.Path("first");
    const std::string strSecond = dir.Path("second");
    ASSERT_EQ(::symlink(pty.SlavePath().c_str(), strFirst.c_str()), 0);
    ASSERT_EQ(::symlink(pty.SlavePath().c_str(), strSecond.c_str()), 0);
    CDeviceWatch watch({strFirst, dir.Path("missing"), strSecond, strFirst, pty.SlavePath()});
    const std::vector<std::string> paths = PathsOf(watch.PresentDevices());
    EXPECT_EQ(Count(paths, strFirst), 1);
    EXPECT_EQ(Count(paths, strSecond) + Count(paths, pty.SlavePath()) + Count(paths, dir.Path("missing")), 0);
    // Every path is listed once and can be found on the file system.
    EXPECT_EQ(std::set<std::string>(paths.begin(), paths.end()).size(), paths.size());
    for (const std::string& strPath : paths)
        EXPECT_EQ(::access(strPath.c_str(), F_OK), 0) << strPath;
}

// The kernel's console is never offered for flashing unless pinned by name.
TEST(DeviceWatch, TheSystemConsoleIsListedOnlyWhenPinned)
{
    std::ifstream active("/sys/class/tty/console/active");
    std::vector<std::string> consoles;
    for (std::string strName; active >> strName;) {
        if (::access(("/dev/" + strName).c_str(), F_OK) == 0)
            consoles.push_back("/dev/" + strName);
    }
    if (consoles.empty())
        GTEST_SKIP() << "this machine's console has no node in /dev";
    CDeviceWatch unpinned({});
    CDeviceWatch pinned(consoles);
    for (const std::string& strConsole : consoles) {
        SCOPED_TRACE(strConsole);
        EXPECT_EQ(TimesListed(unpinned, strConsole), 0);
        EXPECT_EQ(TimesListed(pinned, strConsole), 1);
    }
}

// Every name of one device gives one identity, and another device another:
// a link, a link to the link, the node itself; a file and its hard link.
TEST(DeviceIdentity, OneForEveryNameOfADevice)
{
    CTempDir dir;
    CPtyPair first, second;
    ASSERT_FALSE(first.SlavePath().empty());
    ASSERT_FALSE(second.SlavePath().empty());
    const std::string strLink = dir.Path("链接");
    const std::string strLinkToLink = dir.Path("link-to-link");
    ASSERT_EQ(::symlink(first.SlavePath().c_str(), strLink.c_str()), 0);
    ASSERT_EQ(::symlink(strLink.c_str(), strLinkToLink.c_str()), 0);
    const std::string strFile = dir.Write("file", "x");
    ASSERT_EQ(::link(strFile.c_str(), dir.Path("hard").c_str()), 0);

    const std::string strFirst = DeviceIdentity(first.SlavePath());
    EXPECT_FALSE(strFirst.empty());
    EXPECT_EQ(DeviceIdentity(strLink), strFirst);
    EXPECT_EQ(DeviceIdentity(strLinkToLink), strFirst);
    EXPECT_NE(DeviceIdentity(second.SlavePath()), strFirst);
    EXPECT_FALSE(DeviceIdentity(strFile).empty());
    EXPECT_EQ(DeviceIdentity(dir.Path("hard")), DeviceIdentity(strFile));
    EXPECT_NE(DeviceIdentity(strFile), strFirst);
    EXPECT_NE(DeviceIdentity(dir.Write("other", "x")), DeviceIdentity(strFile));
    EXPECT_EQ(DeviceIdentity(dir.Path("missing")), "");
    EXPECT_EQ(DeviceIdentity(""), "");
}

// A pinned link made anew to another device in one step (a simulator
// restarted behind it between two looks) is a change: the wait ends, and the
// device listed there is the new one.
TEST(DeviceWatch, ALinkMadeAnewToAnotherDeviceIsAChange)
{
    CTempDir dir;
    CPtyPair first, second;
    ASSERT_FALSE(first.SlavePath().empty());
    ASSERT_FALSE(second.SlavePath().empty());
    const std::string strLink = dir.Path("ttyDEV");
    ASSERT_EQ(::symlink(first.SlavePath().c_str(), strLink.c_str()), 0);
    CDeviceWatch watch({strLink});
    const auto identityAtLink = [&] {
        for (const SSerialDevice& device : watch.PresentDevices()) {
            if (device.strPath == strLink)
                return device.strIdentity;
        }
        return std::string("not listed");
    };
    EXPECT_EQ(identityAtLink(), DeviceIdentity(first.SlavePath()));

    const std::string strNew = dir.Path("ttyDEV.new");
    ASSERT_EQ(::symlink(second.SlavePath().c_str(), strNew.c_str()), 0);
    ASSERT_EQ(::rename(strNew.c_str(), strLink.c_str()), 0);
    const auto start = WatchClock::now();
    watch.WaitForChange(kLongWaitMs);
    EXPECT_LT(MillisecondsSince(start), kWellBeforeMs) << "the wait did not see the link made anew";
    EXPECT_EQ(identityAtLink(), DeviceIdentity(second.SlavePath()));
}

TEST(DeviceWatch, NoUsbIdentityForWhatIsNotOnUsb)
{
    CTempDir dir;
    CPtyPair pty;
    ASSERT_FALSE(pty.SlavePath().empty());
    const std::string strLink = dir.Path("pty-link");
    ASSERT_EQ(::symlink(pty.SlavePath().c_str(), strLink.c_str()), 0);
    for (const std::string& strPath : {pty.SlavePath(), strLink, dir.Write("file", "x"), dir.Path("missing")}) {
        SCOPED_TRACE(strPath);
        SSerialDevice device;
        EXPECT_FALSE(FindUsbIdentity(strPath, device));
        EXPECT_EQ(device.strUsbVendor + device.strUsbProduct + device.strUsbSerial, "");
    }
}

}  // namespace
