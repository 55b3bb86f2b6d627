#pragma once
// The pure steps of port enumeration, shared by every platform's source:
// building, merging and completing PortInfo records, and the words of the
// errors. Nothing here calls the system, so all of it is tested on Linux.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "serial/PortEnumeration.h"

// Fills in texts a source left empty: displayName from comName, and
// deviceText from displayName without its trailing " (COMn)".
void CompletePortTexts(PortInfoList& ports);

// "<text> (err=<code in lower-case hex>)", the form every enumeration error
// on Windows takes.
std::string PortErrorText(std::string_view text, unsigned long nError);

// Where the ports of a Windows system are listed, by the version it reports.
enum class EPortSource {
    Setup,    // the set-up API's COM-port interfaces (Windows 2000 and later)
    Fixed,    // COM1 to COM16 untested (NT 4 and earlier: no Plug and Play)
    EnumKey,  // the registry's Enum tree (Windows 95, 98 and ME)
};
// The platform id of the NT line (VER_PLATFORM_WIN32_NT).
constexpr unsigned long kPlatformWin32Nt = 2;
EPortSource ChoosePortSource(unsigned long nMajorVersion, unsigned long nPlatformId);

// What the set-up API gave for one COM-port interface; an empty optional is
// a property that could not be read.
struct SSetupPortTexts {
    std::string strInterfacePath;
    std::optional<std::string> friendlyName;
    std::optional<std::string> description;
    std::optional<std::string> location;
};
// The record for one interface, or none when its friendly name or its
// description could not be read. The COM name is left empty: the friendly
// name carries it for the reader.
std::optional<PortInfo> SetupPortRecord(const SSetupPortTexts& texts);

// Appends COM1 to COM16, opened by their device names.
void ListPortsFixed(PortInfoList& ports);

// The Enum tree's enumerator for the ports on USB.
bool IsUsbPortsEnumerator(std::string_view enumerator);
// Whether a device key under an enumerator holds serial ports: a standard
// COM port (*PNP0500, *PNP0501), or any device of the USB ports enumerator.
bool IsSerialDeviceKey(std::string_view deviceKey, bool bUsbEnumerator);
// The record for one instance of the Enum tree: its PORTNAME, its
// FRIENDLYNAME (empty when missing) and whether it is on USB.
PortInfo EnumInstanceRecord(const std::string& strPortName, const std::string& strFriendlyName, int onUsb);
// The COM number a friendly name ends with ("USB Serial Port (COM5)": 5);
// 0 when it ends otherwise.
int FriendlyNameComNumber(std::string_view friendlyName);
// The port box's texts on Windows for COM1 to COM<paths.size()>, paths[i]
// being what COM i+1 stands for: the friendly name of the first listed
// port that ends with that number; the name and the path after two spaces
// where the number stands for another path than the system's own; else the
// name alone.
std::vector<std::string> WindowsPortBoxTexts(const PortInfoList& ports, const std::vector<std::string>& paths);

// Puts a record in the list: over the first record of exactly the same COM
// name, where there is one, since a port listed twice in the tree is one
// port; else at the end.
void MergePortRecord(PortInfoList& ports, PortInfo port);
