#include "app/Settings.h"

#include <map>

#include <fmt/format.h>

#include "app/ProfileFile.h"
#include "app/TextNumber.h"
#include "serial/ComPortMap.h"

namespace {

const std::string kPortSection = "Port:";
const std::string kPortMapSection = "Ports";

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

std::map<int, std::string> StoredPortMap()
{
    std::map<int, std::string> ports;
    for (const auto& [strKey, strPath] : IniReadSection(kPortMapSection)) {
        const int nNumber = ComNumberOfKey(strKey);
        if (nNumber != 0 && !strPath.empty())
            ports.emplace(nNumber, strPath);
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

void LoadPortMap()
{
    if (g_iniPath.empty())
        g_iniPath = SettingsFilePath();
    ClearComPortPaths();
    for (const auto& [nNumber, strPath] : StoredPortMap())
        SetComPortPath(nNumber, strPath);
}

bool SavePortMap()
{
    if (g_iniPath.empty())
        g_iniPath = SettingsFilePath();
    const std::map<int, std::string> stored = StoredPortMap();
    const std::map<int, std::string> current = ComPortPaths();
    bool bWritten = true;
    for (const auto& [nNumber, strPath] : current) {
        const auto it = stored.find(nNumber);
        if (it == stored.end() || it->second != strPath)
            bWritten = IniWriteString(kPortMapSection, fmt::format("COM{}", nNumber), strPath) && bWritten;
    }
    for (const auto& entry : stored) {
        if (!current.contains(entry.first))
            bWritten = IniDeleteKey(kPortMapSection, fmt::format("COM{}", entry.first)) && bWritten;
    }
    return bWritten;
}
