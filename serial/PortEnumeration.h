#pragma once
// The machine's serial ports, as the port search lists them.
#include <stdexcept>
#include <string>
#include <vector>

struct PortInfo {
    std::string openPath;     // the device path to open the port by
    std::string comName;      // "COMn" where the source gives it
    std::string displayName;  // "<product or driver name> (COMn)"
    int onUsb = 0;            // 1 when the port sits on USB
    std::string deviceText;   // the device description
};
using PortInfoList = std::vector<PortInfo>;

// The one error that crosses our code: enumeration failed, with its message.
class CPortEnumerationError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class CComPortMap;

// Fills the list (emptied first) with the ports found: on Linux in COM-number
// order, the numbers coming from comPorts; on Windows, whose COM numbers are
// the system's own, in the order the system gives (comPorts unused). Throws
// CPortEnumerationError when the system cannot be asked.
void ListComPorts(CComPortMap& comPorts, PortInfoList& ports);

// The port box's text for each of COM1 to COM<nCount>, in order. On Linux
// the name and, after two spaces, the device path the number stands for
// ("COM3  /dev/ttyUSB0"), which the name does not say; on Windows the
// friendly name the set-up API gives the port ("USB Serial Port (COM5)"),
// since the system's path (\\.\COM5) says nothing more. Else the name
// alone; a search that fails leaves the names alone.
std::vector<std::string> ComPortBoxTexts(const CComPortMap& comPorts, int nCount);
