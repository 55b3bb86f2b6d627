// Which port a run or the port button opens, and the port search.
#include <fmt/format.h>

#include "core/TextNumber.h"
#include "download/CLoader.h"
#include "serial/PortEnumeration.h"

namespace {

// "USB Serial Port (COM3)" gives "COM3": from after the first "(" (or the
// start) up to the first ")"; empty without a ")" after that start.
std::string PortNameOf(const std::string& strDisplayName)
{
    const size_t nOpen = strDisplayName.find('(');
    const size_t nStart = nOpen == std::string::npos ? 0 : nOpen + 1;
    const size_t nClose = strDisplayName.find(')');
    if (nClose == std::string::npos || nClose < nStart)
        return std::string();
    return strDisplayName.substr(nStart, nClose - nStart);
}

}  // namespace

std::string PortItemText(int nPortIndex)
{
    if (nPortIndex >= 0 && nPortIndex < kAutoCheckIndex)
        return ComName(nPortIndex + 1);
    if (nPortIndex == kAutoCheckIndex)
        return "AUTOCHECK";
    return std::string();
}

int PortNumberOf(const std::string& strName)
{
    return strName.size() > 3 ? LeadingDecimal(std::string_view(strName).substr(3)) : 0;
}

void CLoader::FindSerialPorts()
{
    std::array<int, kDetectedPortSlots> detected;
    detected.fill(-1);
    PortInfoList ports;
    try {
        ListComPorts(m_comPorts, ports);
    } catch (const CPortEnumerationError& error) {
        // Reported, never fatal: the search goes on with no ports.
        Log(fmt::format("## {}\r\n", error.what()), kLogRed);
        ports.clear();
    }
    Log("-- Find serial port:\r\n", kLogBlue);
    for (size_t i = 0; i < ports.size(); ++i) {
        const std::string strName = PortNameOf(ports[i].displayName);
        Log(strName, kLogDefault);
        Log(fmt::format("  {}\r\n", ports[i].openPath), kLogBlue);
        if (i >= kDetectedPortSlots)
            Log("The com checkout too much,need to manual select", kLogRed);
        else
            detected[i] = PortNumberOf(strName);
    }
    Log("-- -------------------------------------------------\r\n", kLogGreen);
    std::lock_guard<std::mutex> lock(m_detectedMutex);
    m_detectedPorts = detected;
}

bool CLoader::OpenDownloadPort()
{
    const CPortChoice& choice = m_inputs.port;
    const int nBaudRate = LeadingDecimal(choice.strBaudRate);
    if (!choice.strPortPath.empty() || choice.nPortIndex != kAutoCheckIndex) {
        const int nOpened = choice.strPortPath.empty()
                                ? m_channel.OpenPort(PortNumberOf(PortItemText(choice.nPortIndex)), nBaudRate)
                                : m_channel.OpenPortPath(choice.strPortPath, nBaudRate);
        if (nOpened)
            return true;
        Log(fmt::format("## {}\r\n", m_channel.GetErrorText()), kLogRed);
        Log(fmt::format("## {}\r\n", m_channel.GetOpenFailure()), kLogRed);
        m_channel.ClosePort();
        return false;
    }

    // AUTOCHECK: the first recorded port that opens at all.
    FindSerialPorts();
    for (int nPort : DetectedPorts()) {
        if (nPort == -1)
            break;
        if (m_channel.OpenPort(nPort, nBaudRate))
            return true;
        Log(fmt::format("## cannot open COM{} !\r\n", nPort), kLogBlue);
        m_channel.ClosePort();
    }
    Log("## There is no device connect,please check!\r\n", kLogRed);
    m_channel.ClosePort();
    return false;
}

bool CLoader::OpenSelectedPort(const CPortChoice& choice)
{
    const std::string strPort = choice.strPortPath.empty() ? PortItemText(choice.nPortIndex) : choice.strPortPath;
    const std::string strParity = choice.strParity.empty() ? std::string() : choice.strParity.substr(0, 1);
    const std::string strLine =
        choice.strBaudRate + "," + choice.strDataBits + "," + strParity + "," + choice.strStopBits;
    const int nBaudRate = LeadingDecimal(choice.strBaudRate);
    const int nOpened = choice.strPortPath.empty() ? m_channel.OpenPort(PortNumberOf(strPort), nBaudRate)
                                                   : m_channel.OpenPortPath(choice.strPortPath, nBaudRate);
    // Each line ends, so that received text starts on a line of its own.
    StartTerminalSession();
    if (nOpened) {
        m_view.OnPortButtonState(true);
        Log("串口打开正常:" + strPort + "," + strLine + "\r\n", kLogRed);
        return true;
    }
    m_view.OnPortButtonState(false);
    Log("串口打开失败!\r\n", kLogRed);
    return false;
}

bool CLoader::OnOpenClosePort(const CPortChoice& choice)
{
    // The run owns the channel while it lasts.
    if (!m_bIdle.load())
        return false;
    if (m_channel.m_bOpen) {
        m_channel.ClosePort();
        Log(EndTerminalSession() + "串口关闭正常!\r\n", kLogRed);
        m_view.OnPortButtonState(false);
        return false;
    }
    return OpenSelectedPort(choice);
}
