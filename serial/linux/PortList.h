#pragma once
// Port enumeration on Linux, from a sysfs and a /dev tree given by their roots
// so that tests can build small trees of their own.
#include <string>
#include <vector>

#include "serial/ComPortMap.h"
#include "serial/DeviceListing.h"
#include "serial/PortEnumeration.h"
#include "serial/PortRecords.h"

// Fills the list (emptied first) with the serial devices under
// <strSysRoot>/class/tty and the paths pinned in the COM-number map, in
// COM-number order. Devices get their numbers from the map (ClaimNumbers,
// nNow the time of this search); a number whose device is not here is listed
// only when it is a pin. The kernel's console ttys are left out unless
// pinned. Throws CPortEnumerationError when the class folder cannot be read.
void ListComPortsFrom(CComPortMap& comPorts, const std::string& strSysRoot, const std::string& strDevRoot,
                      long long nNow, PortInfoList& ports);
// The same over records already listed.
void ListComPortsOf(CComPortMap& comPorts, const std::vector<SSerialDeviceRecord>& found, long long nNow,
                    PortInfoList& ports);
