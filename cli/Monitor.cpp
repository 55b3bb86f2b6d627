#include "cli/Monitor.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>

#include <fmt/format.h>

#include "cli/CConsoleView.h"
#include "cli/CSignalWatcher.h"
#include "cli/MonitorText.h"
#include "download/FirmwareReader.h"
#include "serial/CSerialLink.h"
#include "serial/ComPortMap.h"

namespace {

// How long one wait for the keyboard lasts: what arrives from the device
// meanwhile waits at most this long to be shown.
constexpr int kTickMs = 20;
// Once standard input has ended, the device's answer is still shown until
// the line has been quiet this long (at most the link's time-out in all).
constexpr auto kDrainQuiet = std::chrono::milliseconds(250);

// Standard output with the line being typed drawn after what the device sent:
// received text goes in front of it, and it is drawn again after.
class CMonitorScreen {
public:
    explicit CMonitorScreen(bool bShowTyped) : m_bShowTyped(bShowTyped) {}

    void ShowReceived(const std::string& strText)
    {
        if (strText.empty())
            return;
        std::string strOut = EraseTyped();
        strOut += strText;
        strOut += DrawTyped();
        Write(strOut);
    }
    void ShowTyped(const std::string& strTyped)
    {
        if (!m_bShowTyped || strTyped == m_strTyped)
            return;
        std::string strOut = EraseTyped();
        m_strTyped = strTyped;
        strOut += DrawTyped();
        Write(strOut);
    }

private:
    std::string EraseTyped()
    {
        std::string strOut;
        if (m_nDrawnColumns > 0)
            strOut = fmt::format("\033[{}D\033[K", m_nDrawnColumns);
        m_nDrawnColumns = 0;
        return strOut;
    }
    std::string DrawTyped()
    {
        const std::string strShown = ShownFileText(m_strTyped, std::string::npos);
        m_nDrawnColumns = TextColumns(strShown);
        return strShown;
    }
    static void Write(const std::string& strOut)
    {
        std::fwrite(strOut.data(), 1, strOut.size(), stdout);
        std::fflush(stdout);
    }

    const bool m_bShowTyped;
    std::string m_strTyped;
    size_t m_nDrawnColumns = 0;
};

}  // namespace

bool OpenMonitorLog(const CMonitorOptions& options, CFilePtr& pLog, std::string& strError)
{
    pLog.reset();
    if (options.strLog.empty())
        return true;
    std::string strReason;
    pLog = OpenAppendFile(options.strLog, strReason);
    if (!pLog)
        strError = fmt::format("cannot open the log {}: {}", options.strLog, strReason);
    return pLog != nullptr;
}

CMonitorPort MonitorPortOf(const CRunInputs& inputs, const CComPortMap& comPorts)
{
    CMonitorPort port;
    port.nBaudRate = std::atoi(inputs.port.strBaudRate.c_str());
    if (!inputs.port.strPortPath.empty()) {
        port.strPath = port.strName = inputs.port.strPortPath;
    } else if (inputs.port.nPortIndex >= 0 && inputs.port.nPortIndex < kAutoCheckIndex) {
        port.nNumber = inputs.port.nPortIndex + 1;
        port.strName = ComName(port.nNumber);
        port.strPath = comPorts.Path(port.nNumber);
    }
    return port;
}

int MonitorPort(const CMonitorPort& port, const CMonitorOptions& options, std::FILE* pLog, CSignalWatcher& signals)
{
    CSerialLink link;
    link.SetLineParameters(port.nBaudRate, 0, 0, 8, 0);
    if (!link.Open(port.nNumber, port.strPath)) {
        WriteToolLine(fmt::format("cannot open {}: {}", port.strName, link.GetLastFailure()));
        return kExitConnection;
    }
    std::atomic<bool> bStop {false};
    signals.OnFirstSignal([&] { bStop = true; });
    const bool bKeys = BeginKeyInput();
    WriteToolLine(fmt::format("monitoring {} at {} bit/s; {} ends it", port.strName, port.nBaudRate,
                              bKeys ? "Ctrl-] or Ctrl-C" : "the end of standard input or Ctrl-C"));
    // The line being typed is drawn and taken back with cursor sequences;
    // where output takes none, it is typed unseen.
    CMonitorScreen screen(bKeys && EnableOutputSequences());
    CReceivedText received(options.bHex, options.bTimestamps);
    CTypedLine typed;
    const auto show = [&](const std::string& strText) {
        screen.ShowReceived(strText);
        if (pLog && !strText.empty()) {
            std::fwrite(strText.data(), 1, strText.size(), pLog);
            std::fflush(pLog);
        }
    };
    int nExit = kExitSuccess;
    bool bInput = true;
    auto lastActivity = std::chrono::steady_clock::now();
    auto inputEnded = lastActivity;
    while (!bStop.load()) {
        std::string strIn;
        std::vector<std::string> vecLines;
        if (!bInput) {
            std::this_thread::sleep_for(std::chrono::milliseconds(kTickMs));
        } else if (ReadInput(kTickMs, strIn) == EInputRead::kEnd) {
            bInput = false;
            inputEnded = lastActivity = std::chrono::steady_clock::now();
        }
        if (bKeys && typed.TakeKeys(strIn, vecLines))
            bStop = true;
        else if (!bKeys)
            typed.TakeText(strIn, vecLines);
        if (std::string strRest; !bInput && typed.TakeRest(strRest))
            vecLines.push_back(strRest);
        for (const std::string& strLine : vecLines) {
            const std::string strBytes = MonitorLineBytes(strLine, options.strLineEnd);
            if (!link.Write(reinterpret_cast<const uint8_t*>(strBytes.data()), static_cast<int>(strBytes.size()))) {
                WriteToolLine(fmt::format("cannot send to {}: {}", port.strName, link.GetLastFailure()));
                nExit = kExitConnection;
                bStop = true;
                break;
            }
        }
        screen.ShowTyped(typed.Text());
        uint8_t buffer[4096];
        int n = 0;
        while ((n = link.ReadAvailable(buffer, sizeof buffer)) > 0) {
            show(received.Take(buffer, static_cast<size_t>(n), options.bTimestamps ? MonitorTimeStamp() : ""));
            lastActivity = std::chrono::steady_clock::now();
        }
        if (n < 0) {
            show(received.Finish());
            WriteToolLine(fmt::format("{} is gone: {}", port.strName, link.GetLastFailure()));
            nExit = kExitConnection;
            break;
        }
        // Nobody reads what would be shown: as after "| head".
        if (StandardOutputClosed())
            break;
        const auto now = std::chrono::steady_clock::now();
        if (!bInput &&
            (now - lastActivity >= kDrainQuiet || now - inputEnded >= std::chrono::milliseconds(kLinkTimeoutMs)))
            break;
    }
    screen.ShowTyped(std::string());
    show(received.Finish());
    EndKeyInput();
    signals.OnFirstSignal(nullptr);
    return nExit;
}

int RunMonitor(const CDownloadOptions& portOptions, const CMonitorOptions& options, CSignalWatcher& signals)
{
    std::string strError;
    CFilePtr pLog;
    if (!OpenMonitorLog(options, pLog, strError)) {
        WriteToolLine(strError);
        return kExitUsage;
    }
    CComPortMap comPorts;
    CRunInputs inputs;
    std::string strNote;
    if (int nExit = kExitUsage; !PrepareDownload(portOptions, comPorts, inputs, strError, nExit, strNote)) {
        WriteToolLine(strError);
        return nExit;
    }
    const CMonitorPort port = MonitorPortOf(inputs, comPorts);
    if (port.strName.empty()) {
        WriteToolLine("the monitor watches one port, and AUTOCHECK names none: give the port");
        return kExitUsage;
    }
    if (!strNote.empty())
        WriteToolLine(strNote);
    return MonitorPort(port, options, pLog.get(), signals);
}
