#pragma once
// Serial devices as they come and go, for flashing each board as it is plugged in.
#include <memory>
#include <string>
#include <vector>

// One serial device present now.
struct SSerialDevice {
    std::string strPath;        // what to open: "/dev/ttyUSB0", a pinned link, "\\.\COM5"
    std::string strUsbVendor;   // "0403"; empty when not USB or not known
    std::string strUsbProduct;  // "6001"
    std::string strUsbSerial;   // "A50285BI"
    // What the path leads to (DeviceIdentity): another device behind the same
    // path (a restarted simulator, a link made anew) has another.
    std::string strIdentity;
};

// Watches the system's serial devices (hot-plug events where the platform
// has them: udev on Linux, device-change notifications on Windows; polling
// otherwise) and a list of pinned paths (a link made by hand or by the
// simulator), which count as present while they exist.
class CDeviceWatch {
public:
    // Where the system sends no events, its ports are looked at this often
    // during a wait: a plugged board is seen before the operator looks at the
    // screen, and the looks cost nothing.
    static constexpr int kSystemLookMs = 500;
    // A pinned path (a link made by hand or by the simulator) raises no event
    // anywhere, so while there are pinned paths every wait looks this often.
    static constexpr int kPinnedLookMs = 200;

    explicit CDeviceWatch(std::vector<std::string> vecPinnedPaths);
    ~CDeviceWatch();
    CDeviceWatch(const CDeviceWatch&) = delete;
    CDeviceWatch& operator=(const CDeviceWatch&) = delete;

    // The devices present now, system ports and existing pinned paths, each once, in a stable order.
    std::vector<SSerialDevice> PresentDevices();
    // Returns when the set of devices may have changed, after nTimeoutMs, or
    // at once after Wake(); a spurious return is allowed (the caller compares snapshots).
    void WaitForChange(int nTimeoutMs);
    // From any thread (Ctrl-C): ends a WaitForChange in progress or the next one.
    void Wake();
    // True when the system's devices come by events, false when polled.
    bool HasHotPlugEvents() const;

private:
    struct SImpl;
    std::unique_ptr<SImpl> m_pImpl;
};

// The USB identity of a serial device path, where the platform knows it
// (vendor, product and serial texts filled into device); false otherwise.
bool FindUsbIdentity(const std::string& strPath, SSerialDevice& device);
