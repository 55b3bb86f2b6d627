#include "cli/Console.h"
#include "cli/CliCommands.h"

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <map>

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

bool ParseAddressRange(const std::string& strText, SAddressRange& range, std::string& strError)
{
    const auto number = [](std::string_view text, uint64_t& nValue) {
        int nBase = 10;
        if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
            text.remove_prefix(2);
            nBase = 16;
        }
        const auto [pEnd, error] = std::from_chars(text.data(), text.data() + text.size(), nValue, nBase);
        return !text.empty() && error == std::errc() && pEnd == text.data() + text.size();
    };
    const size_t nAt = strText.find_first_of(":+");
    uint64_t nStart = 0, nOther = 0;
    if (nAt == std::string::npos || !number(std::string_view(strText).substr(0, nAt), nStart) ||
        !number(std::string_view(strText).substr(nAt + 1), nOther)) {
        strError = fmt::format("bad range '{}': expected START:END or START+LENGTH, e.g. 0x0000:0x0800", strText);
        return false;
    }
    const uint64_t nEnd = strText[nAt] == ':' ? nOther : nStart + nOther;
    if (nEnd <= nStart) {
        strError = fmt::format("range '{}' holds no byte: END is exclusive and must lie above START", strText);
        return false;
    }
    if (nEnd > kDeviceAddressSpace) {
        strError = fmt::format("range '{}' reaches past 0x{:06X}, the device's last address", strText,
                               kDeviceAddressSpace - 1);
        return false;
    }
    range.nStart = static_cast<uint32_t>(nStart);
    range.nLength = static_cast<uint32_t>(nEnd - nStart);
    return true;
}

bool RangesOverlap(const std::vector<SAddressRange>& ranges, std::string& strError)
{
    for (size_t i = 0; i < ranges.size(); ++i) {
        for (size_t j = i + 1; j < ranges.size(); ++j) {
            const SAddressRange& a = ranges[i];
            const SAddressRange& b = ranges[j];
            if (a.nStart < b.nStart + b.nLength && b.nStart < a.nStart + a.nLength) {
                strError = fmt::format("ranges 0x{:06X}:0x{:06X} and 0x{:06X}:0x{:06X} overlap", a.nStart,
                                       a.nStart + a.nLength, b.nStart, b.nStart + b.nLength);
                return true;
            }
        }
    }
    return false;
}

bool IsDevicePathText(const std::string& strText)
{
    return strText.find_first_of("/\\") != std::string::npos;
}

bool PrepareDownload(const CDownloadOptions& options, CComPortMap& comPorts, CRunInputs& inputs, std::string& strError,
                     int& nExitStatus, std::string& strNote)
{
    nExitStatus = kExitUsage;
    CProfileFile profile;
    UseDialogSettings(options.strIni, profile, comPorts);
    // What the dialog would start with: the stored choices of a used file,
    // the first-run choices otherwise (COM1, 115200).
    CSettings settings;
    const bool bUsedFile = ReadSettings(profile, settings);
    strNote.clear();
    const int nPortIndex = settings.nPortNum;
    const int nBaudIndex = settings.nBaudRate;
    inputs.eKind = options.eKind;
    inputs.strFilePath = options.strFile;
    inputs.vecReadRanges = options.vecRanges;
    inputs.nBurnType = options.nBurnType;
    inputs.bChipTypeCheck = options.bChipCheck ? 1 : 0;
    inputs.nVerMajor = options.nVerMajor;
    inputs.nVerMinor = options.nVerMinor;
    inputs.nVerPatch = options.nVerPatch;
    inputs.strSupportVersion = options.bSupportVersionGiven ? options.strSupportVersion : settings.strSupportVersion;
    inputs.nWindow = options.nWindow > 0 ? options.nWindow : settings.nWindow;
    inputs.loadOptions.nLoadAddress = options.nLoadAddress;

    const std::string& strPort = options.strPort;
    if (strPort.empty()) {
        if (nPortIndex < 0 || nPortIndex >= kPortItemCount) {
            strError = fmt::format("the settings file {} holds no port choice (PortNum={}); give --port",
                                   profile.Path(), nPortIndex);
            return false;
        }
        inputs.port.nPortIndex = nPortIndex;
        if (nPortIndex != kAutoCheckIndex &&
            !FindComPort(comPorts, nPortIndex + 1, PortItemText(nPortIndex), true, strError)) {
            nExitStatus = kExitConnection;
            return false;
        }
    } else if (EqualsNoCase(strPort, "AUTOCHECK")) {
        inputs.port.nPortIndex = kAutoCheckIndex;
    } else if (int nNumber = 0; ParseComName(strPort, nNumber)) {
        // A number nothing stands for is a port that is not there, as a
        // device path that leads nowhere is: a connection problem.
        if (!FindComPort(comPorts, nNumber, strPort, false, strError)) {
            nExitStatus = kExitConnection;
            return false;
        }
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
    // Whatever the command line left open is said, with where it came from:
    // a port nobody chose must never be written to unannounced.
    std::string strChosen;
    if (strPort.empty())
        strChosen = PortItemText(nPortIndex) + " at ";
    if (strPort.empty() || options.nBaudRate <= 0)
        strChosen += inputs.port.strBaudRate + " bit/s";
    if (!strChosen.empty() && bUsedFile)
        strNote = fmt::format("{} from the settings file {}", strChosen, profile.Path());
    else if (!strChosen.empty())
        strNote = fmt::format("{}, the first-run choice: the settings file {} holds none; give {} to choose", strChosen,
                              profile.Path(), strPort.empty() ? "--port" : "--baud");
    return true;
}

std::string DevicePathOf(const CRunInputs& inputs, const CComPortMap& comPorts)
{
    if (!inputs.port.strPortPath.empty())
        return inputs.port.strPortPath;
    if (inputs.port.nPortIndex >= 0 && inputs.port.nPortIndex < kAutoCheckIndex)
        return comPorts.Path(PortNumberOf(PortItemText(inputs.port.nPortIndex)));
    return std::string();
}

bool CheckDistinctPorts(const CDownloadOptions& options, const std::vector<std::string>& vecPorts,
                        std::string& strError)
{
    if (vecPorts.size() < 2)
        return true;
    for (const std::string& strPort : vecPorts) {
        if (EqualsNoCase(strPort, "AUTOCHECK")) {
            strError = "AUTOCHECK writes whichever port opens first, which may be one of the other ports: give it "
                       "alone, or name every port";
            return false;
        }
    }
    // One map for all, as each run's own search would fill it: on one
    // machine with one settings file the numbers come out the same.
    CComPortMap comPorts;
    std::map<std::string, std::string> named;  // identity -> the first port that named it
    for (const std::string& strPort : vecPorts) {
        CDownloadOptions portOptions = options;
        portOptions.strPort = strPort;
        CRunInputs inputs;
        std::string strIgnored, strNoteIgnored;
        int nIgnored = 0;
        if (!PrepareDownload(portOptions, comPorts, inputs, strIgnored, nIgnored, strNoteIgnored))
            continue;
        const std::string strIdentity = DeviceIdentity(DevicePathOf(inputs, comPorts));
        if (strIdentity.empty())
            continue;
        const auto [it, bNew] = named.emplace(strIdentity, strPort);
        if (!bNew) {
            strError = fmt::format("{} and {} name the same device: give each device once", it->second, strPort);
            return false;
        }
    }
    return true;
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

bool CheckLoadAddress(const std::string& strFile, const std::optional<uint32_t>& nLoadAddress, std::string& strError)
{
    const SFirmwareFormat* pFormat = FirmwareFormatOf(strFile);
    if (!pFormat)
        return true;  // the load says what is wrong with the file itself
    if (pFormat->bNeedsAddress && !nLoadAddress) {
        strError = fmt::format("{}: a {} file holds no address: give --address, e.g. --address 0x8000", strFile,
                               pFormat->pName);
        return false;
    }
    if (!pFormat->bNeedsAddress && nLoadAddress) {
        strError = fmt::format("{}: --address is for raw binary files only; {} files carry their own addresses",
                               strFile, pFormat->pName);
        return false;
    }
    return true;
}

int RunInfo(const std::string& strFile, const SLoadOptions& options, int nFileExitStatus)
{
    if (std::string strError; !CheckLoadAddress(strFile, options.nLoadAddress, strError)) {
        WriteToolLine(strError);
        return kExitUsage;
    }
    const CFirmwareFileCheck check = CheckFirmwareFile(strFile);
    if (check.problem == EFileProblem::kNotFound) {
        WriteToolLine(strFile + ": file not found");
        return nFileExitStatus;
    }
    if (check.problem != EFileProblem::kNone) {
        WriteToolLine(strFile + ": " + check.strReason);
        return nFileExitStatus;
    }
    // The reader the download would use, without keeping the bytes: a
    // listing needs no digest, and a large file is read in pieces.
    CStdoutLog log;
    FirmwareImage image;
    if (!FirmwareFormatOf(strFile)->pLoadFile(strFile, options, image, log, nullptr)) {
        WriteToolLine(strFile + ": the file cannot be read");
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
        WriteToolLine(error.what());
        return kExitConnection;
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
