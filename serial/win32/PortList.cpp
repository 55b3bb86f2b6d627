// Port enumeration on Windows (being written).
#include "serial/PortEnumeration.h"

void ListComPorts(CComPortMap&, PortInfoList& ports)
{
    ports.clear();
    throw CPortEnumerationError("Port enumeration is not written yet on Windows");
}
