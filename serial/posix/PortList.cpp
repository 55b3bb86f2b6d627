// Port enumeration on POSIX: for now the ports pinned to COM numbers.
#include <fmt/format.h>

#include "serial/ComPortMap.h"
#include "serial/PortEnumeration.h"

void ListComPorts(PortInfoList& ports)
{
    ports.clear();
    for (const auto& [nNumber, strPath] : ComPortPaths()) {
        PortInfo info;
        info.openPath = strPath;
        info.comName = fmt::format("COM{}", nNumber);
        info.displayName = fmt::format("Serial port ({})", info.comName);
        info.deviceText = "Serial port";
        ports.push_back(info);
    }
}
