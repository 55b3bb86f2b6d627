#pragma once
// The subcommands of vantrel-cli, apart from parsing.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "cli/Outcomes.h"
#include "download/CLoader.h"

struct CDownloadOptions {
    ERunKind eKind = ERunKind::kDownload;
    std::string strFile;                   // for a read, the file made
    std::vector<SAddressRange> vecRanges;  // for a read
    std::string strPort;                   // COMn, AUTOCHECK or a device path; empty: the settings file
    int nBaudRate = 0;                     // 0: the settings file
    int nBurnType = 0;
    bool bChipCheck = false;
    int nVerMajor = 0;
    int nVerMinor = 0;
    int nVerPatch = 0;
    std::string strSupportVersion;
    bool bSupportVersionGiven = false;  // else the settings file's permitted versions
    std::string strIni;
    int nWindow = 0;                       // flash commands sent ahead; 0: the settings file
    std::optional<uint32_t> nLoadAddress;  // --address, for a raw binary file
};

// Whether --address fits the file: a raw binary needs it, and any other
// format carries its own addresses, so giving it there is a mistake worth
// stopping for. False with strError saying so (a usage error).
bool CheckLoadAddress(const std::string& strFile, const std::optional<uint32_t>& nLoadAddress, std::string& strError);

// The inputs of the run, with the settings file filling in what the options
// leave open. Nothing is written to the settings file.
// The COM numbers are looked up in comPorts, the engine's map.
// Whether a --port text names a device by its path ("/dev/ttyUSB0",
// "\\.\COM12"): it holds a folder separator.
bool IsDevicePathText(const std::string& strText);

// When the inputs are refused, strError says why and nExitStatus how a script
// is told: kExitConnection for a port that is not there (as for one that does
// not open), kExitUsage for a settings file that leaves the choice open.
// strNote says, for the operator before the run, the port and bit rate the
// settings file gave or the first-run choice that stood in for them ("COM3
// at 115200 bit/s from the settings file ..."); empty when the command line
// gave both.
bool PrepareDownload(const CDownloadOptions& options, CComPortMap& comPorts, CRunInputs& inputs, std::string& strError,
                     int& nExitStatus, std::string& strNote);
// The device path a run's inputs open, where it is known before the run
// (not for AUTOCHECK).
std::string DevicePathOf(const CRunInputs& inputs, const CComPortMap& comPorts);
// Whether the ports of one download name distinct devices: each is resolved
// to what it leads to (a COM number through the port search, a link to its
// device), and two names of one device are refused, strError naming both.
// AUTOCHECK takes whichever port opens first, so it is refused among several.
// A port that cannot be resolved is left to its run, which says why.
bool CheckDistinctPorts(const CDownloadOptions& options, const std::vector<std::string>& vecPorts,
                        std::string& strError);
// The paths the settings file (strIni, or the dialog's) pins to COM numbers:
// a watch counts each one that appears as a device plugged in.
std::vector<std::string> PinnedPortPaths(const std::string& strIni);
// Loads the file with the download's reader and lists what it covers; a file
// that cannot be loaded exits with nFileExitStatus, as a download of it does.
int RunInfo(const std::string& strFile, const SLoadOptions& options, int nFileExitStatus);
// "START:END" (END exclusive) or "START+LENGTH", each number decimal or hex
// after 0x, within the device's 24-bit addresses and not empty. False with
// the reason in strError.
bool ParseAddressRange(const std::string& strText, SAddressRange& range, std::string& strError);
// Whether ranges overlap; strError names the first two that do.
bool RangesOverlap(const std::vector<SAddressRange>& ranges, std::string& strError);
// Lists the ports the port search finds.
int RunPorts(const std::string& strIni);
