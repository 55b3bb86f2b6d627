#include "cli/CliCommands.h"

#include <cstdio>
#include <cstdlib>

#include <fmt/format.h>

#include "settings/ProfileFile.h"
#include "settings/Settings.h"
#include "core/TextNumber.h"
#include "download/FirmwareReader.h"
#include "serial/ComPortMap.h"
#include "serial/PortEnumeration.h"
#include "serial/SerialDevice.h"

namespace {

// Reader messages go to standard output, as in the log.
class CStdoutLog : public CLogSink {
public:
    void AppendLog(const std::string& strText, int) override
    {
        std::string strOut;
        for (size_t i = 0; i < strText.size(); ++i) {
            if (!(strText[i] == '\r' && i + 1 < strText.size() && strText[i + 1] == '\n'))
                strOut += strText[i];
        }
        std::fputs(strOut.c_str(), stdout);
    }
};

// What a reader logs, kept.
struct CKeptLines : public CLogSink {
    void AppendLog(const std::string& strLine, int) override { strText += strLine; }
    std::string strText;
};

// The COM number a port record stands for, as the port search reads it:
// the "(COMn)" of its display name; 0 for none.
int PortRecordNumber(const PortInfo& port)
{
    const size_t nOpen = port.displayName.find('(');
    const size_t nStart = nOpen == std::string::npos ? 0 : nOpen + 1;
    const size_t nClose = port.displayName.find(')');
    int nNumber = 0;
    if (nClose == std::string::npos || nClose < nStart ||
        !ParseComName(std::string_view(port.displayName).substr(nStart, nClose - nStart), nNumber))
        return 0;
    return nNumber;
}

// The dialog's settings file, read and never written: the one --ini names,
// else the one the dialog itself would read.
void UseDialogSettings(const std::string& strIni, CProfileFile& profile, CComPortMap& comPorts)
{
    profile.SetPath(strIni.empty() ? profile.SettingsFilePath("vantrel") : strIni);
    LoadPortMap(profile, comPorts);
}

// Whether COM nNumber is a port the search lists. The command line never
// stores the numbers it shows, so it runs the same search that `ports` runs:
// on the same machine with the same settings file both give the same answer.
bool FindComPort(CComPortMap& comPorts, int nNumber, const std::string& strName, bool bFromSettings,
                 std::string& strError)
{
    PortInfoList ports;
    std::string strSearchError;
    try {
        ListComPorts(comPorts, ports);
    } catch (const CPortEnumerationError& error) {
        // The numbers the settings file holds still stand for their paths.
        if (!comPorts.Path(nNumber).empty())
            return true;
        strSearchError = fmt::format(" (the port search failed: {})", error.what());
    }
    for (const PortInfo& port : ports) {
        if (PortRecordNumber(port) == nNumber)
            return true;
    }
    // Where COM numbers are the system's own, the system decides at the open:
    // a port can open that the search does not list (a virtual one, say).
    if (!SystemComPortPath(nNumber).empty())
        return true;
    const std::string strPath = comPorts.Path(nNumber);
    strError = strPath.empty() ? fmt::format("no device is known as {}", strName)
                               : fmt::format("{} stands for {}, which the port search does not find", strName, strPath);
    if (bFromSettings)
        strError += ", the dialog's port choice; give --port";
    strError += strSearchError + ". `vantrel-cli ports` lists the ports there are";
    return false;
}

}  // namespace

bool IsDevicePathText(const std::string& strText)
{
    return strText.find_first_of("/\\") != std::string::npos;
}

bool PrepareDownload(const CDownloadOptions& options, CComPortMap& comPorts, CRunInputs& inputs, std::string& strError)
{
    CProfileFile profile;
    UseDialogSettings(options.strIni, profile, comPorts);
    // What the dialog would start with: the stored choices of a used file,
    // the first-run choices otherwise (COM1, 115200).
    CSettings settings;
    ReadSettings(profile, settings);
    const int nPortIndex = settings.nPortNum;
    const int nBaudIndex = settings.nBaudRate;
    inputs.strFilePath = options.strFile;
    inputs.nBurnType = options.nBurnType;
    inputs.bChipTypeCheck = options.bChipCheck ? 1 : 0;
    inputs.nVerMajor = options.nVerMajor;
    inputs.nVerMinor = options.nVerMinor;
    inputs.nVerPatch = options.nVerPatch;
    inputs.strSupportVersion = options.bSupportVersionGiven ? options.strSupportVersion : settings.strSupportVersion;
    inputs.nWindow = options.nWindow > 0 ? options.nWindow : settings.nWindow;

    const std::string& strPort = options.strPort;
    if (strPort.empty()) {
        if (nPortIndex < 0 || nPortIndex >= kPortItemCount) {
            strError = fmt::format("the settings file {} holds no port choice (PortNum={}); give --port",
                                   profile.Path(), nPortIndex);
            return false;
        }
        inputs.port.nPortIndex = nPortIndex;
        if (nPortIndex != kAutoCheckIndex &&
            !FindComPort(comPorts, nPortIndex + 1, PortItemText(nPortIndex), true, strError))
            return false;
    } else if (EqualsNoCase(strPort, "AUTOCHECK")) {
        inputs.port.nPortIndex = kAutoCheckIndex;
    } else if (int nNumber = 0; ParseComName(strPort, nNumber)) {
        if (!FindComPort(comPorts, nNumber, strPort, false, strError))
            return false;
        if (nNumber <= kAutoCheckIndex)
            inputs.port.nPortIndex = nNumber - 1;
        else
            inputs.port.strPortPath = comPorts.Path(nNumber);  // beyond the dialog's list
    } else if (IsDevicePathText(strPort)) {
        inputs.port.strPortPath = strPort;
    } else {
        strError = fmt::format("bad port '{}': expected COMn, AUTOCHECK or a device path", strPort);
        return false;
    }
    if (options.nBaudRate > 0) {
        inputs.port.strBaudRate = std::to_string(options.nBaudRate);
    } else if (nBaudIndex >= 0 && nBaudIndex < static_cast<int>(kBaudRates.size())) {
        inputs.port.strBaudRate = std::to_string(kBaudRates[static_cast<size_t>(nBaudIndex)]);
    } else {
        strError = fmt::format("the settings file {} holds no baud rate (BaudRate={}); give --baud", profile.Path(),
                               nBaudIndex);
        return false;
    }
    return true;
}

std::string FirmwareFileProblem(const std::string& strFile)
{
    const CFirmwareFileCheck check = CheckFirmwareFile(strFile);
    if (check.problem == EFileProblem::kNotFound)
        return "file not found";
    if (check.problem != EFileProblem::kNone)
        return check.strReason;
    // The reader's own words: its first complaint, without the line end.
    CKeptLines log;
    FirmwareImage image;
    if (check.kind == EFirmwareKind::kAsc ? LoadAscFile(strFile, image, log) : LoadHexFile(strFile, image, log))
        return std::string();
    std::string strFirst = log.strText.substr(0, log.strText.find('\r'));
    return strFirst.empty() ? "the file cannot be read" : "the reader refuses it: " + strFirst;
}

std::vector<std::string> PinnedPortPaths(const std::string& strIni)
{
    CProfileFile profile;
    CComPortMap comPorts;
    UseDialogSettings(strIni, profile, comPorts);
    std::vector<std::string> vecPaths;
    for (const auto& [nNumber, port] : comPorts.Entries()) {
        if (port.bPinned && !port.strPath.empty())
            vecPaths.push_back(port.strPath);
    }
    return vecPaths;
}

int RunInfo(const std::string& strFile, int nFileExitStatus)
{
    const CFirmwareFileCheck check = CheckFirmwareFile(strFile);
    if (check.problem == EFileProblem::kNotFound) {
        std::fprintf(stderr, "vantrel-cli: %s: file not found\n", strFile.c_str());
        return nFileExitStatus;
    }
    if (check.problem != EFileProblem::kNone) {
        std::fprintf(stderr, "vantrel-cli: %s: %s\n", strFile.c_str(), check.strReason.c_str());
        return nFileExitStatus;
    }
    CStdoutLog log;
    FirmwareImage image;
    const int nLoaded =
        check.kind == EFirmwareKind::kAsc ? LoadAscFile(strFile, image, log) : LoadHexFile(strFile, image, log);
    if (!nLoaded) {
        std::fprintf(stderr, "vantrel-cli: %s: the file cannot be read\n", strFile.c_str());
        return nFileExitStatus;
    }
    // Blocks that follow on from each other form one range.
    uint64_t nBytes = 0;
    size_t i = 0;
    while (i < image.size()) {
        const uint32_t nStart = static_cast<uint32_t>(image[i].address);
        uint64_t nEnd = static_cast<uint64_t>(nStart) + static_cast<uint32_t>(image[i].length);
        nBytes += static_cast<uint32_t>(image[i].length);
        for (++i; i < image.size() && static_cast<uint32_t>(image[i].address) == nEnd; ++i) {
            nEnd += static_cast<uint32_t>(image[i].length);
            nBytes += static_cast<uint32_t>(image[i].length);
        }
        std::printf("0x%06X-0x%06X  %llu bytes\n", nStart, static_cast<uint32_t>(nEnd - 1),
                    static_cast<unsigned long long>(nEnd - nStart));
    }
    std::printf("%zu blocks, %llu bytes\n", image.size(), static_cast<unsigned long long>(nBytes));
    return 0;
}

int RunPorts(const std::string& strIni)
{
    CProfileFile profile;
    CComPortMap comPorts;
    UseDialogSettings(strIni, profile, comPorts);
    PortInfoList ports;
    try {
        ListComPorts(comPorts, ports);
    } catch (const CPortEnumerationError& error) {
        std::fprintf(stderr, "vantrel-cli: %s\n", error.what());
        return 1;
    }
    for (const PortInfo& port : ports) {
        const int nNumber = PortRecordNumber(port);
        const std::string strComName = nNumber > 0 ? ComName(nNumber) : port.comName;
        std::printf("%-6s %-40s %-3s %s\n", strComName.c_str(), port.openPath.c_str(), port.onUsb ? "USB" : "-",
                    port.displayName.c_str());
    }
    std::printf("%zu ports\n", ports.size());
    return 0;
}

int ExitStatusOf(ERunEnd end)
{
    switch (end) {
    case ERunEnd::kSuccess: return kExitSuccess;
    case ERunEnd::kConnectionFailed: return kExitConnection;
    case ERunEnd::kFileNotFound:
    case ERunEnd::kUnknownFileKind:
    case ERunEnd::kLoadFailed: return kExitFile;
    case ERunEnd::kWriteFailed: return kExitWrite;
    case ERunEnd::kVerifyFailed: return kExitVerify;
    case ERunEnd::kDisconnectFailed: return kExitDisconnect;
    case ERunEnd::kCancelled: return kExitCancelled;
    }
    return kExitConnection;
}
