// vantrel-cli: the download engine without a window, for scripts and
// production lines. Its log is the dialog's log, line for line.
#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>

#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include "core/FileSystem.h"
#include "core/TextNumber.h"
#include "core/Version.h"
#include "core/StandardStreams.h"
#include "cli/Console.h"
#include "cli/CConsoleView.h"
#include "cli/CSignalWatcher.h"
#include "cli/CliCommands.h"
#include "cli/Monitor.h"
#include "cli/MonitorText.h"
#include "cli/Outcomes.h"
#include "cli/PlugTracker.h"
#include "cli/PortsDownload.h"
#include "cli/WatchDownload.h"
#include "cli/CsvReport.h"
#include "serial/ComPortMap.h"
#include "download/CLoader.h"

namespace {

// --ini must name a settings file that can be read as text: a missing
// file, a folder, a FIFO or a binary file would otherwise give silent
// defaults, or a read that never ends.
std::string CheckSettingsFile(const std::string& strPath)
{
    std::string strError;
    switch (PathKindOf(strPath, strError)) {
    case EPathKind::kMissing: return strPath + ": No such file or directory";
    case EPathKind::kUnknown: return strPath + ": " + strError;
    case EPathKind::kFolder: return strPath + ": is a folder, not a settings file";
    case EPathKind::kOther: return strPath + ": is not a regular file";
    case EPathKind::kRegularFile: break;
    }
    CInputFile file;
    if (!file.Open(strPath, strError))
        return strPath + ": " + strError;
    char buffer[64 * 1024];
    const long nRead = file.Read(buffer, sizeof buffer);
    if (nRead < 0)
        return strPath + ": cannot be read";
    if (std::memchr(buffer, '\0', static_cast<size_t>(nRead)))
        return strPath + ": is not a text file";
    return std::string();
}

const CLI::Validator kSettingsFile(CheckSettingsFile, "FILE");

// A bit rate the driver can be asked for.
const CLI::Validator kBitRate(
    [](const std::string& strText) {
        int nValue = 0;
        const auto [pEnd, error] = std::from_chars(strText.data(), strText.data() + strText.size(), nValue);
        if (error != std::errc() || pEnd != strText.data() + strText.size() || nValue <= 0)
            return "the bit rate must be a positive whole number of bits per second, e.g. 115200 (not '" + strText +
                   "')";
        return std::string();
    },
    "BITS/S");

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

const CLI::Validator kVersionText(
    [](const std::string& strText) {
        int nMajor = 0, nMinor = 0, nPatch = 0;
        return ParseVersionText(strText, nMajor, nMinor, nPatch)
                   ? std::string()
                   : "bad version text '" + strText + "': expected A.B.C, each 0 to 255";
    },
    "A.B.C");

// A load address: 0x and hexadecimal digits, or decimal digits.
const CLI::Validator kLoadAddressText(
    [](const std::string& strText) {
        return ParseLoadAddress(strText) ? std::string()
                                         : "bad address '" + strText +
                                               "': expected 0x and hexadecimal digits or a decimal number, below 4 GiB";
    },
    "ADDR");

// The file argument and --address of download, verify and info, from the table of formats.
void AddFileOptions(CLI::App& command, std::string& strFile, std::string& strAddress)
{
    command.add_option("file", strFile, FirmwareFormatsText() + " firmware file")->required();
    command
        .add_option("--address", strAddress,
                    "where the first byte of a raw binary (.bin) file goes, 0x8000 or 32768; required for a .bin "
                    "and refused for the other formats, which carry their own addresses")
        ->check(kLoadAddressText);
}

// The permitted versions: three fields, each a number of 0 to 255 or "*".
// The engine reads any text somehow ("1.2" permits 0.1.2), so a typing
// error would permit versions nobody meant.
const CLI::Validator kPermittedVersions(
    [](const std::string& strText) {
        size_t nFields = 0;
        bool bGood = true;
        for (size_t nStart = 0; bGood && nStart <= strText.size(); ++nFields) {
            const size_t nEnd = std::min(strText.find('.', nStart), strText.size());
            const std::string_view field = std::string_view(strText).substr(nStart, nEnd - nStart);
            unsigned nValue = 0;
            const auto [pEnd, error] = std::from_chars(field.data(), field.data() + field.size(), nValue);
            bGood = field == "*" ||
                    (!field.empty() && error == std::errc() && pEnd == field.data() + field.size() && nValue <= 255);
            nStart = nEnd + 1;
        }
        if (bGood && nFields == 3)
            return std::string();
        return "bad permitted versions '" + strText + "': expected three fields, each 0 to 255 or *, e.g. 1.2.*";
    },
    "A.B.C");

// A glob the watch can match with: a "[" set must be closed.
const CLI::Validator kPortFilter(PortFilterProblem, "GLOB");

// COMn, AUTOCHECK (any case) or a device path.
const CLI::Validator kPortText(
    [](const std::string& strText) {
        int nNumber = 0;
        if (ParseComName(strText, nNumber) || EqualsNoCase(strText, "AUTOCHECK") || IsDevicePathText(strText))
            return std::string();
        return "bad port '" + strText + "': expected COMn, AUTOCHECK or a device path";
    },
    "PORT");

// The options of one download, as parsed.
struct CDownloadCommand {
    CDownloadOptions options;
    std::vector<std::string> vecPorts;
    std::string strVersion;
    std::string strAddress;
    bool bYes = false;
    bool bNo = false;
    bool bJson = false;
    std::string strReport;
    bool bWatch = false;
    SWatchOptions watch;
    CLI::Option* pSupport = nullptr;
    bool bMonitor = false;
    CMonitorOptions monitor;
    std::string strEol = "crlf";
};

// The options of `monitor`.
struct CMonitorCommand {
    CDownloadOptions port;  // the port, the bit rate and the settings file only
    CMonitorOptions options;
    std::string strEol = "crlf";
};

const char* const kMonitorKeys =
    "Keys: what you type is shown until Enter sends it, in code page 936, with the line end of\n"
    "--eol; Backspace takes back a character, Ctrl-U the line. Ctrl-] or Ctrl-C ends the monitor\n"
    "and leaves the terminal as it was. Without a terminal, standard input is sent line by line,\n"
    "and its end ends the monitor once the device has gone quiet.";

// How the monitor shows and sends, for `monitor` and for `download --monitor`;
// pNeeds: the option these need, or none.
void AddMonitorOptions(CLI::App* pApp, CMonitorOptions& options, std::string& strEol, CLI::Option* pNeeds)
{
    std::vector<CLI::Option*> vecAdded;
    vecAdded.push_back(pApp->add_flag("--hex", options.bHex, "show what the device sends as hex byte pairs"));
    vecAdded.push_back(pApp->add_option("--eol", strEol,
                                        "line end sent after each typed line: cr, lf or crlf "
                                        "(default crlf)")
                           ->check(CLI::IsMember({"cr", "lf", "crlf"})));
    vecAdded.push_back(
        pApp->add_flag("--timestamps", options.bTimestamps, "start each received line with the time it began"));
    vecAdded.push_back(
        pApp->add_option("--log", options.strLog, "also append what is shown of the device's output to FILE")
            ->type_name("FILE"));
    if (pNeeds) {
        for (CLI::Option* pOption : vecAdded)
            pOption->needs(pNeeds);
    }
}

// A range to read: START:END or START+LENGTH.
const CLI::Validator kAddressRange(
    [](const std::string& strText) {
        SAddressRange range;
        std::string strError;
        return ParseAddressRange(strText, range, strError) ? std::string() : strError;
    },
    "START:END");

// Said in the help of read and verify, and in the README.
constexpr const char* kKeepsApplicationCaution =
    "Caution: some devices clear their application when they enter IAP mode. read and verify are meant for\n"
    "devices that keep it; on the others a read gives erased memory and a verify fails with differences.\n\n";

// What read and verify tell the device of --version: nothing is written.
constexpr const char* kIdentifyVersionHelp =
    "version A.B.C the identify names to the device, as a download of that version would";

// The options that choose the device and how it is connected, shared by
// download, read and verify (the port apart: download takes several).
void AddConnectionOptions(CLI::App* pCommand, CDownloadOptions& options, std::string& strVersion,
                          CLI::Option*& pSupport, const char* pVersionHelp)
{
    pCommand->add_option("--baud", options.nBaudRate, "bit rate (default: the settings file)")->check(kBitRate);
    pCommand->add_option("--burn-type", options.nBurnType, "0 programmer firmware, 1 emulator firmware, 2 program")
        ->check(CLI::Range(0, 2));
    pCommand->add_option("--version", strVersion, pVersionHelp)->check(kVersionText);
    pCommand->add_flag("--chip-check", options.bChipCheck, "ask the device to check the chip type (burn type 2)");
    pSupport = pCommand
                   ->add_option("--support-version", options.strSupportVersion,
                                "permitted firmware versions, three fields each 0 to 255 or *, e.g. "
                                "1.2.* (default: the settings file); not checked with --burn-type 2")
                   ->check(kPermittedVersions);
    pCommand->add_option("--ini", options.strIni, "settings file to read instead of the dialog's (never written)")
        ->check(kSettingsFile);
}

CLI::App* SetUpDownload(CLI::App& app, CDownloadCommand& command)
{
    CDownloadOptions& download = command.options;
    CLI::App* pDownload = app.add_subcommand("download", "Write FILE into the device, read it back and compare");
    AddFileOptions(*pDownload, download.strFile, command.strAddress);
    auto* pPort = pDownload
                      ->add_option("--port", command.vecPorts,
                                   "COMn, AUTOCHECK or a device path (default: the dialog's settings file); given "
                                   "more than once, the ports are written at once")
                      ->check(kPortText);
    auto* pWatch = pDownload
                       ->add_flag("--watch", command.bWatch,
                                  "wait for serial devices to be plugged in and write each new one, once until it "
                                  "is unplugged, until Ctrl-C; a path the settings file pins counts when it appears")
                       ->excludes(pPort);
    pDownload
        ->add_option("--port-filter", command.watch.strPortFilter,
                     "with --watch: only devices whose path or name matches GLOB, e.g. 'ttyUSB*' or 'COM1?'")
        ->check(kPortFilter)
        ->needs(pWatch);
    pDownload
        ->add_flag("--include-present", command.watch.bIncludePresent,
                   "with --watch: also write the devices present at the start")
        ->needs(pWatch);
    AddConnectionOptions(pDownload, download, command.strVersion, command.pSupport,
                         "version A.B.C of the file being written");
    auto* pYes =
        pDownload->add_flag("--yes", command.bYes, "answer Yes to the question whether to write an older version");
    pDownload->add_flag("--no", command.bNo, "answer No to that question")->excludes(pYes);
    pDownload->add_flag("--json", command.bJson,
                        "write JSON Lines on standard output instead of the log: start, log, progress, result and "
                        "summary events");
    pDownload->add_option("--report", command.strReport,
                          "append a CSV row per port to FILE.csv: UTC time, port, USB serial number, file, its "
                          "SHA-256, result, bytes, seconds");
    pDownload
        ->add_option("--window", download.nWindow,
                     "send up to N flash commands ahead of their replies (default: key SendAhead of the settings "
                     "file, else 1, the strict exchange); for USB adapters that hold replies back, see the README")
        ->check(CLI::Range(1, kMaxWindow));
    auto* pMonitor = pDownload
                         ->add_flag("--monitor", command.bMonitor,
                                    "after a download that went through, go on from the same port at the same "
                                    "bit rate and show what the application prints, as `monitor` does, "
                                    "until Ctrl-C; the exit status stays the download's")
                         ->excludes(pWatch);
    AddMonitorOptions(pDownload, command.monitor, command.strEol, pMonitor);
    pDownload->footer(ExitStatusHelp());
    return pDownload;
}

CLI::App* SetUpMonitor(CLI::App& app, CMonitorCommand& command)
{
    CLI::App* pMonitor =
        app.add_subcommand("monitor", "Show what the device sends and send it what you type, a line at a time");
    pMonitor->add_option("--port", command.port.strPort, "COMn or a device path")->check(kPortText)->required();
    pMonitor->add_option("--baud", command.port.nBaudRate, "bit rate (default: the settings file)")->check(kBitRate);
    AddMonitorOptions(pMonitor, command.options, command.strEol, nullptr);
    pMonitor->add_option("--ini", command.port.strIni, "settings file to read instead of the dialog's (never written)")
        ->check(kSettingsFile);
    pMonitor->footer(std::string(kMonitorKeys) +
                     "\n\nExit status: 0 when you ended it, 2 for a usage error, 4 when the port cannot be\n"
                     "opened or goes away.");
    return pMonitor;
}

// The options of a read or a verify, as parsed: one port, never a question.
struct CDeviceCommand {
    CDownloadOptions options;
    std::string strPort;
    std::vector<std::string> vecRanges;
    std::string strVersion;
    std::string strAddress;  // verify: where a raw binary file's first byte goes
    CLI::Option* pSupport = nullptr;
    bool bJson = false;
};

void AddJsonOption(CLI::App* pCommand, bool& bJson)
{
    pCommand->add_flag("--json", bJson,
                       "write JSON Lines on standard output instead of the log: start, log, progress, result and "
                       "summary events, as download writes them");
}

CLI::App* SetUpRead(CLI::App& app, CDeviceCommand& command)
{
    command.options.eKind = ERunKind::kRead;
    CLI::App* pRead =
        app.add_subcommand("read", "Read address ranges of the device into FILE; nothing is written to the device");
    pRead
        ->add_option("--port", command.strPort,
                     "COMn, AUTOCHECK or a device path (default: the dialog's settings file)")
        ->check(kPortText);
    pRead
        ->add_option("--range", command.vecRanges,
                     "START:END (END exclusive: 0x0000:0x0800 reads 2 KiB) or START+LENGTH; repeatable, the ranges "
                     "must not overlap")
        ->check(kAddressRange)
        ->required();
    pRead
        ->add_option(
            "-o,--output", command.options.strFile,
            "the file to make, its format chosen by its ending: .hex (Intel HEX), .bin (raw bytes of one "
            "range), .srec/.s19/.s28/.s37/.mot (Motorola S-record); written only when the whole read succeeded")
        ->required();
    AddConnectionOptions(pRead, command.options, command.strVersion, command.pSupport, kIdentifyVersionHelp);
    AddJsonOption(pRead, command.bJson);
    pRead->footer(std::string(kKeepsApplicationCaution) + ExitStatusHelp());
    return pRead;
}

CLI::App* SetUpVerify(CLI::App& app, CDeviceCommand& command)
{
    command.options.eKind = ERunKind::kVerify;
    CLI::App* pVerify = app.add_subcommand(
        "verify", "Compare the device with FILE, block by block, writing nothing; exit 0 when it holds the file, 6 "
                  "when it differs");
    AddFileOptions(*pVerify, command.options.strFile, command.strAddress);
    pVerify
        ->add_option("--port", command.strPort,
                     "COMn, AUTOCHECK or a device path (default: the dialog's settings file)")
        ->check(kPortText);
    AddConnectionOptions(pVerify, command.options, command.strVersion, command.pSupport, kIdentifyVersionHelp);
    AddJsonOption(pVerify, command.bJson);
    pVerify
        ->add_option("--window", command.options.nWindow,
                     "send up to N reads ahead of their replies (default: key SendAhead of the settings file, else 1)")
        ->check(CLI::Range(1, kMaxWindow));
    pVerify->footer(std::string(kKeepsApplicationCaution) + ExitStatusHelp());
    return pVerify;
}

CLI::App* SetUpInfo(CLI::App& app, std::string& strFile, std::string& strAddress)
{
    CLI::App* pInfo = app.add_subcommand("info", "Load FILE as a download would and list the addresses it covers");
    AddFileOptions(*pInfo, strFile, strAddress);
    return pInfo;
}

CLI::App* SetUpPorts(CLI::App& app, std::string& strIni)
{
    CLI::App* pPorts = app.add_subcommand("ports", "List the serial ports the port search finds");
    pPorts->add_option("--ini", strIni, "settings file to use instead of the one beside the program")
        ->check(kSettingsFile);
    return pPorts;
}

// One run on one port, its log on standard output; Ctrl-C stops it before
// its next block. pMonitor: after a download that went through, the same
// port is monitored (its output into pMonitorLog too, when given).
int RunOnePort(const CDownloadOptions& options, EAnswer answer, CSignalWatcher& signals,
               const CMonitorOptions* pMonitor = nullptr, std::FILE* pMonitorLog = nullptr)
{
    CConsoleView view(answer);
    CLoader loader(view);
    CRunInputs inputs;
    std::string strError;
    std::string strNote;
    if (int nExit = kExitUsage; !PrepareDownload(options, loader.ComPorts(), inputs, strError, nExit, strNote)) {
        WriteToolLine(strError);
        return nExit;
    }
    const CMonitorPort monitorPort = MonitorPortOf(inputs, loader.ComPorts());
    if (pMonitor && monitorPort.strName.empty()) {
        WriteToolLine("--monitor follows one port, and AUTOCHECK names none: give the port");
        return kExitUsage;
    }
    if (!strNote.empty())
        view.Note(strNote);
    view.SetInterruptFd(signals.InterruptFd());
    signals.OnFirstSignal([&] {
        view.Note("stopping before the next block (Ctrl-C again to quit at once)");
        loader.RequestStop();
    });
    loader.OnStartButton(inputs);
    loader.WaitForRun();
    signals.OnFirstSignal(nullptr);
    // A stop request that ended the run (the question it answered No
    // included) is a cancel; a run that went through anyway stands.
    const int nExit = ExitStatusOf(EndAfterStop(loader.LastRunEnd(), signals.Interrupted()));
    // The application starts once the device has left IAP mode; an operator
    // who asked to stop meanwhile wants no monitor.
    if (pMonitor && loader.LastRunEnd() == ERunEnd::kSuccess && !signals.Interrupted())
        MonitorPort(monitorPort, *pMonitor, pMonitorLog, signals);
    return nExit;
}

int RunDownload(CDownloadCommand& command, CSignalWatcher& signals)
{
    CDownloadOptions& download = command.options;
    if (!command.strAddress.empty())
        download.nLoadAddress = ParseLoadAddress(command.strAddress);
    // Before any port is looked at: a file that cannot be placed is the
    // command line's mistake.
    if (std::string strError; !CheckLoadAddress(download.strFile, download.nLoadAddress, strError)) {
        WriteToolLine(strError);
        return kExitUsage;
    }
    if (!command.strVersion.empty())
        ParseVersionText(command.strVersion, download.nVerMajor, download.nVerMinor, download.nVerPatch);
    download.bSupportVersionGiven = command.pSupport->count() > 0;
    // A program's version is not checked against the permitted ones; said
    // once, so that nobody relies on the option there.
    if (download.bSupportVersionGiven && download.nBurnType == 2)
        WriteToolLine("--support-version has no effect with --burn-type 2: the device's version is not checked");
    if (std::string strError; !CheckDistinctPorts(download, command.vecPorts, strError)) {
        WriteToolLine(strError);
        return kExitUsage;
    }
    // The monitor shows one device, and the application's output is text,
    // not events.
    if (command.bMonitor && (command.vecPorts.size() > 1 || command.bJson || !command.strReport.empty())) {
        WriteToolLine("--monitor follows one download: give one port, without --json and --report");
        return kExitUsage;
    }
    command.monitor.strLineEnd = MonitorLineEnd(command.strEol);
    CFilePtr pMonitorLog;
    if (std::string strError; command.bMonitor && !OpenMonitorLog(command.monitor, pMonitorLog, strError)) {
        WriteToolLine(strError);
        return kExitUsage;
    }
    const EAnswer answer = command.bYes ? EAnswer::kYes : command.bNo ? EAnswer::kNo : EAnswer::kAsk;
    // A traceability record takes the several-port run even for one port:
    // its rows come from the summary's results.
    if (command.bWatch || command.vecPorts.size() > 1 || command.bJson || !command.strReport.empty()) {
        const EConsoleFormat format = command.bJson ? EConsoleFormat::kJson : EConsoleFormat::kText;
        // A report that cannot be appended to is found before any device is
        // touched, not after a line of boards has been flashed unrecorded.
        if (std::string strError; !command.strReport.empty() && !CheckReportWritable(command.strReport, strError)) {
            WriteToolLine(strError);
            return kExitUsage;
        }
        if (command.bWatch)
            return CWatch(download, command.watch, answer, format, command.strReport).Run(signals);
        const std::vector<std::string> vecPorts =
            command.vecPorts.empty() ? std::vector<std::string> {std::string()} : command.vecPorts;
        return RunPortsDownload(download, vecPorts, answer, format, command.strReport, signals);
    }
    if (!command.vecPorts.empty())
        download.strPort = command.vecPorts.front();
    return RunOnePort(download, answer, signals, command.bMonitor ? &command.monitor : nullptr, pMonitorLog.get());
}

int RunDeviceCommand(CDeviceCommand& command, CSignalWatcher& signals)
{
    CDownloadOptions& options = command.options;
    if (!command.strVersion.empty())
        ParseVersionText(command.strVersion, options.nVerMajor, options.nVerMinor, options.nVerPatch);
    options.bSupportVersionGiven = command.pSupport->count() > 0;
    options.strPort = command.strPort;
    if (!command.strAddress.empty())
        options.nLoadAddress = ParseLoadAddress(command.strAddress);
    if (std::string strError;
        options.eKind == ERunKind::kVerify && !CheckLoadAddress(options.strFile, options.nLoadAddress, strError)) {
        WriteToolLine(strError);
        return kExitUsage;
    }
    for (const std::string& strRange : command.vecRanges) {
        std::string strError;
        ParseAddressRange(strRange, options.vecRanges.emplace_back(), strError);
    }
    // A read that could not be kept is refused before the device is touched.
    if (std::string strError; options.eKind == ERunKind::kRead && RangesOverlap(options.vecRanges, strError)) {
        WriteToolLine(strError);
        return kExitUsage;
    }
    if (std::string strError;
        options.eKind == ERunKind::kRead && !OutputTakes(options.strFile, options.vecRanges.size(), strError)) {
        WriteToolLine(options.strFile + ": " + strError);
        return kExitUsage;
    }
    // Nothing is written, so the engine asks no question about an older
    // version; were one asked, No is the safe answer.
    if (command.bJson)
        return RunPortsDownload(options, {options.strPort}, EAnswer::kNo, EConsoleFormat::kJson, std::string(),
                                signals);
    return RunOnePort(options, EAnswer::kNo, signals);
}

}  // namespace

int main(int argc, char** argv)
{
    // Before anything is opened: a closed standard stream must not become
    // the port, and a reader that goes away must not kill a run mid-protocol.
    OpenStandardStreams();
    IgnoreBrokenPipes();
    PrepareConsole();
    // Ctrl-C, SIGTERM and SIGHUP are taken by the watcher alone, for the whole run of
    // the program; threads started later inherit the mask.
    BlockTerminationSignals();
    CSignalWatcher signals(kExitCancelled);

    CLI::App app {"vantrel-cli: write a firmware file into a device over a serial line and verify it; read a device "
                  "into a file, or compare it with one"};
    app.name("vantrel-cli");
    app.require_subcommand(1);
    app.footer(std::string("vantrel-cli --version, on its own, prints the program's version.\n\n") + ExitStatusHelp());
    CDownloadCommand download;
    CMonitorCommand monitor;
    CDeviceCommand read;
    CDeviceCommand verify;
    std::string strInfoFile;
    std::string strInfoAddress;
    std::string strPortsIni;
    CLI::App* pDownload = SetUpDownload(app, download);
    CLI::App* pRead = SetUpRead(app, read);
    CLI::App* pVerify = SetUpVerify(app, verify);
    CLI::App* pInfo = SetUpInfo(app, strInfoFile, strInfoAddress);
    CLI::App* pPorts = SetUpPorts(app, strPortsIni);
    CLI::App* pMonitor = SetUpMonitor(app, monitor);
    std::vector<std::string> args = CommandLineArguments(argc, argv);
    // The program's own version only when asked on its own: in a mistyped
    // command ("donwload fw.hex --version 1.2.3") it is the file's version,
    // and a script must not take the answer for a finished download.
    if (!args.empty() && args.front() == "--version") {
        if (args.size() == 1) {
            std::printf("vantrel-cli %s\n", kVantrelVersion);
            return kExitSuccess;
        }
        WriteToolLine("--version is asked on its own, without other arguments");
        return kExitUsage;
    }
    const auto isSubcommand = [&](const std::string& strWord) {
        return pDownload->check_name(strWord) || pRead->check_name(strWord) || pVerify->check_name(strWord) ||
               pInfo->check_name(strWord) || pPorts->check_name(strWord) || pMonitor->check_name(strWord);
    };
    if (!args.empty() && !args.front().starts_with('-') && !isSubcommand(args.front())) {
        WriteToolLine("\'" + args.front() + "\' is not a subcommand: download, read, verify, monitor, info or ports");
        return kExitUsage;
    }
    try {
        // CLI11 takes the arguments last first.
        std::reverse(args.begin(), args.end());
        app.parse(args);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        WriteToolLine(e.what());
        return kExitUsage;
    }
    if (pInfo->parsed())
        return RunInfo(strInfoFile, SLoadOptions {ParseLoadAddress(strInfoAddress)}, kExitFile);
    if (pPorts->parsed())
        return RunPorts(strPortsIni);
    if (pMonitor->parsed()) {
        monitor.options.strLineEnd = MonitorLineEnd(monitor.strEol);
        return RunMonitor(monitor.port, monitor.options, signals);
    }
    if (pRead->parsed())
        return RunDeviceCommand(read, signals);
    if (pVerify->parsed())
        return RunDeviceCommand(verify, signals);
    return RunDownload(download, signals);
}
