// The device watch over the platform's events: the pinned paths joined to
// the system's ports, and the wait that looks again where no event comes.
#include "serial/DeviceWatch.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <set>

#include "serial/DeviceEvents.h"

struct CDeviceWatch::SImpl {
    std::vector<std::string> vecPinned;
    std::unique_ptr<CDeviceEvents> pEvents;
    // What the caller saw last, so that a wait that starts after a change
    // ends at once instead of missing it.
    std::vector<std::string> vecLastSeen;

    // bIdentity: the USB identity of pinned paths too, which a look for a
    // change (every slice of a wait) does without.
    std::vector<SSerialDevice> Present(bool bIdentity) const;
    // Each device's path and what it leads to: a device restarted behind the
    // same link between two looks is a change.
    static std::vector<std::string> Seen(const std::vector<SSerialDevice>& devices);
};

std::vector<SSerialDevice> CDeviceWatch::SImpl::Present(bool bIdentity) const
{
    std::vector<SSerialDevice> devices = pEvents->SystemDevices();
    std::vector<std::string> keys;
    for (SSerialDevice& device : devices) {
        keys.push_back(pEvents->DeviceKey(device.strPath));
        device.strIdentity = keys.back();
    }
    std::set<std::string> pinnedKeys;
    for (const std::string& strPinned : vecPinned) {
        const std::string strKey = pEvents->DeviceKey(strPinned);
        if (strKey.empty() || !pinnedKeys.insert(strKey).second)
            continue;
        const auto listed = std::find(keys.begin(), keys.end(), strKey);
        if (listed != keys.end()) {
            // The operator's name for a port the system lists is the one
            // shown and opened, in the system's place.
            devices[listed - keys.begin()].strPath = strPinned;
            continue;
        }
        SSerialDevice device;
        device.strPath = strPinned;
        device.strIdentity = strKey;
        if (bIdentity)
            FindUsbIdentity(strPinned, device);
        devices.push_back(device);
    }
    return devices;
}

std::vector<std::string> CDeviceWatch::SImpl::Seen(const std::vector<SSerialDevice>& devices)
{
    std::vector<std::string> seen;
    for (const SSerialDevice& device : devices)
        seen.push_back(device.strPath + '\n' + device.strIdentity);
    return seen;
}

CDeviceWatch::CDeviceWatch(std::vector<std::string> vecPinnedPaths) : m_pImpl(std::make_unique<SImpl>())
{
    m_pImpl->vecPinned = std::move(vecPinnedPaths);
    m_pImpl->pEvents = CDeviceEvents::Make();
    m_pImpl->vecLastSeen = SImpl::Seen(m_pImpl->Present(false));
}

CDeviceWatch::~CDeviceWatch() = default;

std::vector<SSerialDevice> CDeviceWatch::PresentDevices()
{
    std::vector<SSerialDevice> devices = m_pImpl->Present(true);
    m_pImpl->vecLastSeen = SImpl::Seen(devices);
    return devices;
}

void CDeviceWatch::WaitForChange(int nTimeoutMs)
{
    using Clock = std::chrono::steady_clock;
    const Clock::time_point end = Clock::now() + std::chrono::milliseconds(std::max(nTimeoutMs, 0));
    // Where no event can tell, every slice ends with a look, and the wait
    // ends only when the look finds something new: the caller is not woken
    // for nothing.
    const bool bLook = !m_pImpl->vecPinned.empty() || !m_pImpl->pEvents->HasEvents();
    const int nSliceMs = m_pImpl->vecPinned.empty() ? kSystemLookMs : kPinnedLookMs;
    for (;;) {
        if (bLook && SImpl::Seen(m_pImpl->Present(false)) != m_pImpl->vecLastSeen)
            return;
        const auto nLeftMs = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
        if (nLeftMs <= 0)
            return;
        const long long nWaitMs = std::min<long long>(nLeftMs, bLook ? nSliceMs : INT_MAX);
        if (m_pImpl->pEvents->Wait(static_cast<int>(nWaitMs)))
            return;
    }
}

void CDeviceWatch::Wake()
{
    m_pImpl->pEvents->Wake();
}

bool CDeviceWatch::HasHotPlugEvents() const
{
    return m_pImpl->pEvents->HasEvents();
}
