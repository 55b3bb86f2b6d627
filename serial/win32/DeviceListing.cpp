// The one walk over the system's COM ports on Windows: the set-up API's
// COM-port interfaces, each with its interface path, its texts, its COM name
// and the USB device it sits on. The port search and the device watch both
// take their devices from it.
#include "serial/DeviceListing.h"

#include <windows.h>

#include <cfgmgr32.h>
#include <setupapi.h>

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cwchar>
#include <optional>

#include "core/win32/WideText.h"
#include "serial/ComPortMap.h"
#include "serial/PortEnumeration.h"
#include "serial/win32/CDevInfoSet.h"
#include "serial/win32/CRegKey.h"
#include "serial/win32/PortList.h"

namespace {

// The path room of a 261-byte ANSI detail record after its 4-byte size.
constexpr size_t kDetailPathChars = 257;
// A device property, as a 256-byte ANSI buffer holds.
constexpr DWORD kPropertyChars = 256;
constexpr DWORD kPortNameChars = 128;
constexpr ULONG kDeviceIdChars = MAX_DEVICE_ID_LEN + 1;

// One text property of a device; none when it cannot be read (a text longer
// than the buffer included).
std::optional<std::string> DeviceText(HDEVINFO hSet, SP_DEVINFO_DATA& device, DWORD nProperty)
{
    wchar_t text[kPropertyChars] = {};
    DWORD nBytes = 0;
    if (!::SetupDiGetDeviceRegistryPropertyW(hSet, &device, nProperty, nullptr, reinterpret_cast<BYTE*>(text),
                                             sizeof(text), &nBytes))
        return std::nullopt;
    return BufferText(text, std::min<size_t>(nBytes / sizeof(wchar_t), kPropertyChars));
}

// The COM name the port driver gave the device ("PortName" of its device
// key); empty when it has none or it names no COM port.
std::string PortNameOf(HDEVINFO hSet, SP_DEVINFO_DATA& device)
{
    const HKEY hKey = ::SetupDiOpenDevRegKey(hSet, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
    if (hKey == INVALID_HANDLE_VALUE)
        return std::string();
    CRegKey key;
    key.Reset(hKey);
    wchar_t name[kPortNameChars] = {};
    DWORD nBytes = sizeof(name) - sizeof(wchar_t);
    DWORD nType = 0;
    if (::RegQueryValueExW(key.Get(), L"PortName", nullptr, &nType, reinterpret_cast<BYTE*>(name), &nBytes) !=
            ERROR_SUCCESS ||
        nType != REG_SZ)
        return std::string();
    return ComNameOf(BufferText(name, nBytes / sizeof(wchar_t)));
}

std::string Upper(std::string strText)
{
    std::transform(strText.begin(), strText.end(), strText.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return strText;
}

// "0403", "6001" and "A50285BI" from "USB\VID_0403&PID_6001\A50285BI". A
// device without a serial number gets an instance made up by the system,
// which holds '&' and says nothing about the board.
bool ParseUsbInstance(const std::string& strId, SSerialDeviceRecord& record)
{
    const std::string strUpper = Upper(strId);
    const size_t nVid = strUpper.find("VID_");
    const size_t nPid = strUpper.find("PID_");
    if (!strUpper.starts_with("USB\\") || nVid == std::string::npos || nPid == std::string::npos)
        return false;
    record.strUsbVendor = strUpper.substr(nVid + 4, 4);
    record.strUsbProduct = strUpper.substr(nPid + 4, 4);
    const std::string strInstance = strId.substr(strId.rfind('\\') + 1);
    record.strUsbSerial = strInstance.find('&') == std::string::npos ? strInstance : std::string();
    return true;
}

// Walks from a port's device node up to the USB device it sits on.
void FindUsbDevice(DEVINST node, SSerialDeviceRecord& record)
{
    for (int nDepth = 0; nDepth < 8; ++nDepth) {
        wchar_t id[kDeviceIdChars] = {};
        if (::CM_Get_Device_IDW(node, id, kDeviceIdChars, 0) != CR_SUCCESS || ParseUsbInstance(WideToUtf8(id), record))
            return;
        DEVINST parent = 0;
        if (::CM_Get_Parent(&parent, node, 0) != CR_SUCCESS)
            return;
        node = parent;
    }
}

}  // namespace

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

void AppendSetupDevices(std::vector<SSerialDeviceRecord>& records)
{
    const CDevInfoSet set(
        ::SetupDiGetClassDevsW(&kComPortInterface, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE));
    if (!set.IsValid())
        ThrowSystemError("SetupDiGetClassDevs failed.", ::GetLastError());

    // One detail record serves the whole walk; its size field counts the
    // fixed part only (8 bytes in a 64-bit build, 6 in a 32-bit one).
    const DWORD nDetailBytes =
        offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) + kDetailPathChars * sizeof(wchar_t);
    std::vector<std::byte> detailBuffer(nDetailBytes);
    auto* pDetail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(detailBuffer.data());
    for (DWORD nIndex = 0;; ++nIndex) {
        SP_DEVICE_INTERFACE_DATA iface = {};
        iface.cbSize = sizeof(iface);
        if (!::SetupDiEnumDeviceInterfaces(set.Get(), nullptr, &kComPortInterface, nIndex, &iface)) {
            const DWORD nError = ::GetLastError();
            if (nError == ERROR_NO_MORE_ITEMS)
                return;
            ThrowSystemError("SetupDiEnumDeviceInterfaces failed.", nError);
        }
        pDetail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
        SP_DEVINFO_DATA device = {};
        device.cbSize = sizeof(device);
        if (!::SetupDiGetDeviceInterfaceDetailW(set.Get(), &iface, pDetail, nDetailBytes, nullptr, &device))
            ThrowSystemError("SetupDiGetDeviceInterfaceDetail failed.", ::GetLastError());

        SSerialDeviceRecord record;
        record.strOpenPath = BufferText(pDetail->DevicePath, kDetailPathChars);
        record.strName = PortNameOf(set.Get(), device);
        record.strKey = record.strName;
        if (!record.strName.empty())
            record.strPath = "\\\\.\\" + record.strName;
        record.friendlyName = DeviceText(set.Get(), device, SPDRP_FRIENDLYNAME);
        record.strLabel = record.friendlyName.value_or("");
        if (record.friendlyName)
            record.description = DeviceText(set.Get(), device, SPDRP_DEVICEDESC);
        record.location = DeviceText(set.Get(), device, SPDRP_LOCATION_INFORMATION);
        FindUsbDevice(device.DevInst, record);
        records.push_back(std::move(record));
    }
}

std::vector<SSerialDeviceRecord> EnumerateSerialDevices()
{
    std::vector<SSerialDeviceRecord> records;
    AppendSetupDevices(records);
    return records;
}
