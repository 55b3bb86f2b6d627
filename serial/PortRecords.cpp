#include "serial/PortRecords.h"

#include <algorithm>

#include <fmt/format.h>

#include "serial/ComPortMap.h"

void CompletePortTexts(PortInfoList& ports)
{
    for (PortInfo& port : ports) {
        if (port.displayName.empty())
            port.displayName = port.comName;
        if (!port.deviceText.empty())
            continue;
        port.deviceText = port.displayName;
        const size_t nOpen = port.deviceText.find(" (");
        const size_t nClose = port.deviceText.find(')');
        if (nOpen != std::string::npos && nOpen > 0 && nClose == port.deviceText.size() - 1)
            port.deviceText.resize(nOpen);
    }
}

std::string PortErrorText(std::string_view text, unsigned long nError)
{
    return fmt::format("{} (err={:x})", text, nError);
}

EPortSource ChoosePortSource(unsigned long nMajorVersion, unsigned long nPlatformId)
{
    if (nMajorVersion >= 5)
        return EPortSource::Setup;
    return nPlatformId == kPlatformWin32Nt ? EPortSource::Fixed : EPortSource::EnumKey;
}

std::optional<PortInfo> SetupPortRecord(const SSetupPortTexts& texts)
{
    if (!texts.friendlyName || !texts.description)
        return std::nullopt;
    PortInfo port;
    port.openPath = texts.strInterfacePath;
    port.displayName = *texts.friendlyName;
    // Only a location that begins "USB" says the port is on USB; a hub
    // port's ("Port_#0001.Hub_#0004") is not taken as proof.
    port.onUsb = texts.location && texts.location->starts_with("USB") ? 1 : 0;
    port.deviceText = *texts.description;
    return port;
}

void ListPortsFixed(PortInfoList& ports)
{
    constexpr int kFixedPorts = 16;
    for (int n = 1; n <= kFixedPorts; ++n) {
        PortInfo port;
        port.comName = ComName(n);
        port.openPath = "\\\\.\\" + port.comName;
        ports.push_back(std::move(port));
    }
}

bool IsUsbPortsEnumerator(std::string_view enumerator)
{
    return enumerator == "USBPORTS";
}

bool IsSerialDeviceKey(std::string_view deviceKey, bool bUsbEnumerator)
{
    return bUsbEnumerator || deviceKey == "*PNP0500" || deviceKey == "*PNP0501";
}

PortInfo EnumInstanceRecord(const std::string& strPortName, const std::string& strFriendlyName, int onUsb)
{
    PortInfo port;
    port.openPath = "\\\\.\\" + strPortName;
    port.comName = strPortName;
    port.displayName = strFriendlyName;
    port.onUsb = onUsb;
    return port;
}

int FriendlyNameComNumber(std::string_view friendlyName)
{
    const size_t nOpen = friendlyName.rfind('(');
    if (nOpen == std::string_view::npos || !friendlyName.ends_with(')'))
        return 0;
    int nNumber = 0;
    return ParseComName(friendlyName.substr(nOpen + 1, friendlyName.size() - nOpen - 2), nNumber) ? nNumber : 0;
}

std::vector<std::string> WindowsPortBoxTexts(const PortInfoList& ports, const std::vector<std::string>& paths)
{
    std::vector<std::string> texts;
    for (size_t i = 0; i < paths.size(); ++i) {
        const int nNumber = static_cast<int>(i) + 1;
        std::string strText = ComName(nNumber);
        if (paths[i] != "\\\\.\\" + strText) {
            // A pin in the settings file: the number is not the system's port.
            if (!paths[i].empty())
                strText += "  " + paths[i];
        } else if (const auto port = std::find_if(
                       ports.begin(), ports.end(),
                       [&](const PortInfo& listed) { return FriendlyNameComNumber(listed.displayName) == nNumber; });
                   port != ports.end()) {
            strText = port->displayName;
        }
        texts.push_back(std::move(strText));
    }
    return texts;
}

void MergePortRecord(PortInfoList& ports, PortInfo port)
{
    const auto same = std::find_if(ports.begin(), ports.end(),
                                   [&](const PortInfo& listed) { return listed.comName == port.comName; });
    if (same != ports.end())
        *same = std::move(port);
    else
        ports.push_back(std::move(port));
}
