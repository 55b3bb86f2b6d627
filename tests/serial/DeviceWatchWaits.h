#pragma once
// What the device-watch tests of both platforms share: waits measured only
// against a long limit, so that no load on the machine can blur the answer.
#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "serial/DeviceWatch.h"

using WatchClock = std::chrono::steady_clock;

// A wait that ran to this end is told from one that ended early by far
// more than any load can blur.
constexpr int kLongWaitMs = 60000;
constexpr long kWellBeforeMs = 30000;

inline long MillisecondsSince(WatchClock::time_point start)
{
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(WatchClock::now() - start).count());
}

// How many times the watch lists the path now.
inline long TimesListed(CDeviceWatch& watch, const std::string& strPath)
{
    const std::vector<SSerialDevice> devices = watch.PresentDevices();
    return std::count_if(devices.begin(), devices.end(),
                         [&](const SSerialDevice& device) { return device.strPath == strPath; });
}

// Waits for changes, as a watching loop does, until the path is listed once
// (bListed) or not at all; the time it took, or -1 when the long wait ran out.
inline long WaitUntilListed(CDeviceWatch& watch, const std::string& strPath, bool bListed)
{
    const auto start = WatchClock::now();
    while (MillisecondsSince(start) < kLongWaitMs) {
        watch.WaitForChange(kLongWaitMs);
        if ((TimesListed(watch, strPath) == 1) == bListed)
            return MillisecondsSince(start);
    }
    return -1;
}
