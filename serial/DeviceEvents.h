#pragma once
// The platform layer under CDeviceWatch: the system's serial ports, how a
// path is known, and a wait that a hot-plug event or Wake ends. serial/posix
// implements it with libudev, serial/win32 with the set-up API and
// device-change notifications.
#include <memory>
#include <string>
#include <vector>

#include "serial/DeviceWatch.h"

class CDeviceEvents {
public:
    // The platform's own; never null (without events it only waits and wakes).
    static std::unique_ptr<CDeviceEvents> Make();
    virtual ~CDeviceEvents() = default;

    // The serial ports the system has now, with what it knows of their USB side, in name order.
    virtual std::vector<SSerialDevice> SystemDevices() = 0;
    // One text for every name of the same device ("/dev/ttyUSB0" and a link
    // to it, "COM5" and "\\.\com5"); empty when the path leads nowhere now.
    virtual std::string DeviceKey(const std::string& strPath) = 0;
    // Waits at most nTimeoutMs; true when a hot-plug event came or Wake was called.
    virtual bool Wait(int nTimeoutMs) = 0;
    // From any thread, and from a signal handler on POSIX.
    virtual void Wake() = 0;
    virtual bool HasEvents() const = 0;
};
