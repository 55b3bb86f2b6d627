#pragma once
// The device listing on Linux, from a sysfs and a /dev tree given by their
// roots so that tests can build small trees of their own.
#include <string>
#include <vector>

#include "serial/DeviceListing.h"

// The serial devices under <strSysRoot>/class/tty whose nodes are in
// strDevRoot. Throws CPortEnumerationError when the class folder cannot be read.
std::vector<SSerialDeviceRecord> EnumerateSerialDevicesFrom(const std::string& strSysRoot,
                                                            const std::string& strDevRoot);
// A path with every link resolved (itself when it cannot be).
std::string ResolvedPath(const std::string& strPath);
