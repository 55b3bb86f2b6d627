// Wake ends a wait, on every platform: one in progress, from another thread
// (Ctrl-C's), and one given before the wait began; with a pinned path that
// never comes, and with none (the system's ports only, by events or polled).
#include <thread>

#include <gtest/gtest.h>

#include "DeviceWatchWaits.h"

namespace {

TEST(DeviceWatchWake, WakeEndsALongWait)
{
    for (const std::vector<std::string>& pinned :
         {std::vector<std::string> {}, {"no-such-folder-of-vantrel/never-a-device"}}) {
        SCOPED_TRACE(pinned.empty() ? "no pinned path" : "a pinned path that never comes");
        CDeviceWatch watch(pinned);
        watch.PresentDevices();
        auto start = WatchClock::now();
        std::thread waker([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            watch.Wake();
        });
        watch.WaitForChange(kLongWaitMs);
        EXPECT_LT(MillisecondsSince(start), kWellBeforeMs);
        waker.join();

        watch.Wake();
        start = WatchClock::now();
        watch.WaitForChange(kLongWaitMs);
        EXPECT_LT(MillisecondsSince(start), kWellBeforeMs);
    }
}

}  // namespace
