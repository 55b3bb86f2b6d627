// vantrel-cli: the download engine without a window, for scripts and
// production lines. Its log is the dialog's log, line for line.
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <thread>

#include <CLI/CLI.hpp>
#include <fmt/format.h>
#include <unistd.h>

#include "app/TextNumber.h"
#include "cli/CConsoleView.h"
#include "cli/CliCommands.h"
#include "download/CLoader.h"

namespace {

// One exit status per class of outcome, so a script can tell them apart.
constexpr int kExitSuccess = 0;
constexpr int kExitUsage = 2;
constexpr int kExitFile = 3;
constexpr int kExitConnection = 4;
constexpr int kExitWrite = 5;
constexpr int kExitVerify = 6;
constexpr int kExitDisconnect = 7;
constexpr int kExitCancelled = 8;

const char* kExitHelp =
    "Exit status of download:\n"
    "  0  the image was written, verified without difference, and the device left IAP mode\n"
    "  2  usage error (unknown option, missing file argument, bad version text)\n"
    "  3  the file: not found, not readable, rejected by its reader, or not .hex/.asc\n"
    "  4  the connection: port, identify/enter/query refused, version not permitted,\n"
    "     downgrade declined\n"
    "  5  a block write failed\n"
    "  6  the verify pass found differences or could not read the device\n"
    "  7  the device did not leave IAP mode\n"
    "  8  cancelled (Ctrl-C)\n";

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

// Ctrl-C asks the run to stop before its next block; a second one ends the
// program at once (the system releases the port with the process).
class CInterruptWatcher {
public:
    CInterruptWatcher(CLoader& loader, CConsoleView& view) : m_loader(loader), m_view(view)
    {
        m_thread = std::thread([this] { Watch(); });
    }
    ~CInterruptWatcher()
    {
        m_bDone = true;
        m_thread.join();
    }
    CInterruptWatcher(const CInterruptWatcher&) = delete;
    CInterruptWatcher& operator=(const CInterruptWatcher&) = delete;

private:
    void Watch()
    {
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, SIGINT);
        sigaddset(&set, SIGTERM);
        const timespec tick {0, 100 * 1000 * 1000};
        int nCount = 0;
        while (!m_bDone) {
            if (sigtimedwait(&set, nullptr, &tick) < 0)
                continue;
            if (++nCount == 1) {
                m_view.Note("stopping before the next block (Ctrl-C again to quit at once)");
                m_loader.RequestStop();
            } else {
                ::_exit(kExitCancelled);
            }
        }
    }

    CLoader& m_loader;
    CConsoleView& m_view;
    std::atomic<bool> m_bDone{false};
    std::thread m_thread;
};

// "A.B.C" with three numbers of 0 to 255.
bool ParseVersionText(const std::string& strText, int& nMajor, int& nMinor, int& nPatch)
{
    unsigned a = 0, b = 0, c = 0;
    char cExtra = 0;
    if (std::sscanf(strText.c_str(), "%u.%u.%u%c", &a, &b, &c, &cExtra) != 3 || a > 255 || b > 255 || c > 255)
        return false;
    nMajor = static_cast<int>(a);
    nMinor = static_cast<int>(b);
    nPatch = static_cast<int>(c);
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    // Signals are taken by the watcher thread, never by a worker.
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);

    CLI::App app {"vantrel-cli: write a firmware file into a device over a serial line and verify it"};
    app.require_subcommand(1);
    app.footer(kExitHelp);

    CDownloadOptions download;
    std::string strVersion;
    bool bYes = false;
    bool bNo = false;
    CLI::App* pDownload = app.add_subcommand("download", "Write FILE into the device, read it back and compare");
    pDownload->add_option("file", download.strFile, "Intel HEX (.hex) or ASC (.asc) firmware file")->required();
    pDownload->add_option("--port", download.strPort, "COMn, AUTOCHECK or a device path (default: the dialog's settings file)");
    pDownload->add_option("--baud", download.nBaudRate, "bit rate (default: the settings file)")->check(CLI::PositiveNumber);
    pDownload->add_option("--burn-type", download.nBurnType, "0 programmer firmware, 1 emulator firmware, 2 program")
        ->check(CLI::Range(0, 2));
    pDownload->add_option("--version", strVersion, "version A.B.C of the file being written");
    pDownload->add_flag("--chip-check", download.bChipCheck, "ask the device to check the chip type (burn type 2)");
    CLI::Option* pSupport = pDownload->add_option("--support-version", download.strSupportVersion,
                                                  "permitted firmware versions, e.g. 1.2.* (default: the settings file)");
    auto* pYes = pDownload->add_flag("--yes", bYes, "answer Yes to the question whether to write an older version");
    pDownload->add_flag("--no", bNo, "answer No to that question")->excludes(pYes);
    pDownload->add_option("--ini", download.strIni, "settings file to read instead of the dialog's (never written)");
    pDownload->footer(kExitHelp);

    std::string strInfoFile;
    CLI::App* pInfo = app.add_subcommand("info", "Load FILE as a download would and list the addresses it covers");
    pInfo->add_option("file", strInfoFile, "Intel HEX (.hex) or ASC (.asc) firmware file")->required();

    std::string strPortsIni;
    CLI::App* pPorts = app.add_subcommand("ports", "List the serial ports the port search finds");
    pPorts->add_option("--ini", strPortsIni, "settings file to use instead of the one beside the program");

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        std::fprintf(stderr, "vantrel-cli: %s\n", e.what());
        return kExitUsage;
    }

    if (pInfo->parsed())
        return RunInfo(strInfoFile);
    if (pPorts->parsed())
        return RunPorts(strPortsIni);

    if (!strVersion.empty() &&
        !ParseVersionText(strVersion, download.nVerMajor, download.nVerMinor, download.nVerPatch)) {
        std::fprintf(stderr, "vantrel-cli: bad version text '%s': expected A.B.C, each 0 to 255\n", strVersion.c_str());
        return kExitUsage;
    }
    download.bSupportVersionGiven = pSupport->count() > 0;
    CConsoleView view(bYes ? EAnswer::kYes : bNo ? EAnswer::kNo : EAnswer::kAsk);
    CRunInputs inputs;
    std::string strError;
    if (!PrepareDownload(download, inputs, strError)) {
        std::fprintf(stderr, "vantrel-cli: %s\n", strError.c_str());
        return kExitUsage;
    }
    CLoader loader(view);
    CInterruptWatcher watcher(loader, view);
    loader.OnStartButton(inputs);
    loader.WaitForRun();
    return ExitStatusOf(loader.LastRunEnd());
}
