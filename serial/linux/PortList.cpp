// Port enumeration on Linux: the serial devices sysfs knows, named and
// numbered the way the port search expects, plus the paths pinned to numbers.
#include "serial/linux/PortList.h"

#include <cstdlib>
#include <ctime>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include <fmt/format.h>

#include "core/TextNumber.h"
#include "serial/ComPortMap.h"

namespace {

namespace fs = std::filesystem;

struct SFoundPort {
    std::string strName;      // "ttyUSB0"
    std::string strNode;      // <dev>/ttyUSB0
    std::string strResolved;  // the node with every link resolved
    std::string strOpenPath;  // the by-id link, else the node
    std::string strLabel;     // product or driver name
    int onUsb = 0;
    bool bConsole = false;  // the kernel writes its console to it
};

std::string FirstLine(const fs::path& path)
{
    std::ifstream file(path);
    std::string strLine;
    std::getline(file, strLine);
    while (!strLine.empty() && (strLine.back() == '\r' || strLine.back() == ' '))
        strLine.pop_back();
    return strLine;
}

std::string Resolved(const fs::path& path)
{
    std::error_code ec;
    const fs::path resolved = fs::weakly_canonical(path, ec);
    return ec ? path.string() : resolved.string();
}

// "ttyUSB10" after "ttyUSB9": names compare by their letters, then by number.
bool TtyNameLess(const std::string& a, const std::string& b)
{
    const auto split = [](const std::string& s) {
        const size_t nDigits = s.find_last_not_of("0123456789") + 1;
        return std::make_pair(s.substr(0, nDigits), LeadingDecimal(std::string_view(s).substr(nDigits)));
    };
    return split(a) < split(b);
}

// The serial core registers a fixed count of on-board UART lines whether or
// not hardware answers on them; those without hardware report type 0
// (unknown). Ttys outside the serial core have no type file and are kept.
bool IsUartPlaceholder(const fs::path& ttyDir)
{
    const std::string strType = FirstLine(ttyDir / "type");
    return !strType.empty() && LeadingDecimal(strType) == 0;
}

// The product name of the USB device the tty sits on (and that it does sit
// on USB), else the name of the driver that owns the hardware, else a plain
// name. The serial core's own "ctrl" and "port" devices (bus serial-base)
// stand between a UART line and its controller; their drivers say nothing.
void Describe(const fs::path& ttyDir, const fs::path& sysRoot, SFoundPort& port)
{
    std::string strDriver;
    std::error_code ec;
    fs::path dir = fs::canonical(ttyDir / "device", ec);
    for (; !ec && dir.string().starts_with(sysRoot.string()) && dir != sysRoot; dir = dir.parent_path()) {
        if (fs::exists(dir / "idVendor", ec)) {
            port.onUsb = 1;
            port.strLabel = FirstLine(dir / "product");
            break;
        }
        std::error_code noDriver;
        const fs::path driver = fs::canonical(dir / "driver", noDriver);
        if (strDriver.empty() && !noDriver && driver.parent_path().parent_path().filename() != "serial-base")
            strDriver = driver.filename().string();
        if (dir == dir.parent_path())
            break;
    }
    if (port.strLabel.empty())
        port.strLabel = strDriver.empty() ? "Serial port" : strDriver;
}

// Resolved node → the first by-id link (in name order) that leads to it.
std::map<std::string, std::string> ByIdLinks(const fs::path& devRoot)
{
    std::vector<fs::path> links;
    std::error_code ec;
    for (fs::directory_iterator it(devRoot / "serial" / "by-id", ec), end; !ec && it != end; it.increment(ec))
        links.push_back(it->path());
    std::sort(links.begin(), links.end());
    std::map<std::string, std::string> byNode;
    for (const fs::path& link : links)
        byNode.emplace(Resolved(link), link.string());
    return byNode;
}

// The ttys the kernel uses as its console ("tty0 ttyS0"). A search that
// offered one would have AUTOCHECK write IAP frames into the system console.
std::set<std::string> ConsoleNames(const fs::path& classDir)
{
    std::istringstream names(FirstLine(classDir / "console" / "active"));
    std::set<std::string> consoles;
    for (std::string strName; names >> strName;)
        consoles.insert(strName);
    return consoles;
}

std::vector<SFoundPort> FindDevices(const std::string& strSysRoot, const std::string& strDevRoot)
{
    const fs::path classDir = fs::path(strSysRoot) / "class" / "tty";
    std::error_code ec;
    fs::directory_iterator it(classDir, ec);
    if (ec)
        throw CPortEnumerationError(fmt::format("Could not read {}: {}", classDir.string(), ec.message()));
    std::vector<std::string> names;
    for (fs::directory_iterator end; !ec && it != end; it.increment(ec))
        names.push_back(it->path().filename().string());
    std::sort(names.begin(), names.end(), TtyNameLess);

    const fs::path sysRoot(Resolved(strSysRoot));
    const std::map<std::string, std::string> byId = ByIdLinks(strDevRoot);
    const std::set<std::string> consoles = ConsoleNames(classDir);
    std::vector<SFoundPort> found;
    for (const std::string& strName : names) {
        const fs::path ttyDir = classDir / strName;
        // Virtual terminals, ptmx and the console have no device behind them.
        if (!fs::exists(ttyDir / "device", ec) || IsUartPlaceholder(ttyDir))
            continue;
        SFoundPort port;
        port.strName = strName;
        port.bConsole = consoles.contains(strName);
        port.strNode = (fs::path(strDevRoot) / strName).string();
        // Without a node (a container that shows the host's sysfs) it cannot be opened.
        if (!fs::exists(port.strNode, ec))
            continue;
        port.strResolved = Resolved(port.strNode);
        const auto link = byId.find(port.strResolved);
        port.strOpenPath = link == byId.end() ? port.strNode : link->second;
        Describe(ttyDir, sysRoot, port);
        found.push_back(port);
    }
    return found;
}

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
    ports.clear();
    const std::vector<SFoundPort> found = FindDevices(strSysRoot, strDevRoot);
    const std::map<int, SComPort> entries = comPorts.Entries();

    // Map entries by the node they lead to, so a pin under any name of a
    // device (by-path, a link of the operator's) claims it.
    std::map<std::string, std::vector<std::string>> mappedByNode;
    std::set<std::string> pinnedNodes;
    for (const auto& [nNumber, entry] : entries) {
        const std::string strNode = Resolved(entry.strPath);
        mappedByNode[strNode].push_back(entry.strPath);
        if (entry.bPinned)
            pinnedNodes.insert(strNode);
    }

    std::vector<const SFoundPort*> offered;
    std::vector<SSeenDevice> seen;
    for (const SFoundPort& port : found) {
        // The system console is offered only when the operator pinned it.
        if (port.bConsole && !pinnedNodes.contains(port.strResolved))
            continue;
        SSeenDevice device {{port.strOpenPath, port.strNode}, port.strOpenPath};
        const auto mapped = mappedByNode.find(port.strResolved);
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
        listedNodes.insert(offered[i]->strResolved);
        // Opening COMn takes the map's path, so the list shows that one.
        ports.push_back(MakePortInfo(numbers[i], comPorts.Path(numbers[i]), offered[i]->strLabel, offered[i]->onUsb));
    }

    // Pinned paths the search does not see are listed too, even when missing:
    // the operator named them, and opening tells whether they are there. A
    // number the program gave a device that is gone is neither listed nor
    // tried; it waits for its device.
    for (const auto& [nNumber, entry] : comPorts.Entries()) {
        if (entry.bPinned && !listed.contains(nNumber) && !listedNodes.contains(Resolved(entry.strPath)))
            ports.push_back(MakePortInfo(nNumber, entry.strPath, "Pinned port", 0));
    }
    std::sort(ports.begin(), ports.end(), [](const PortInfo& a, const PortInfo& b) {
        return LeadingDecimal(std::string_view(a.comName).substr(3)) <
               LeadingDecimal(std::string_view(b.comName).substr(3));
    });
}

void ListComPorts(CComPortMap& comPorts, PortInfoList& ports)
{
    // VANTREL_SYSFS stands in for /sys and VANTREL_DEV for /dev: tests (and
    // an operator who wants the machine's own ports out of the search) point
    // them at trees of their own.
    const char* pSysRoot = std::getenv("VANTREL_SYSFS");
    const char* pDevRoot = std::getenv("VANTREL_DEV");
    ListComPortsFrom(comPorts, pSysRoot && *pSysRoot ? pSysRoot : "/sys", pDevRoot && *pDevRoot ? pDevRoot : "/dev",
                     static_cast<long long>(std::time(nullptr)), ports);
    CompletePortTexts(ports);
}
