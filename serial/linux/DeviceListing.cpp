// The device listing on Linux: the ttys sysfs knows that have hardware
// behind them and a node in /dev, with what sysfs tells of their USB side.
#include "serial/linux/DeviceListing.h"

#include <cstdlib>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include <fmt/format.h>

#include "core/TextNumber.h"
#include "serial/PortEnumeration.h"

namespace {

namespace fs = std::filesystem;

std::string FirstLine(const fs::path& path)
{
    std::ifstream file(path);
    std::string strLine;
    std::getline(file, strLine);
    while (!strLine.empty() && (strLine.back() == '\r' || strLine.back() == ' '))
        strLine.pop_back();
    return strLine;
}

// The serial core registers a fixed count of on-board UART lines whether or
// not hardware answers on them; those without hardware report type 0
// (unknown). Ttys outside the serial core have no type file and are kept.
bool IsUartPlaceholder(const fs::path& ttyDir)
{
    const std::string strType = FirstLine(ttyDir / "type");
    return !strType.empty() && LeadingDecimal(strType) == 0;
}

// The product name and identity of the USB device the tty sits on, else the name of the driver that owns the hardware,
// else a plain name. The serial core's own "ctrl" and "port" devices (bus serial-base) stand between a UART line and
// its controller; their drivers say nothing.
void Describe(const fs::path& ttyDir, const fs::path& sysRoot, SSerialDeviceRecord& port)
{
    std::string strDriver;
    std::error_code ec;
    fs::path dir = fs::canonical(ttyDir / "device", ec);
    for (; !ec && dir.string().starts_with(sysRoot.string()) && dir != sysRoot; dir = dir.parent_path()) {
        if (fs::exists(dir / "idVendor", ec)) {
            port.strUsbVendor = FirstLine(dir / "idVendor");
            port.strUsbProduct = FirstLine(dir / "idProduct");
            port.strUsbSerial = FirstLine(dir / "serial");
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
        byNode.emplace(ResolvedPath(link.string()), link.string());
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

}  // namespace

std::string ResolvedPath(const std::string& strPath)
{
    std::error_code ec;
    const fs::path resolved = fs::weakly_canonical(strPath, ec);
    return ec ? strPath : resolved.string();
}

std::vector<SSerialDeviceRecord> EnumerateSerialDevicesFrom(const std::string& strSysRoot,
                                                            const std::string& strDevRoot)
{
    const fs::path classDir = fs::path(strSysRoot) / "class" / "tty";
    std::error_code ec;
    fs::directory_iterator it(classDir, ec);
    if (ec)
        throw CPortEnumerationError(fmt::format("Could not read {}: {}", classDir.string(), ec.message()));
    std::vector<std::string> names;
    for (fs::directory_iterator end; !ec && it != end; it.increment(ec))
        names.push_back(it->path().filename().string());
    std::sort(names.begin(), names.end(),
              [](const std::string& a, const std::string& b) { return NaturalNameLess(a, b); });

    const fs::path sysRoot(ResolvedPath(strSysRoot));
    const std::map<std::string, std::string> byId = ByIdLinks(strDevRoot);
    const std::set<std::string> consoles = ConsoleNames(classDir);
    std::vector<SSerialDeviceRecord> found;
    for (const std::string& strName : names) {
        const fs::path ttyDir = classDir / strName;
        // Virtual terminals, ptmx and the console have no device behind them.
        if (!fs::exists(ttyDir / "device", ec) || IsUartPlaceholder(ttyDir))
            continue;
        SSerialDeviceRecord port;
        port.strName = strName;
        port.bConsole = consoles.contains(strName);
        port.strPath = (fs::path(strDevRoot) / strName).string();
        // Without a node (a container that shows the host's sysfs) it cannot be opened.
        if (!fs::exists(port.strPath, ec))
            continue;
        port.strKey = ResolvedPath(port.strPath);
        const auto link = byId.find(port.strKey);
        port.strOpenPath = link == byId.end() ? port.strPath : link->second;
        Describe(ttyDir, sysRoot, port);
        found.push_back(port);
    }
    return found;
}

std::vector<SSerialDeviceRecord> EnumerateSerialDevices()
{
    // VANTREL_SYSFS stands in for /sys and VANTREL_DEV for /dev: tests (and
    // an operator who wants the machine's own ports out of the search and the
    // watch) point them at trees of their own.
    const char* pSysRoot = std::getenv("VANTREL_SYSFS");
    const char* pDevRoot = std::getenv("VANTREL_DEV");
    return EnumerateSerialDevicesFrom(pSysRoot && *pSysRoot ? pSysRoot : "/sys",
                                      pDevRoot && *pDevRoot ? pDevRoot : "/dev");
}
