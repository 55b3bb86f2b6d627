// The device watch on Windows: a pinned path is present while the file
// system has it (a Chinese name included), and what is no COM port of the
// system has no USB identity; Wake is in ../serial/device_watch_wake_tests.cpp.
// Wine takes the registration for device-change notifications but has no
// COM-port devices to announce; pinned paths are looked at all the same, so
// the cases hold with notifications or without.
#include <cstdlib>
#include <filesystem>
#include <thread>

#include <gtest/gtest.h>

#include "WinFixtures.h"
#include "serial/DeviceWatchWaits.h"

namespace {

TEST(WinDeviceWatch, APinnedFileIsPresentWhileItExists)
{
    CWinTempDir dir;
    for (const std::string strName : {"board.link", "串口-板子"}) {
        SCOPED_TRACE(strName);
        const std::string strPath = dir.File(strName);
        CDeviceWatch watch({strPath});
        EXPECT_EQ(TimesListed(watch, strPath), 0);
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

// The simulator's line, mapped to COM<VANTREL_TEST_COM> by the prefix, pinned
// by its device name: present, and once though pinned under two spellings; a
// COM number nothing serves is not.
TEST(WinDeviceWatch, AComPortPinnedByNameIsPresentWhileServed)
{
    const char* pNumber = std::getenv("VANTREL_TEST_COM");
    ASSERT_NE(pNumber, nullptr) << "VANTREL_TEST_COM names the COM number the simulator's line is mapped to";
    const std::string strPort = std::string("\\\\.\\COM") + pNumber;
    CDeviceWatch watch({strPort, std::string("com") + pNumber, "\\\\.\\COM198"});
    EXPECT_EQ(TimesListed(watch, strPort), 1);
    EXPECT_EQ(TimesListed(watch, std::string("com") + pNumber), 0);
    EXPECT_EQ(TimesListed(watch, "\\\\.\\COM198"), 0);
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
