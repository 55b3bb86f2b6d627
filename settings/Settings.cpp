#include "settings/Settings.h"

#include <charconv>
#include <map>

#include <fmt/format.h>

#include "settings/ProfileFile.h"
#include "core/TextNumber.h"
#include "serial/ComPortMap.h"

namespace {

const std::string kPortSection = "Port:";
const std::string kPortMapSection = "Ports";
// Beside each number of "Ports": when the program last saw the device it gave
// the number to (seconds since 1970), or "pinned" for a path the operator
// wrote in.
const std::string kPortSeenSection = "PortsSeen";
const std::string kPinnedMark = "pinned";

// One write to section "Port:". The first failed write of the process is
// reported and moves the settings to the per-user file, where it is retried.
void WritePortSetting(const std::string& strKey, const std::string& strText, CLogSink& log)
{
    if (g_iniPath.empty())
        g_iniPath = SettingsFilePath();
    if (IniWriteString(kPortSection, strKey, strText) || g_bIniFellBack)
        return;
    log.AppendLog(fmt::format("## Cannot write the settings file {}: {}\r\n", g_iniPath, IniWriteError()), kLogRed);
    if (IniFallBackToUserFile())
        IniWriteString(kPortSection, strKey, strText);
}

void WritePortSetting(const std::string& strKey, int nValue, CLogSink& log)
{
    WritePortSetting(strKey, fmt::format("{}", nValue), log);
}

// "COM7" gives 7; any other key, or a number outside 1..kMaxComPort, gives 0.
int ComNumberOfKey(const std::string& strKey)
{
    if (strKey.size() < 4 || strKey.size() > 6)
        return 0;
    for (size_t i = 0; i < 3; ++i) {
        if ((strKey[i] | 0x20) != "com"[i])
            return 0;
    }
    // Digits without a leading zero: one spelling per number.
    if (strKey[3] == '0')
        return 0;
    for (size_t i = 3; i < strKey.size(); ++i) {
        if (strKey[i] < '0' || strKey[i] > '9')
            return 0;
    }
    const int nNumber = LeadingDecimal(std::string_view(strKey).substr(3));
    return nNumber >= 1 && nNumber <= kMaxComPort ? nNumber : 0;
}

// The values of a section's COMn keys, empty ones left out.
std::map<int, std::string> StoredComKeys(const std::string& strSection)
{
    std::map<int, std::string> values;
    for (const auto& [strKey, strValue] : IniReadSection(strSection)) {
        const int nNumber = ComNumberOfKey(strKey);
        if (nNumber != 0 && !strValue.empty())
            values.emplace(nNumber, strValue);
    }
    return values;
}

// A time written by SeenText: decimal digits only. nTime is left alone
// when the text is anything else.
bool ParseSeenTime(const std::string& strText, long long& nTime)
{
    long long nParsed = 0;
    const char* pEnd = strText.data() + strText.size();
    const auto [pStop, error] = std::from_chars(strText.data(), pEnd, nParsed);
    if (error != std::errc() || pStop != pEnd || strText[0] == '-')
        return false;
    nTime = nParsed;
    return true;
}

std::string SeenText(const SComPort& port)
{
    return port.bPinned ? kPinnedMark : fmt::format("{}", port.nLastSeen);
}

// The two forms of path the port search gives a device: its by-id link, or
// its node right under /dev. Anything else (a pseudo-terminal, a by-path or
// socat link) only an operator writes in.
bool IsSearchPath(const std::string& strPath)
{
    const std::string_view path(strPath);
    const std::string_view byId = "/dev/serial/by-id/";
    if (path.starts_with(byId))
        return path.size() > byId.size() && path.find('/', byId.size()) == std::string_view::npos;
    return path.starts_with("/dev/") && path.size() > 5 && path.find('/', 5) == std::string_view::npos;
}

std::map<int, SComPort> StoredPortMap()
{
    const std::map<int, std::string> seen = StoredComKeys(kPortSeenSection);
    std::map<int, SComPort> ports;
    for (const auto& [nNumber, strPath] : StoredComKeys(kPortMapSection)) {
        SComPort port {strPath, true, 0};
        if (!seen.empty()) {
            // A number with no time beside it is one the operator wrote in.
            const auto it = seen.find(nNumber);
            port.bPinned = it == seen.end() || !ParseSeenTime(it->second, port.nLastSeen);
        } else {
            // A file from before the times were kept: the numbers the program
            // gave are known by the paths it gives, and seen long ago.
            port.bPinned = !IsSearchPath(strPath);
        }
        ports.emplace(nNumber, port);
    }
    return ports;
}

}  // namespace

void LoadSettings(CSettings& settings, CLogSink& log)
{
    if (IniCheckUsed(kPortSection)) {
        settings.nStopBit = IniReadInt(kPortSection, "StopBit");
        settings.nPortNum = IniReadInt(kPortSection, "PortNum");
        settings.nDataBit = IniReadInt(kPortSection, "DataBit");
        settings.nCsBit = IniReadInt(kPortSection, "CsBit");
        settings.nBaudRate = IniReadInt(kPortSection, "BaudRate");
        settings.nSendType = IniReadInt(kPortSection, "SendType");
        settings.nFrameLen = IniReadInt(kPortSection, "FrameLen");
        settings.nRepeatTimes = IniReadInt(kPortSection, "RepeatTimes");
        settings.nTimeInterval = IniReadInt(kPortSection, "TimeInterval");
        settings.strSupportVersion = IniReadString("update", "supportversion");
    } else {
        settings = CSettings();
        WritePortSetting("StopBit", "0", log);
        WritePortSetting("PortNum", "0", log);
        WritePortSetting("DataBit", "3", log);
        WritePortSetting("BaudRate", "7", log);
        WritePortSetting("CsBit", "2", log);
        WritePortSetting("UsedTimes", "1", log);
        WritePortSetting("SendType", "1", log);
        WritePortSetting("FrameLen", settings.nFrameLen, log);
        WritePortSetting("TimeInterval", settings.nTimeInterval, log);
        WritePortSetting("RepeatTimes", settings.nRepeatTimes, log);
    }
}

void SaveSettings(const CSettings& settings, CLogSink& log)
{
    WritePortSetting("StopBit", settings.nStopBit, log);
    WritePortSetting("PortNum", settings.nPortNum, log);
    WritePortSetting("DataBit", settings.nDataBit, log);
    WritePortSetting("BaudRate", settings.nBaudRate, log);
    WritePortSetting("CsBit", settings.nCsBit, log);
    WritePortSetting("SendType", settings.nSendType, log);
    WritePortSetting("FrameLen", settings.nFrameLen, log);
    WritePortSetting("TimeInterval", settings.nTimeInterval, log);
    WritePortSetting("RepeatTimes", settings.nRepeatTimes, log);
}

void LoadPortMap(CComPortMap& comPorts)
{
    if (g_iniPath.empty())
        g_iniPath = SettingsFilePath();
    comPorts.SetEntries(StoredPortMap());
}

bool SavePortMap(const CComPortMap& comPorts)
{
    if (g_iniPath.empty())
        g_iniPath = SettingsFilePath();
    const std::map<int, SComPort> current = comPorts.Entries();
    bool bWritten = true;
    // Only keys whose text changes are written: each write replaces the file.
    const auto save = [&](const std::string& strSection, auto textOf) {
        const std::map<int, std::string> stored = StoredComKeys(strSection);
        for (const auto& [nNumber, port] : current) {
            const std::string strText = textOf(port);
            const auto it = stored.find(nNumber);
            if (it == stored.end() || it->second != strText)
                bWritten = IniWriteString(strSection, fmt::format("COM{}", nNumber), strText) && bWritten;
        }
        for (const auto& entry : stored) {
            if (!current.contains(entry.first))
                bWritten = IniDeleteKey(strSection, fmt::format("COM{}", entry.first)) && bWritten;
        }
    };
    save(kPortMapSection, [](const SComPort& port) { return port.strPath; });
    save(kPortSeenSection, SeenText);
    return bWritten;
}
