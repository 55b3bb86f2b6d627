#include "cli/CliCommands.h"

#include <cstdio>
#include <cstdlib>

#include <unistd.h>

#include <fmt/format.h>
#include <sys/stat.h>

#include "settings/ProfileFile.h"
#include "settings/Settings.h"
#include "core/TextNumber.h"
#include "download/FirmwareReader.h"
#include "serial/ComPortMap.h"
#include "serial/PortEnumeration.h"

namespace {

// The baud-rate list of the dialog; the settings keep an index into it.
const int kBaudRates[] = {2400, 4800, 9600, 14400, 19200, 38400, 57600, 115200, 230400};

bool EqualsNoCase(const std::string& a, const char* b)
{
    size_t i = 0;
    for (; i < a.size() && b[i]; ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    }
    return i == a.size() && !b[i];
}

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

// The dialog's settings file, read and never written: the one --ini or
// VANTREL_INI names, else the one beside the programs, else the per-user one.
void UseDialogSettings(const std::string& strIni, CProfileFile& profile, CComPortMap& comPorts)
{
    if (!strIni.empty()) {
        profile.SetPath(strIni);
    } else if (const char* pNamed = std::getenv("VANTREL_INI"); pNamed && *pNamed) {
        profile.SetPath(pNamed);
    } else {
        const std::string strBeside = ModulePathWithExt("Ini");
        const std::string strDialogs = strBeside.substr(0, strBeside.rfind('/') + 1) + "vantrel.Ini";
        profile.SetPath(::access(strDialogs.c_str(), R_OK) == 0 ? strDialogs : UserSettingsFilePath());
    }
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
        if (port.comName == fmt::format("COM{}", nNumber))
            return true;
    }
    const std::string strPath = comPorts.Path(nNumber);
    strError = strPath.empty()
                   ? fmt::format("no device is known as {}", strName)
                   : fmt::format("{} stands for {}, which the port search does not find", strName, strPath);
    if (bFromSettings)
        strError += ", the dialog's port choice; give --port";
    strError += strSearchError + ". `vantrel-cli ports` lists the ports there are";
    return false;
}

}  // namespace

bool PrepareDownload(const CDownloadOptions& options, CComPortMap& comPorts, CRunInputs& inputs,
                     std::string& strError)
{
    CProfileFile profile;
    UseDialogSettings(options.strIni, profile, comPorts);
    // What the dialog would start with: the stored choices of a used file,
    // the first-run choices otherwise (COM1, 115200).
    const bool bUsed = profile.IniReadInt("Port:", "UsedTimes") != 0;
    const int nPortIndex = bUsed ? profile.IniReadInt("Port:", "PortNum") : 0;
    const int nBaudIndex = bUsed ? profile.IniReadInt("Port:", "BaudRate") : 7;
    inputs.strFilePath = options.strFile;
    inputs.nBurnType = options.nBurnType;
    inputs.bChipTypeCheck = options.bChipCheck ? 1 : 0;
    inputs.nVerMajor = options.nVerMajor;
    inputs.nVerMinor = options.nVerMinor;
    inputs.nVerPatch = options.nVerPatch;
    inputs.strSupportVersion = options.bSupportVersionGiven ? options.strSupportVersion
                                                            : profile.IniReadString("update", "supportversion");

    const std::string& strPort = options.strPort;
    if (strPort.empty()) {
        if (nPortIndex < 0 || nPortIndex >= kPortItemCount) {
            strError = fmt::format("the settings file {} holds no port choice (PortNum={}); give --port", profile.Path(),
                                   nPortIndex);
            return false;
        }
        inputs.port.nPortIndex = nPortIndex;
        if (nPortIndex != kAutoCheckIndex && !FindComPort(comPorts, nPortIndex + 1, PortItemText(nPortIndex), true, strError))
            return false;
    } else if (EqualsNoCase(strPort, "AUTOCHECK")) {
        inputs.port.nPortIndex = kAutoCheckIndex;
    } else if (strPort.size() > 3 && EqualsNoCase(strPort.substr(0, 3), "COM") &&
               strPort.find_first_not_of("0123456789", 3) == std::string::npos) {
        const int nNumber = LeadingDecimal(std::string_view(strPort).substr(3));
        if (!FindComPort(comPorts, nNumber, "COM" + strPort.substr(3), false, strError))
            return false;
        if (nNumber <= kAutoCheckIndex)
            inputs.port.nPortIndex = nNumber - 1;
        else
            inputs.port.strPortPath = comPorts.Path(nNumber);  // beyond the dialog's list
    } else if (strPort.find('/') != std::string::npos) {
        inputs.port.strPortPath = strPort;
    } else {
        strError = fmt::format("bad port '{}': expected COMn, AUTOCHECK or a device path", strPort);
        return false;
    }
    if (options.nBaudRate > 0) {
        inputs.port.strBaudRate = std::to_string(options.nBaudRate);
    } else if (nBaudIndex >= 0 && nBaudIndex < static_cast<int>(std::size(kBaudRates))) {
        inputs.port.strBaudRate = std::to_string(kBaudRates[nBaudIndex]);
    } else {
        strError = fmt::format("the settings file {} holds no baud rate (BaudRate={}); give --baud", profile.Path(),
                               nBaudIndex);
        return false;
    }
    return true;
}

int RunInfo(const std::string& strFile)
{
    const CFirmwareFileCheck check = CheckFirmwareFile(strFile);
    if (check.problem == EFileProblem::kNotFound) {
        std::fprintf(stderr, "vantrel-cli: %s: file not found\n", strFile.c_str());
        return 1;
    }
    if (check.problem != EFileProblem::kNone) {
        std::fprintf(stderr, "vantrel-cli: %s: %s\n", strFile.c_str(), check.strReason.c_str());
        return 1;
    }
    CStdoutLog log;
    FirmwareImage image;
    const int nLoaded = check.kind == EFirmwareKind::kAsc ? LoadAscFile(strFile, image, log)
                                                          : LoadHexFile(strFile, image, log);
    if (!nLoaded) {
        std::fprintf(stderr, "vantrel-cli: %s: the file cannot be read\n", strFile.c_str());
        return 1;
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
    for (const PortInfo& port : ports)
        std::printf("%-6s %-40s %-3s %s\n", port.comName.c_str(), port.openPath.c_str(), port.onUsb ? "USB" : "-",
                    port.displayName.c_str());
    std::printf("%zu ports\n", ports.size());
    return 0;
}
