// The device watch's platform layer on Windows: the present COM-port interfaces of the set-up
// API, named by their PortName as "\\.\COMn"; a hidden message-only window on
// a thread of its own hears WM_DEVICECHANGE for that interface class. Pinned
// paths are looked at on each call, since a file or a DOS device name raises
// no notification.
#include "serial/DeviceEvents.h"

#include <windows.h>

#include <cfgmgr32.h>
#include <dbt.h>
#include <setupapi.h>

#include <algorithm>
#include <cctype>
#include <thread>

#include "core/TextNumber.h"
#include "core/win32/CUniqueHandle.h"
#include "core/win32/WideText.h"
#include "serial/win32/CDevInfoSet.h"
#include "serial/win32/CRegKey.h"
#include "serial/ComPortMap.h"
#include "serial/SerialDevice.h"
#include "serial/win32/PortList.h"

namespace {

constexpr DWORD kPortNameChars = 128;
constexpr ULONG kDeviceIdChars = MAX_DEVICE_ID_LEN + 1;

const wchar_t kWindowClass[] = L"VantrelDeviceWatch";

std::string Upper(std::string strText)
{
    std::transform(strText.begin(), strText.end(), strText.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return strText;
}

// "COM5" from "\\.\COM5", "COM5" or "com5:"; empty for any other path.
// The number is read as a port name is everywhere (ParseComName).
std::string ComNameOf(const std::string& strPath)
{
    std::string_view name(strPath);
    if (name.starts_with("\\\\.\\"))
        name.remove_prefix(4);
    if (name.ends_with(":"))
        name.remove_suffix(1);
    int nNumber = 0;
    return ParseComName(name, nNumber) ? ComName(nNumber) : std::string();
}

// "ttyUSB10" after "ttyUSB9", "COM10" after "COM9".
bool PathLess(const std::string& a, const std::string& b)
{
    return NaturalNameLess(a, b);
}

// "0403", "6001" and "A50285BI" from "USB\VID_0403&PID_6001\A50285BI". A
// device without a serial number gets an instance made up by the system,
// which holds '&' and says nothing about the board.
bool ParseUsbInstance(const std::string& strId, SSerialDevice& device)
{
    const std::string strUpper = Upper(strId);
    const size_t nVid = strUpper.find("VID_");
    const size_t nPid = strUpper.find("PID_");
    if (!strUpper.starts_with("USB\\") || nVid == std::string::npos || nPid == std::string::npos)
        return false;
    device.strUsbVendor = strUpper.substr(nVid + 4, 4);
    device.strUsbProduct = strUpper.substr(nPid + 4, 4);
    const size_t nLast = strId.rfind('\\');
    const std::string strInstance = strId.substr(nLast + 1);
    device.strUsbSerial = strInstance.find('&') == std::string::npos ? strInstance : std::string();
    return true;
}

// Walks from a port's device node up to the USB device it sits on.
bool UsbIdentityOfNode(DEVINST node, SSerialDevice& device)
{
    for (int nDepth = 0; nDepth < 8; ++nDepth) {
        wchar_t id[kDeviceIdChars] = {};
        if (::CM_Get_Device_IDW(node, id, kDeviceIdChars, 0) != CR_SUCCESS)
            return false;
        if (ParseUsbInstance(WideToUtf8(id), device))
            return true;
        DEVINST parent = 0;
        if (::CM_Get_Parent(&parent, node, 0) != CR_SUCCESS)
            return false;
        node = parent;
    }
    return false;
}

// The present COM ports of the set-up API, each as "\\.\COMn" with the USB
// identity of the device it sits on.
std::vector<SSerialDevice> SystemComPorts()
{
    std::vector<SSerialDevice> found;
    const CDevInfoSet set(
        ::SetupDiGetClassDevsW(&kComPortInterface, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE));
    if (!set.IsValid())
        return found;
    for (DWORD nIndex = 0;; ++nIndex) {
        SP_DEVINFO_DATA info = {};
        info.cbSize = sizeof(info);
        if (!::SetupDiEnumDeviceInfo(set.Get(), nIndex, &info))
            break;
        const HKEY hKey = ::SetupDiOpenDevRegKey(set.Get(), &info, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
        if (hKey == INVALID_HANDLE_VALUE)
            continue;
        CRegKey key;
        key.Reset(hKey);
        wchar_t name[kPortNameChars] = {};
        DWORD nBytes = sizeof(name) - sizeof(wchar_t);
        DWORD nType = 0;
        if (::RegQueryValueExW(key.Get(), L"PortName", nullptr, &nType, reinterpret_cast<BYTE*>(name), &nBytes) !=
                ERROR_SUCCESS ||
            nType != REG_SZ)
            continue;
        const std::string strCom = ComNameOf(WideToUtf8(name));
        if (strCom.empty())
            continue;
        SSerialDevice device;
        device.strPath = "\\\\.\\" + strCom;
        UsbIdentityOfNode(info.DevInst, device);
        found.push_back(device);
    }
    std::sort(found.begin(), found.end(),
              [](const SSerialDevice& a, const SSerialDevice& b) { return PathLess(a.strPath, b.strPath); });
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
