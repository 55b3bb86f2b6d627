// Port enumeration on Linux: the devices of the one listing, named and
// numbered the way the port search expects, plus the paths pinned to numbers.
#include "serial/linux/PortList.h"

#include <ctime>

#include <algorithm>
#include <map>
#include <set>

#include <fmt/format.h>

#include "core/TextNumber.h"
#include "serial/ComPortMap.h"
#include "serial/linux/DeviceListing.h"

namespace {

PortInfo MakePortInfo(int nNumber, const std::string& strPath, const std::string& strLabel, int onUsb)
{
    PortInfo info;
    info.openPath = strPath;
    info.comName = ComName(nNumber);
    info.displayName = fmt::format("{} ({})", strLabel, info.comName);
    info.deviceText = strLabel;
    info.onUsb = onUsb;
    return info;
}

}  // namespace

void ListComPortsFrom(CComPortMap& comPorts, const std::string& strSysRoot, const std::string& strDevRoot,
                      long long nNow, PortInfoList& ports)
{
    ListComPortsOf(comPorts, EnumerateSerialDevicesFrom(strSysRoot, strDevRoot), nNow, ports);
}

void ListComPortsOf(CComPortMap& comPorts, const std::vector<SSerialDeviceRecord>& found, long long nNow,
                    PortInfoList& ports)
{
    ports.clear();
    const std::map<int, SComPort> entries = comPorts.Entries();

    // Map entries by the node they lead to, so a pin under any name of a
    // device (by-path, a link of the operator's) claims it.
    std::map<std::string, std::vector<std::string>> mappedByNode;
    std::set<std::string> pinnedNodes;
    for (const auto& [nNumber, entry] : entries) {
        const std::string strNode = ResolvedPath(entry.strPath);
        mappedByNode[strNode].push_back(entry.strPath);
        if (entry.bPinned)
            pinnedNodes.insert(strNode);
    }

    std::vector<const SSerialDeviceRecord*> offered;
    std::vector<SSeenDevice> seen;
    for (const SSerialDeviceRecord& port : found) {
        // The system console is offered only when the operator pinned it.
        if (port.bConsole && !pinnedNodes.contains(port.strKey))
            continue;
        SSeenDevice device {{port.strOpenPath, port.strPath}, port.strOpenPath};
        const auto mapped = mappedByNode.find(port.strKey);
        if (mapped != mappedByNode.end())
            device.vecKnownPaths.insert(device.vecKnownPaths.end(), mapped->second.begin(), mapped->second.end());
        offered.push_back(&port);
        seen.push_back(device);
    }
    const std::vector<int> numbers = comPorts.ClaimNumbers(seen, nNow);

    std::set<int> listed;
    std::set<std::string> listedNodes;
    for (size_t i = 0; i < offered.size(); ++i) {
        if (numbers[i] == 0 || !listed.insert(numbers[i]).second)
            continue;
        listedNodes.insert(offered[i]->strKey);
        // Opening COMn takes the map's path, so the list shows that one.
        ports.push_back(MakePortInfo(numbers[i], comPorts.Path(numbers[i]), offered[i]->strLabel,
                                     offered[i]->strUsbVendor.empty() ? 0 : 1));
    }

    // Pinned paths the search does not see are listed too, even when missing:
    // the operator named them, and opening tells whether they are there. A
    // number the program gave a device that is gone is neither listed nor
    // tried; it waits for its device.
    for (const auto& [nNumber, entry] : comPorts.Entries()) {
        if (entry.bPinned && !listed.contains(nNumber) && !listedNodes.contains(ResolvedPath(entry.strPath)))
            ports.push_back(MakePortInfo(nNumber, entry.strPath, "Pinned port", 0));
    }
    std::sort(ports.begin(), ports.end(), [](const PortInfo& a, const PortInfo& b) {
        return LeadingDecimal(std::string_view(a.comName).substr(3)) <
               LeadingDecimal(std::string_view(b.comName).substr(3));
    });
}

void ListComPorts(CComPortMap& comPorts, PortInfoList& ports)
{
    ListComPortsOf(comPorts, EnumerateSerialDevices(), static_cast<long long>(std::time(nullptr)), ports);
    CompletePortTexts(ports);
}

std::vector<std::string> ComPortBoxTexts(const CComPortMap& comPorts, int nCount)
{
    std::vector<std::string> texts;
    for (int nNumber = 1; nNumber <= nCount; ++nNumber) {
        std::string strText = ComName(nNumber);
        const std::string strPath = comPorts.Path(nNumber);
        if (!strPath.empty())
            strText += "  " + strPath;
        texts.push_back(std::move(strText));
    }
    return texts;
}
