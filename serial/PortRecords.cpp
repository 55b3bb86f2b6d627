#include "serial/PortRecords.h"

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
