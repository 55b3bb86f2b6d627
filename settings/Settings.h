#pragma once
// The settings the dialog keeps between runs, and the COM-number map, read
// from and written to the settings file. No Qt: the engine owns them.
#include <array>
#include <string>

#include "core/LogSink.h"
#include "serial/ComPortMap.h"
#include "settings/ProfileFile.h"

// The port and terminal settings. The first six are item indexes of their
// combo boxes, kept as read even when out of range (the view then shows no
// selection).
struct CSettings {
    int nStopBit = 0, nPortNum = 0, nDataBit = 3, nCsBit = 2, nBaudRate = 7, nSendType = 1;
    int nFrameLen = 1024, nRepeatTimes = 1, nTimeInterval = 1000;
    std::string strSupportVersion;
    // Flash commands a run sends ahead of their replies (key SendAhead of
    // section "update"); 1, or no key, is the strict exchange.
    int nWindow = 1;
    // Where the dialog loads a raw binary file (key BinAddress of section
    // "update", as the operator last gave it: "0x8000"); empty: never asked.
    std::string strBinAddress {};

    bool operator==(const CSettings&) const = default;
};

// The baud-rate combo box's items; the settings keep an index into them.
inline constexpr std::array<int, 9> kBaudRates = {2400, 4800, 9600, 14400, 19200, 38400, 57600, 115200, 230400};

// Reads the settings as the dialog would start with them, writing nothing:
// section "Port:" of a used file (UsedTimes nonzero), else the first-run
// choices, and the permitted versions either way. False for a file never used.
bool ReadSettings(const CProfileFile& profile, CSettings& settings);

// Chooses the settings file and reads section "Port:" and, at every start,
// "update" for the permitted versions. On a first run (UsedTimes missing or
// 0) the port defaults are taken and written instead of section "Port:".
// The COM-number map is LoadPortMap's.
void LoadSettings(CProfileFile& profile, CSettings& settings, CLogSink& log);
// Writes the port and terminal settings to section "Port:".
// Either way, the first write of the process that fails is logged in red and
// the settings move to the per-user file, so they are never silently lost.
void SaveSettings(CProfileFile& profile, const CSettings& settings, CLogSink& log);

// Writes the load address of raw binary files, as given, to key BinAddress
// of section "update"; a failed write is handled as SaveSettings handles it.
void SaveBinAddress(CProfileFile& profile, const std::string& strAddress, CLogSink& log);

// The settings file's section "Ports" (COM1=/dev/..., up to COM256) becomes
// the COM-number map. Section "PortsSeen" tells, by the same keys, which
// numbers the program gave a device and when it last saw it (seconds since
// 1970); a number marked "pinned" there, or not named there at all, is the
// operator's. A file without "PortsSeen" comes from before the times were
// kept: a number whose path is a /dev/serial/by-id/ link or a node right under
// /dev, the forms the search gives, counts as the program's, seen long ago;
// any other path as a pin.
void LoadPortMap(CProfileFile& profile, CComPortMap& comPorts);
// Writes the map back to sections "Ports" and "PortsSeen", key by key where
// the text differs from what the file holds (numbers gone from the map lose
// their keys). False when the file could not be written; the caller reports it.
bool SavePortMap(CProfileFile& profile, const CComPortMap& comPorts);
