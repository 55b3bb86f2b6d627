#include "settings/Settings.h"

#include <algorithm>

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

const std::string kUpdateSection = "update";

// One write of a setting. The first failed write of the process is reported
// and moves the settings to the per-user file, where it is retried.
void WriteSetting(CProfileFile& profile, const std::string& strSection, const std::string& strKey,
                  const std::string& strText, CLogSink& log)
{
    if (profile.Path().empty())
        profile.SetPath(profile.SettingsFilePath());
    if (profile.IniWriteString(strSection, strKey, strText) || profile.FellBack())
        return;
    log.AppendLog(fmt::format("## Cannot write the settings file {}: {}\r\n", profile.Path(), profile.IniWriteError()),
                  kLogRed);
    if (profile.IniFallBackToUserFile())
        profile.IniWriteString(strSection, strKey, strText);
}

void WritePortSetting(CProfileFile& profile, const std::string& strKey, const std::string& strText, CLogSink& log)
{
    WriteSetting(profile, kPortSection, strKey, strText, log);
}

// What section "update" holds besides the port settings, read at every start.
void ReadUpdateKeys(const CProfileFile& profile, CSettings& settings)
{
    settings.strSupportVersion = profile.IniReadString(kUpdateSection, "supportversion");
    settings.nWindow = std::max(1, profile.IniReadInt(kUpdateSection, "SendAhead"));
    settings.strBinAddress = profile.IniReadString(kUpdateSection, "BinAddress");
}

void WritePortSetting(CProfileFile& profile, const std::string& strKey, int nValue, CLogSink& log)
{
    WritePortSetting(profile, strKey, fmt::format("{}", nValue), log);
}

// The values of a section's COMn keys, empty ones left out.
std::map<int, std::string> StoredComKeys(const CProfileFile& profile, const std::string& strSection)
{
    std::map<int, std::string> values;
    for (const auto& [strKey, strValue] : profile.IniReadSection(strSection)) {
        int nNumber = 0;
        if (ParseComName(strKey, nNumber) && !strValue.empty())
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

std::map<int, SComPort> StoredPortMap(const CProfileFile& profile)
{
    const std::map<int, std::string> seen = StoredComKeys(profile, kPortSeenSection);
    std::map<int, SComPort> ports;
    for (const auto& [nNumber, strPath] : StoredComKeys(profile, kPortMapSection)) {
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

bool ReadSettings(const CProfileFile& profile, CSettings& settings)
{
    settings = CSettings();
    ReadUpdateKeys(profile, settings);
    if (profile.IniReadInt(kPortSection, "UsedTimes") == 0)
        return false;
    settings.nStopBit = profile.IniReadInt(kPortSection, "StopBit");
    settings.nPortNum = profile.IniReadInt(kPortSection, "PortNum");
    settings.nDataBit = profile.IniReadInt(kPortSection, "DataBit");
    settings.nCsBit = profile.IniReadInt(kPortSection, "CsBit");
    settings.nBaudRate = profile.IniReadInt(kPortSection, "BaudRate");
    settings.nSendType = profile.IniReadInt(kPortSection, "SendType");
    settings.nFrameLen = profile.IniReadInt(kPortSection, "FrameLen");
    settings.nRepeatTimes = profile.IniReadInt(kPortSection, "RepeatTimes");
    settings.nTimeInterval = profile.IniReadInt(kPortSection, "TimeInterval");
    return true;
}

void LoadSettings(CProfileFile& profile, CSettings& settings, CLogSink& log)
{
    if (profile.IniCheckUsed(kPortSection)) {
        ReadSettings(profile, settings);
    } else {
        settings = CSettings();
        // The permitted versions are read on a first start too: a file
        // holding only them is written for exactly that start, and a file
        // that cannot be written stays unused at every start.
        ReadUpdateKeys(profile, settings);
        WritePortSetting(profile, "StopBit", "0", log);
        WritePortSetting(profile, "PortNum", "0", log);
        WritePortSetting(profile, "DataBit", "3", log);
        WritePortSetting(profile, "BaudRate", "7", log);
        WritePortSetting(profile, "CsBit", "2", log);
        WritePortSetting(profile, "UsedTimes", "1", log);
        WritePortSetting(profile, "SendType", "1", log);
        WritePortSetting(profile, "FrameLen", settings.nFrameLen, log);
        WritePortSetting(profile, "TimeInterval", settings.nTimeInterval, log);
        WritePortSetting(profile, "RepeatTimes", settings.nRepeatTimes, log);
    }
}

void SaveSettings(CProfileFile& profile, const CSettings& settings, CLogSink& log)
{
    WritePortSetting(profile, "StopBit", settings.nStopBit, log);
    WritePortSetting(profile, "PortNum", settings.nPortNum, log);
    WritePortSetting(profile, "DataBit", settings.nDataBit, log);
    WritePortSetting(profile, "BaudRate", settings.nBaudRate, log);
    WritePortSetting(profile, "CsBit", settings.nCsBit, log);
    WritePortSetting(profile, "SendType", settings.nSendType, log);
    WritePortSetting(profile, "FrameLen", settings.nFrameLen, log);
    WritePortSetting(profile, "TimeInterval", settings.nTimeInterval, log);
    WritePortSetting(profile, "RepeatTimes", settings.nRepeatTimes, log);
}

void SaveBinAddress(CProfileFile& profile, const std::string& strAddress, CLogSink& log)
{
    WriteSetting(profile, kUpdateSection, "BinAddress", strAddress, log);
}

void LoadPortMap(CProfileFile& profile, CComPortMap& comPorts)
{
    if (profile.Path().empty())
        profile.SetPath(profile.SettingsFilePath());
    comPorts.SetEntries(StoredPortMap(profile));
}

bool SavePortMap(CProfileFile& profile, const CComPortMap& comPorts)
{
    if (profile.Path().empty())
        profile.SetPath(profile.SettingsFilePath());
    const std::map<int, SComPort> current = comPorts.Entries();
    bool bWritten = true;
    // Only keys whose text changes are written: each write replaces the file.
    const auto save = [&](const std::string& strSection, auto textOf) {
        const std::map<int, std::string> stored = StoredComKeys(profile, strSection);
        for (const auto& [nNumber, port] : current) {
            const std::string strText = textOf(port);
            const auto it = stored.find(nNumber);
            if (it == stored.end() || it->second != strText)
                bWritten = profile.IniWriteString(strSection, ComName(nNumber), strText) && bWritten;
        }
        for (const auto& entry : stored) {
            if (!current.contains(entry.first))
                bWritten = profile.IniDeleteKey(strSection, ComName(entry.first)) && bWritten;
        }
    };
    save(kPortMapSection, [](const SComPort& port) { return port.strPath; });
    save(kPortSeenSection, SeenText);
    return bWritten;
}
