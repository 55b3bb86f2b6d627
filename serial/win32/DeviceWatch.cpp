// The device watch's platform layer on Windows: the COM ports of the one
// listing (DeviceListing.cpp), named by their PortName as "\\.\COMn"; a
// hidden message-only window on a thread of its own hears WM_DEVICECHANGE
// for the COM-port interface class. Pinned paths are looked at on each call,
// since a file or a DOS device name raises no notification.
#include "serial/DeviceEvents.h"

#include <windows.h>

#include <dbt.h>

#include <algorithm>
#include <thread>

#include "core/TextNumber.h"
#include "core/win32/CUniqueHandle.h"
#include "core/win32/WideText.h"
#include "serial/ComPortMap.h"
#include "serial/SerialDevice.h"
#include "serial/win32/PortList.h"

namespace {

const wchar_t kWindowClass[] = L"VantrelDeviceWatch";

// The COM ports of the one listing, each as "\\.\COMn" with the USB
// identity of the device it sits on, in natural name order. A listing that
// fails part way gives the ports read before the failure.
std::vector<SSerialDevice> SystemComPorts()
{
    std::vector<SSerialDeviceRecord> records;
    try {
        AppendSetupDevices(records);
    } catch (const CPortEnumerationError&) {
    }
    std::vector<SSerialDevice> found;
    for (const SSerialDeviceRecord& record : records) {
        if (record.strPath.empty())
            continue;
        SSerialDevice device;
        device.strPath = record.strPath;
        device.strUsbVendor = record.strUsbVendor;
        device.strUsbProduct = record.strUsbProduct;
        device.strUsbSerial = record.strUsbSerial;
        found.push_back(device);
    }
    std::sort(found.begin(), found.end(),
              [](const SSerialDevice& a, const SSerialDevice& b) { return NaturalNameLess(a.strPath, b.strPath); });
    return found;
}

// A pinned path is there when the file system has it, or, for a device name
// ("\\.\COM20", "COM20"), when the system has that DOS device. Wine makes
// a COM port's name only when it is opened, so a name the system does not
// know is tried with an open that asks for no access: absent names fail
// with "not found", a port held by another program refuses the open and is
// there all the same. A port the system lists is never opened here.
bool PinnedExists(const std::string& strPath)
{
    const std::string strCom = ComNameOf(strPath);
    if (strCom.empty())
        return ::GetFileAttributesW(Utf8ToWide(strPath).c_str()) != INVALID_FILE_ATTRIBUTES;
    wchar_t target[MAX_PATH];
    if (::QueryDosDeviceW(Utf8ToWide(strCom).c_str(), target, MAX_PATH) != 0)
        return true;
    const CUniqueHandle port(
        ::CreateFileW(Utf8ToWide("\\\\.\\" + strCom).c_str(), 0, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    return port.IsValid() || ::GetLastError() == ERROR_ACCESS_DENIED || ::GetLastError() == ERROR_SHARING_VIOLATION;
}

class CNotifyEvents : public CDeviceEvents {
public:
    CNotifyEvents()
    {
        m_wakeEvent.Reset(::CreateEventW(nullptr, FALSE, FALSE, nullptr));
        m_changeEvent.Reset(::CreateEventW(nullptr, FALSE, FALSE, nullptr));
        const CUniqueHandle ready(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
        m_notifier = std::thread([this, hReady = ready.Get()] { RunWindow(hReady); });
        ::WaitForSingleObject(ready.Get(), INFINITE);
    }
    ~CNotifyEvents() override
    {
        if (m_hWindow)
            ::PostMessageW(m_hWindow, WM_CLOSE, 0, 0);
        m_notifier.join();
    }
    CNotifyEvents(const CNotifyEvents&) = delete;
    CNotifyEvents& operator=(const CNotifyEvents&) = delete;

    std::vector<SSerialDevice> SystemDevices() override { return SystemComPorts(); }
    std::string DeviceKey(const std::string& strPath) override
    {
        return PinnedExists(strPath) ? DeviceIdentity(strPath) : std::string();
    }
    bool Wait(int nTimeoutMs) override
    {
        const HANDLE events[2] = {m_wakeEvent.Get(), m_changeEvent.Get()};
        return ::WaitForMultipleObjects(2, events, FALSE, static_cast<DWORD>(nTimeoutMs)) != WAIT_TIMEOUT;
    }
    void Wake() override { ::SetEvent(m_wakeEvent.Get()); }
    bool HasEvents() const override { return m_bEvents; }

private:
    static LRESULT CALLBACK WindowProc(HWND hWnd, UINT nMessage, WPARAM wParam, LPARAM lParam)
    {
        if (nMessage == WM_DEVICECHANGE && (wParam == DBT_DEVICEARRIVAL || wParam == DBT_DEVICEREMOVECOMPLETE)) {
            if (auto* pSelf = reinterpret_cast<CNotifyEvents*>(::GetWindowLongPtrW(hWnd, GWLP_USERDATA)))
                ::SetEvent(pSelf->m_changeEvent.Get());
            return TRUE;
        }
        if (nMessage == WM_CLOSE) {
            ::DestroyWindow(hWnd);
            return 0;
        }
        if (nMessage == WM_DESTROY) {
            ::PostQuitMessage(0);
            return 0;
        }
        return ::DefWindowProcW(hWnd, nMessage, wParam, lParam);
    }

    // The window lives and dies on this thread: a window's messages come to
    // the thread that made it. hReady is set once m_bEvents is known.
    void RunWindow(HANDLE hReady)
    {
        WNDCLASSEXW windowClass = {};
        windowClass.cbSize = sizeof(windowClass);
        windowClass.lpfnWndProc = &CNotifyEvents::WindowProc;
        windowClass.hInstance = ::GetModuleHandleW(nullptr);
        windowClass.lpszClassName = kWindowClass;
        // A second watch finds the class already there, which is as good.
        ::RegisterClassExW(&windowClass);
        const HWND hWnd = ::CreateWindowExW(0, kWindowClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                            windowClass.hInstance, nullptr);
        HDEVNOTIFY hNotify = nullptr;
        if (hWnd) {
            ::SetWindowLongPtrW(hWnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
            DEV_BROADCAST_DEVICEINTERFACE_W filter = {};
            filter.dbcc_size = sizeof(filter);
            filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
            filter.dbcc_classguid = kComPortInterface;
            hNotify = ::RegisterDeviceNotificationW(hWnd, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
        }
        m_bEvents = hNotify != nullptr;
        m_hWindow = m_bEvents ? hWnd : nullptr;
        if (!m_bEvents && hWnd)
            ::DestroyWindow(hWnd);
        ::SetEvent(hReady);
        if (!m_bEvents)
            return;
        MSG message;
        while (::GetMessageW(&message, nullptr, 0, 0) > 0)
            ::DispatchMessageW(&message);
        ::UnregisterDeviceNotification(hNotify);
    }

    CUniqueHandle m_wakeEvent;    // auto-reset: one Wake ends one wait
    CUniqueHandle m_changeEvent;  // set by the window on arrival and removal
    HWND m_hWindow = nullptr;     // the message-only window, owned by its thread
    bool m_bEvents = false;
    std::thread m_notifier;
};

}  // namespace

std::unique_ptr<CDeviceEvents> CDeviceEvents::Make()
{
    return std::make_unique<CNotifyEvents>();
}

bool FindUsbIdentity(const std::string& strPath, SSerialDevice& device)
{
    const std::string strCom = ComNameOf(strPath);
    if (strCom.empty())
        return false;
    for (const SSerialDevice& present : SystemComPorts()) {
        if (ComNameOf(present.strPath) == strCom && !present.strUsbVendor.empty()) {
            device.strUsbVendor = present.strUsbVendor;
            device.strUsbProduct = present.strUsbProduct;
            device.strUsbSerial = present.strUsbSerial;
            return true;
        }
    }
    return false;
}
