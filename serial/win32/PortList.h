#pragma once
// Port enumeration on Windows. ListComPorts asks the system's version and
// takes one of three sources; each appends what it finds to the list and
// throws CPortEnumerationError with the records found so far left in it.
// The fixed list, ListPortsFixed, asks the system nothing and is in
// serial/PortRecords.h.
#include <windows.h>

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "serial/DeviceListing.h"
#include "serial/PortRecords.h"

// GUID_DEVINTERFACE_COMPORT, written out so that no unit has to define the
// GUIDs of <ntddser.h> for the link.
inline constexpr GUID kComPortInterface = {
    0x86E0D1E0, 0x8089, 0x11D0, {0x9C, 0xE4, 0x08, 0x00, 0x3E, 0x30, 0x1F, 0x73}};

// The text of a buffer the system filled: up to its first zero, within the
// nMaxChars it says it wrote.
std::string BufferText(const wchar_t* pText, size_t nMaxChars);
// Throws CPortEnumerationError with text and the system's error code.
[[noreturn]] void ThrowSystemError(std::string_view text, DWORD nError);

// Appends the present devices with a COM-port interface, through the set-up
// API (the walk behind EnumerateSerialDevices); throws CPortEnumerationError
// with the records read so far left in records.
void AppendSetupDevices(std::vector<SSerialDeviceRecord>& records);
// "COM5" from "\\.\COM5", "COM5" or "com5:"; empty for any other path.
// The number is read as a port name is everywhere (ParseComName).
std::string ComNameOf(const std::string& strPath);

// The present devices with a COM-port interface, through the set-up API.
// A device whose friendly name or description cannot be read is passed over.
void ListPortsFromSetup(PortInfoList& ports);

// The serial ports of the <hRoot>\Enum tree (HKEY_LOCAL_MACHINE on the
// systems that keep one; tests build a tree of their own): the instances of
// the standard COM-port devices of every enumerator and of every device of
// USBPORTS. The messages name the tree HKLM\Enum whatever hRoot is.
void ListPortsFromEnumKey(HKEY hRoot, PortInfoList& ports);
