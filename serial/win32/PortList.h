#pragma once
// Port enumeration on Windows. ListComPorts asks the system's version and
// takes one of three sources; each appends what it finds to the list and
// throws CPortEnumerationError with the records found so far left in it.
// ListPortsFixed (serial/PortRecords.h) is the third source.
#include <windows.h>

#include "serial/PortRecords.h"

// The present devices with a COM-port interface, through the set-up API.
// A device whose friendly name or description cannot be read is passed over.
void ListPortsFromSetup(PortInfoList& ports);

// The serial ports of the <hRoot>\Enum tree (HKEY_LOCAL_MACHINE on the
// systems that keep one; tests build a tree of their own): the instances of
// the standard COM-port devices of every enumerator and of every device of
// USBPORTS. The messages name the tree HKLM\Enum whatever hRoot is.
void ListPortsFromEnumKey(HKEY hRoot, PortInfoList& ports);
