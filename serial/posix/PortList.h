#pragma once
// Port enumeration on Linux, from a sysfs and a /dev tree given by their roots
// so that tests can build small trees of their own.
#include <string>

#include "serial/PortEnumeration.h"

// Fills the list (emptied first) with the serial devices under
// <strSysRoot>/class/tty and the paths pinned in the COM-number map, in
// COM-number order. A device seen for the first time takes the lowest free
// COM number, added to the map. Throws CPortEnumerationError when the class
// folder cannot be read.
void ListComPortsFrom(const std::string& strSysRoot, const std::string& strDevRoot, PortInfoList& ports);

// Fills in texts a source left empty: displayName from comName, and
// deviceText from displayName without its trailing " (COMn)".
void CompletePortTexts(PortInfoList& ports);
