#pragma once
// The one listing of the system's serial devices. The port search and the
// device watch each filter it their own way, so that they see the same
// devices; serial/<system>/ has the walk.
#include <optional>
#include <string>
#include <vector>

struct SSerialDeviceRecord {
    std::string strName;        // "ttyUSB0", "COM5"
    std::string strPath;        // the node: "/dev/ttyUSB0", "\\.\COM5"
    std::string strOpenPath;    // the name to open it by: a by-id link where one leads to the node, else the node
    std::string strKey;         // one text per device whatever its name: the resolved node, "COM5"
    std::string strLabel;       // the USB product or the driver's name
    std::string strUsbVendor;   // "0403"; empty when not on USB or not known
    std::string strUsbProduct;  // "6001"
    std::string strUsbSerial;   // "A50285BI"
    bool bConsole = false;      // the kernel writes its console to it
    // Windows: the set-up API's texts as read, none where one could not be
    // (the port search passes such a device over; the watch does not need them).
    std::optional<std::string> friendlyName;
    std::optional<std::string> description;
    std::optional<std::string> location;
};

// The serial devices present now. On Linux in natural name order ("ttyUSB9"
// before "ttyUSB10"): ttys with hardware behind them and a node to open, the
// console marked. On Windows the set-up API's COM-port interfaces in the
// order the system gives; strName and strPath are empty for one without a
// COM name. Throws CPortEnumerationError when the system cannot be asked.
std::vector<SSerialDeviceRecord> EnumerateSerialDevices();
