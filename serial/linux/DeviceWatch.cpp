// The device watch's platform layer on Linux: libudev lists the ttys that
// have hardware behind them and, where udevd runs, tells when one comes or
// goes; the wait is a poll on udevd's monitor and an eventfd that Wake
// writes.
#include <libudev.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <set>
#include <sstream>

#include "core/CUniqueFd.h"
#include "core/TextNumber.h"
#include "serial/DeviceEvents.h"
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

std::string Text(const char* p)
{
    return p ? p : "";
}

// "ttyUSB10" after "ttyUSB9": names compare by their letters, then by number.
bool PathLess(const SSerialDevice& a, const SSerialDevice& b)
{
    const auto split = [](const std::string& s) {
        const size_t nDigits = s.find_last_not_of("0123456789") + 1;
        return std::make_pair(s.substr(0, nDigits), LeadingDecimal(std::string_view(s).substr(nDigits)));
    };
    return split(a.strPath) < split(b.strPath);
}

// Vendor, product and serial from the USB device a tty sits on; false when
// it sits on none. The parent belongs to the child and is not released here.
bool FillUsbIdentity(udev_device* pTty, SSerialDevice& device)
{
    udev_device* pUsb = udev_device_get_parent_with_subsystem_devtype(pTty, "usb", "usb_device");
    if (!pUsb)
        return false;
    device.strUsbVendor = Text(udev_device_get_sysattr_value(pUsb, "idVendor"));
    device.strUsbProduct = Text(udev_device_get_sysattr_value(pUsb, "idProduct"));
    device.strUsbSerial = Text(udev_device_get_sysattr_value(pUsb, "serial"));
    return !device.strUsbVendor.empty();
}

// The ttys the kernel writes its console to ("tty0 ttyS0"): a watch that
// offered one would have a production line write IAP frames into the system
// console. Pinned, the operator's choice, it is listed all the same.
std::set<std::string> ConsoleNames(udev* pUdev)
{
    std::set<std::string> names;
    UdevPtr<udev_device> pConsole(udev_device_new_from_subsystem_sysname(pUdev, "tty", "console"));
    std::istringstream active(pConsole ? Text(udev_device_get_sysattr_value(pConsole.get(), "active")) : "");
    for (std::string strName; active >> strName;)
        names.insert(strName);
    return names;
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
        UdevPtr<udev_enumerate> pEnum(m_pUdev ? udev_enumerate_new(m_pUdev.get()) : nullptr);
        if (!pEnum || udev_enumerate_add_match_subsystem(pEnum.get(), "tty") < 0 ||
            udev_enumerate_scan_devices(pEnum.get()) < 0)
            return found;
        const std::set<std::string> consoles = ConsoleNames(m_pUdev.get());
        udev_list_entry* pEntry = nullptr;
        udev_list_entry_foreach(pEntry, udev_enumerate_get_list_entry(pEnum.get()))
        {
            UdevPtr<udev_device> pTty(udev_device_new_from_syspath(m_pUdev.get(), udev_list_entry_get_name(pEntry)));
            // Virtual consoles, ptmx and the console have no hardware behind them.
            if (!pTty || !udev_device_get_parent(pTty.get()) ||
                consoles.contains(Text(udev_device_get_sysname(pTty.get()))))
                continue;
            // The serial core registers a fixed count of on-board UART lines
            // whether or not hardware answers; those without report type 0.
            if (Text(udev_device_get_sysattr_value(pTty.get(), "type")) == "0")
                continue;
            SSerialDevice device;
            device.strPath = Text(udev_device_get_devnode(pTty.get()));
            // A container that shows the host's sysfs has no node to open.
            if (device.strPath.empty() || ::access(device.strPath.c_str(), F_OK) != 0)
                continue;
            FillUsbIdentity(pTty.get(), device);
            found.push_back(device);
        }
        std::sort(found.begin(), found.end(), PathLess);
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
    struct stat info {};
    if (::stat(strPath.c_str(), &info) != 0 || !S_ISCHR(info.st_mode))
        return false;
    UdevPtr<udev> pUdev(udev_new());
    UdevPtr<udev_device> pTty(pUdev ? udev_device_new_from_devnum(pUdev.get(), 'c', info.st_rdev) : nullptr);
    return pTty && FillUsbIdentity(pTty.get(), device);
}
