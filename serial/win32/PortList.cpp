// Port enumeration on Windows: the set-up API's COM-port interfaces, the
// registry's Enum tree or a fixed COM1..COM16, by the system's version. The
// system is asked through its wide-character calls and its texts are kept as
// UTF-8, with room for as many characters as its ANSI calls would give.
#include "serial/win32/PortList.h"

#include <algorithm>
#include <cstddef>
#include <cwchar>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "core/win32/WideText.h"
#include "serial/ComPortMap.h"
#include "serial/win32/CRegKey.h"

namespace {

// Key names, as a 128-byte ANSI buffer holds (with its terminating zero).
constexpr DWORD kKeyNameChars = 128;
constexpr DWORD kPortNameChars = 128;
constexpr DWORD kFriendlyNameChars = 256;

// Calls each with the name of every subkey in index order, up to the first
// name that cannot be read: the end, or a name longer than the buffer.
void ForEachSubkey(HKEY hKey, const std::function<void(const std::wstring&)>& each)
{
    for (DWORD nIndex = 0;; ++nIndex) {
        wchar_t name[kKeyNameChars];
        DWORD nLength = kKeyNameChars;
        if (::RegEnumKeyExW(hKey, nIndex, name, &nLength, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            return;
        each(std::wstring(name, nLength));
    }
}

CRegKey OpenForReading(HKEY hParent, const std::wstring& strName, const std::string& strWhere)
{
    CRegKey key;
    if (!key.OpenForReading(hParent, strName.c_str()))
        throw CPortEnumerationError("Could not read from " + strWhere);
    return key;
}

// A text value of at most nMaxChars characters with its zero; none when it
// is missing, longer or not text.
std::optional<std::string> TextValue(HKEY hKey, const wchar_t* pszName, DWORD nMaxChars)
{
    std::vector<wchar_t> text(nMaxChars);
    DWORD nType = 0;
    DWORD nBytes = nMaxChars * sizeof(wchar_t);
    if (::RegQueryValueExW(hKey, pszName, nullptr, &nType, reinterpret_cast<BYTE*>(text.data()), &nBytes) !=
            ERROR_SUCCESS ||
        nType != REG_SZ)
        return std::nullopt;
    return BufferText(text.data(), nBytes / sizeof(wchar_t));
}

// The port instances under one device key of the Enum tree.
void ReadEnumInstances(HKEY hDevice, int onUsb, PortInfoList& ports)
{
    ForEachSubkey(hDevice, [&](const std::wstring& strInstance) {
        const CRegKey instance = OpenForReading(hDevice, strInstance, "HKLM\\Enum\\...\\" + WideToUtf8(strInstance));
        const std::optional<std::string> portName = TextValue(instance.Get(), L"PORTNAME", kPortNameChars);
        if (!portName)
            return;
        const std::optional<std::string> friendlyName = TextValue(instance.Get(), L"FRIENDLYNAME", kFriendlyNameChars);
        MergePortRecord(ports, EnumInstanceRecord(*portName, friendlyName.value_or(""), onUsb));
    });
}

}  // namespace

// The text of a buffer the system filled: up to its first zero, within the
// bytes it says it wrote.
std::string BufferText(const wchar_t* pText, size_t nMaxChars)
{
    return WideToUtf8(std::wstring(pText, ::wcsnlen(pText, nMaxChars)));
}

void ThrowSystemError(std::string_view text, DWORD nError)
{
    throw CPortEnumerationError(PortErrorText(text, nError));
}

void ListPortsFromSetup(PortInfoList& ports)
{
    std::vector<SSerialDeviceRecord> records;
    // The records read before a failure are kept, as the port box shows them.
    const auto addPorts = [&] {
        for (const SSerialDeviceRecord& record : records) {
            const SSetupPortTexts texts = {record.strOpenPath, record.friendlyName, record.description,
                                           record.location};
            if (std::optional<PortInfo> port = SetupPortRecord(texts))
                ports.push_back(std::move(*port));
        }
    };
    try {
        AppendSetupDevices(records);
    } catch (const CPortEnumerationError&) {
        addPorts();
        throw;
    }
    addPorts();
}

void ListPortsFromEnumKey(HKEY hRoot, PortInfoList& ports)
{
    const CRegKey enumKey = OpenForReading(hRoot, L"Enum", "HKLM\\Enum");
    ForEachSubkey(enumKey.Get(), [&](const std::wstring& strEnumeratorName) {
        const std::string strEnumerator = WideToUtf8(strEnumeratorName);
        const std::string strWhere = "HKLM\\Enum\\" + strEnumerator;
        const CRegKey enumerator = OpenForReading(enumKey.Get(), strEnumeratorName, strWhere);
        const bool bUsb = IsUsbPortsEnumerator(strEnumerator);
        ForEachSubkey(enumerator.Get(), [&](const std::wstring& strDeviceName) {
            const std::string strDevice = WideToUtf8(strDeviceName);
            if (!IsSerialDeviceKey(strDevice, bUsb))
                return;
            const CRegKey device = OpenForReading(enumerator.Get(), strDeviceName, strWhere + "\\" + strDevice);
            ReadEnumInstances(device.Get(), bUsb ? 1 : 0, ports);
        });
    });
}

void ListComPorts(CComPortMap&, PortInfoList& ports)
{
    ports.clear();
    // The ANSI record of 148 bytes: every version of Windows fills it.
    OSVERSIONINFOA version = {};
    static_assert(sizeof(version) == 148);
    version.dwOSVersionInfoSize = sizeof(version);
    if (!::GetVersionExA(&version))
        ThrowSystemError("Could not get OS version.", ::GetLastError());
    switch (ChoosePortSource(version.dwMajorVersion, version.dwPlatformId)) {
    case EPortSource::Setup: ListPortsFromSetup(ports); break;
    case EPortSource::Fixed: ListPortsFixed(ports); break;
    case EPortSource::EnumKey: ListPortsFromEnumKey(HKEY_LOCAL_MACHINE, ports); break;
    }
    CompletePortTexts(ports);
}

std::vector<std::string> ComPortBoxTexts(const CComPortMap& comPorts, int nCount)
{
    PortInfoList ports;
    try {
        ListPortsFromSetup(ports);
    } catch (const CPortEnumerationError&) {
        // The ports read before the failure keep their names; the rest show theirs.
    }
    std::vector<std::string> paths;
    for (int nNumber = 1; nNumber <= nCount; ++nNumber)
        paths.push_back(comPorts.Path(nNumber));
    return WindowsPortBoxTexts(ports, paths);
}
