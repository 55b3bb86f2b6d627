// The device watch on Windows: a pinned path is present while the file
// system has it (a Chinese name included), Wake ends a wait, and what is no
// COM port of the system has no USB identity. Wine sends no device-change
// notifications, so the system's ports are polled there; the cases hold
// either way.
#include <algorithm>
#include <chrono>
#include <filesystem>
#include <thread>

#include <gtest/gtest.h>

#include "WinFixtures.h"
#include "serial/DeviceWatch.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kLongWaitMs = 60000;
constexpr long kWellBeforeMs = 30000;

long MillisecondsSince(Clock::time_point start)
{
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

bool Listed(CDeviceWatch& watch, const std::string& strPath)
{
    const std::vector<SSerialDevice> devices = watch.PresentDevices();
    return std::count_if(devices.begin(), devices.end(),
                         [&](const SSerialDevice& device) { return device.strPath == strPath; }) == 1;
}

// Waits for changes until the path is listed (bListed) or not; the time it
// took, or -1 when the long wait ran out.
long WaitUntilListed(CDeviceWatch& watch, const std::string& strPath, bool bListed)
{
    const auto start = Clock::now();
    while (MillisecondsSince(start) < kLongWaitMs) {
        watch.WaitForChange(kLongWaitMs);
        if (Listed(watch, strPath) == bListed)
            return MillisecondsSince(start);
    }
    return -1;
}

TEST(WinDeviceWatch, APinnedFileIsPresentWhileItExists)
{
    CWinTempDir dir;
    for (const std::string strName : {"board.link", "串口-板子"}) {
        SCOPED_TRACE(strName);
        const std::string strPath = dir.File(strName);
        CDeviceWatch watch({strPath});
        EXPECT_FALSE(Listed(watch, strPath));
        // Made on another thread while the watch waits, as a simulator or
        // an operator makes it.
        std::thread maker([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            WriteBytes(strPath, "x");
        });
        const long nAppearedMs = WaitUntilListed(watch, strPath, true);
        maker.join();
        EXPECT_GE(nAppearedMs, 0);
        EXPECT_LT(nAppearedMs, kWellBeforeMs);
        SSerialDevice device;
        EXPECT_FALSE(FindUsbIdentity(strPath, device));

        std::error_code ec;
        ASSERT_TRUE(std::filesystem::remove(WidePath(strPath), ec)) << ec.message();
        const long nVanishedMs = WaitUntilListed(watch, strPath, false);
        EXPECT_GE(nVanishedMs, 0);
        EXPECT_LT(nVanishedMs, kWellBeforeMs);
    }
}

TEST(WinDeviceWatch, WakeEndsALongWait)
{
    CWinTempDir dir;
    for (const std::vector<std::string>& pinned : {std::vector<std::string> {}, {dir.File("never")}}) {
        SCOPED_TRACE(pinned.empty() ? "no pinned path" : "a pinned path that never comes");
        CDeviceWatch watch(pinned);
        watch.PresentDevices();
        auto start = Clock::now();
        std::thread waker([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            watch.Wake();
        });
        watch.WaitForChange(kLongWaitMs);
        EXPECT_LT(MillisecondsSince(start), kWellBeforeMs);
        waker.join();

        watch.Wake();
        start = Clock::now();
        watch.WaitForChange(kLongWaitMs);
        EXPECT_LT(MillisecondsSince(start), kWellBeforeMs);
    }
}

TEST(WinDeviceWatch, NoUsbIdentityForWhatIsNoUsbComPort)
{
    for (const std::string strPath : {"\\\\.\\COM199", "COM199", "C:\\no-such-file"}) {
        SCOPED_TRACE(strPath);
        SSerialDevice device;
        EXPECT_FALSE(FindUsbIdentity(strPath, device));
        EXPECT_EQ(device.strUsbVendor + device.strUsbProduct + device.strUsbSerial, "");
    }
}

}  // namespace
