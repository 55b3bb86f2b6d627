#pragma once
// The subcommands of vantrel-cli, apart from parsing.
#include <string>
#include <vector>

#include "download/CLoader.h"

// One exit status per class of outcome, so a script can tell them apart.
inline constexpr int kExitSuccess = 0;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitFile = 3;
inline constexpr int kExitConnection = 4;
inline constexpr int kExitWrite = 5;
inline constexpr int kExitVerify = 6;
inline constexpr int kExitDisconnect = 7;
inline constexpr int kExitCancelled = 8;

// The exit status of a run that ended so.
int ExitStatusOf(ERunEnd end);

struct CDownloadOptions {
    std::string strFile;
    std::string strPort;  // COMn, AUTOCHECK or a device path; empty: the settings file
    int nBaudRate = 0;    // 0: the settings file
    int nBurnType = 0;
    bool bChipCheck = false;
    int nVerMajor = 0;
    int nVerMinor = 0;
    int nVerPatch = 0;
    std::string strSupportVersion;
    bool bSupportVersionGiven = false;  // else the settings file's permitted versions
    std::string strIni;
    int nWindow = 0;  // flash commands sent ahead; 0: the settings file
};

// The inputs of the run, with the settings file filling in what the options
// leave open. Nothing is written to the settings file.
// The COM numbers are looked up in comPorts, the engine's map.
// Whether a --port text names a device by its path ("/dev/ttyUSB0",
// "\\.\COM12"): it holds a folder separator.
bool IsDevicePathText(const std::string& strText);

bool PrepareDownload(const CDownloadOptions& options, CComPortMap& comPorts, CRunInputs& inputs, std::string& strError);
// Why strFile cannot be written into a device ("file not found", "it is a
// folder", the reader's first complaint); empty when it can. Loads the file
// to find out.
std::string FirmwareFileProblem(const std::string& strFile);
// The paths the settings file (strIni, or the dialog's) pins to COM numbers:
// a watch counts each one that appears as a device plugged in.
std::vector<std::string> PinnedPortPaths(const std::string& strIni);
// Loads the file with the download's reader and lists what it covers; a file
// that cannot be loaded exits with nFileExitStatus, as a download of it does.
int RunInfo(const std::string& strFile, int nFileExitStatus);
// Lists the ports the port search finds.
int RunPorts(const std::string& strIni);
