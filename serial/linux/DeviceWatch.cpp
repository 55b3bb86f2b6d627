// The device watch's platform layer on Linux: the devices are those of the
// one listing (serial/DeviceListing.h); where udevd runs, libudev tells when
// one comes or goes. The wait is a poll on udevd's monitor and an eventfd
// that Wake writes.
#include <libudev.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>

#include "core/CUniqueFd.h"
#include "serial/DeviceEvents.h"
#include "serial/DeviceListing.h"
#include "serial/PortEnumeration.h"
#include "serial/SerialDevice.h"

namespace {

struct SUdevRelease {
    void operator()(udev* p) const { udev_unref(p); }
    void operator()(udev_monitor* p) const { udev_monitor_unref(p); }
    void operator()(udev_enumerate* p) const { udev_enumerate_unref(p); }
    void operator()(udev_device* p) const { udev_device_unref(p); }
};
template <class T>
using UdevPtr = std::unique_ptr<T, SUdevRelease>;

// The listing; none on a system without the tty class, where the watch
// still has its pinned paths.
std::vector<SSerialDeviceRecord> ListingOrNone()
{
    try {
        return EnumerateSerialDevices();
    } catch (const CPortEnumerationError&) {
        return {};
    }
}

// The USB side of a device of the listing.
void CopyUsbSide(const SSerialDeviceRecord& record, SSerialDevice& device)
{
    device.strUsbVendor = record.strUsbVendor;
    device.strUsbProduct = record.strUsbProduct;
    device.strUsbSerial = record.strUsbSerial;
}

class CUdevEvents : public CDeviceEvents {
public:
    CUdevEvents()
    {
        m_wakeFd.Reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
        m_pUdev.reset(udev_new());
        // udevd announces a device once it has its node and permissions; with
        // no udevd (a container, a minimal system) a monitor would stay
        // silent, so the system's ports are looked at on a timer instead.
        if (!m_pUdev || ::access("/run/udev/control", F_OK) != 0)
            return;
        UdevPtr<udev_monitor> pMonitor(udev_monitor_new_from_netlink(m_pUdev.get(), "udev"));
        if (pMonitor && udev_monitor_filter_add_match_subsystem_devtype(pMonitor.get(), "tty", nullptr) >= 0 &&
            udev_monitor_enable_receiving(pMonitor.get()) >= 0)
            m_pMonitor = std::move(pMonitor);
    }

    std::vector<SSerialDevice> SystemDevices() override
    {
        std::vector<SSerialDevice> found;
        for (const SSerialDeviceRecord& record : ListingOrNone()) {
            // The kernel's console would have a production line write IAP
            // frames into it; pinned, the operator's choice, it is listed all the same.
            if (record.bConsole)
                continue;
            SSerialDevice device;
            device.strPath = record.strPath;
            CopyUsbSide(record, device);
            found.push_back(device);
        }
        return found;
    }

    std::string DeviceKey(const std::string& strPath) override { return DeviceIdentity(strPath); }

    bool Wait(int nTimeoutMs) override
    {
        pollfd fds[2] = {{m_wakeFd.Get(), POLLIN, 0}, {-1, POLLIN, 0}};
        const nfds_t nCount = m_pMonitor ? 2 : 1;
        if (m_pMonitor)
            fds[1].fd = udev_monitor_get_fd(m_pMonitor.get());
        if (::poll(fds, nCount, nTimeoutMs) <= 0)
            return false;
        if (fds[0].revents) {
            // Reading the counter resets it: one Wake ends one wait.
            uint64_t nCounter = 0;
            [[maybe_unused]] const ssize_t nRead = ::read(m_wakeFd.Get(), &nCounter, sizeof nCounter);
        }
        if (nCount == 2 && fds[1].revents) {
            // Every queued event is taken, so that one plug ends one wait.
            while (UdevPtr<udev_device> pEvent {udev_monitor_receive_device(m_pMonitor.get())}) {
            }
        }
        return true;
    }

    void Wake() override
    {
        // A write to an eventfd is safe in a signal handler.
        const uint64_t nOne = 1;
        [[maybe_unused]] const ssize_t nWritten = ::write(m_wakeFd.Get(), &nOne, sizeof nOne);
    }

    bool HasEvents() const override { return m_pMonitor != nullptr; }

private:
    UdevPtr<udev> m_pUdev;
    UdevPtr<udev_monitor> m_pMonitor;  // only where udevd sends events
    CUniqueFd m_wakeFd;
};

}  // namespace

std::unique_ptr<CDeviceEvents> CDeviceEvents::Make()
{
    return std::make_unique<CUdevEvents>();
}

bool FindUsbIdentity(const std::string& strPath, SSerialDevice& device)
{
    const std::string strIdentity = DeviceIdentity(strPath);
    if (strIdentity.empty())
        return false;
    for (const SSerialDeviceRecord& record : ListingOrNone()) {
        if (!record.strUsbVendor.empty() && DeviceIdentity(record.strPath) == strIdentity) {
            CopyUsbSide(record, device);
            return true;
        }
    }
    return false;
}
