// vantrel-sim: the simulated device on a pseudo-terminal, for demos, manual
// runs and benchmarks. Runs until SIGINT/SIGTERM (or a leave-IAP command with
// --exit-after-leave).
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <climits>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "core/StandardStreams.h"
#include "core/Version.h"
#include "sim/CDeviceSimulator.h"
#include "sim/SimOptions.h"

namespace {
constexpr const char* kFooter = R"(Values: command codes and byte values are hex (c2, 0x55); addresses,
lengths and counts are decimal unless written with 0x.

Protocol: IAP frames FE CODE b2..b7 CRC16hi CRC16lo (codes 03 identify,
02 enter, E3 query, EC leave; others refused with AA; a wrong CRC is
answered AA). Flash commands C1 set address, C2 write two bytes, C3 write
one byte, CA read N (0 = 256) carry an 8-bit sum; a wrong sum is answered
00 0D and nothing is stored. Other bytes are dropped as line noise. Memory is
16 MiB, starts as FF and wraps at FFFFFF. A command takes effect only when
its reply status is the accepted one (55, or Cx for flash).

Faults (--fault CODE:KIND[=ARG][@K], repeatable; hits the K-th frame with
that code, default the 1st, so a later run on the same device works):
  refuse      IAP status AA / flash status 00; not carried out
  malformed   IAP status 00 / flash status 7F; not carried out
  badcrc      IAP reply with its CRC inverted; carried out
  silent      no reply; carried out
  cut=N       only the first N reply bytes; carried out
  garbage=N   N bytes of A5 before the reply; carried out
  vanish      the line closes (the host sees the far end gone); not carried out
Examples: --fault c2:silent@100  --fault 03:refuse  --fault ca:cut=5
          --fault e3:garbage=3   --fault ec:vanish

Fault counters (@K) and --silent-after count frames from start, bad
checksums included; a hung device still takes frames in but does nothing.
A refused command (bad sum, refused write, fault, a --status override
without a high nibble of C) stores nothing and leaves the address as it was;
such a flash reply is just status and closing byte. IAP replies keep their
data under --status. After a vanish the process runs on without a line until
SIGINT/SIGTERM.)";

struct CArguments {
    std::string m_strAppVersion = "1.0.0";
    std::string m_strFwVersion = "1.0.0";
    int m_nBaudRate = 0;
    std::string m_strAdapter = "none";
    int m_nRxBuffer = 0;
    int m_nWriteUs = 0;
    std::string m_strLink;
    bool m_bQuiet = false;
    bool m_bTrace = false;
    bool m_bExitAfterLeave = false;
    bool m_bFlashNeedsIap = false;
    bool m_bEraseOnEnter = false;
    bool m_bTtyDefaults = false;
    bool m_bEcho = false;
    std::string m_strAppBanner;
    std::string m_strDump;
    std::string m_strDumpRange;
    int m_nSilentAfter = -1;
    std::vector<std::string> m_vecFaults;
    std::vector<std::string> m_vecStatus;
    std::vector<std::string> m_vecRefused;
    std::vector<std::string> m_vecCorrupt;
    std::vector<std::string> m_vecLoad;
};

bool Fail(const std::string& strText)
{
    std::fprintf(stderr, "vantrel-sim: %s\n", strText.c_str());
    return false;
}

bool BuildConfig(const CArguments& args, CSimConfig& config)
{
    if (!ParseVersion(args.m_strAppVersion, config.m_appVersion))
        return Fail("bad --app-version '" + args.m_strAppVersion + "' (expected A.B.C)");
    if (!ParseVersion(args.m_strFwVersion, config.m_fwVersion))
        return Fail("bad --fw-version '" + args.m_strFwVersion + "' (expected A.B.C)");
    config.m_nBaudRate = args.m_nBaudRate;
    if (!ParseAdapter(args.m_strAdapter, config.m_eAdapter, config.m_nLatencyMs))
        return Fail("bad --adapter '" + args.m_strAdapter + "' (expected ftdi, ftdi:MS with MS 1-255, cdc or none)");
    config.m_nRxBuffer = args.m_nRxBuffer;
    config.m_nWriteUs = args.m_nWriteUs;
    config.m_strLinkPath = args.m_strLink;
    config.m_nSilentAfter = args.m_nSilentAfter;
    config.m_bFlashNeedsIapMode = args.m_bFlashNeedsIap;
    config.m_bEraseOnEnter = args.m_bEraseOnEnter;
    config.m_bTrace = args.m_bTrace;
    config.m_bTtyDefaults = args.m_bTtyDefaults;
    config.m_bEcho = args.m_bEcho;
    if (!ParseByteText(args.m_strAppBanner, config.m_vecAppBanner))
        return Fail("bad --app-banner '" + args.m_strAppBanner + "' (a backslash starts \\xHH or \\\\ only)");
    config.m_bRecordFrames = false;  // nobody asks for them here; long runs stay small
    for (const std::string& strFault : args.m_vecFaults) {
        CSimFault fault;
        std::string strError;
        if (!ParseFault(strFault, fault, strError))
            return Fail("bad --fault " + strError);
        config.m_vecFaults.push_back(fault);
    }
    for (const std::string& strStatus : args.m_vecStatus) {
        uint8_t nCode = 0, nStatus = 0;
        if (!ParseStatus(strStatus, nCode, nStatus))
            return Fail("bad --status '" + strStatus + "' (expected CODE=STATUS, hex)");
        config.m_mapStatus[nCode] = nStatus;
    }
    for (const std::string& strAddress : args.m_vecRefused) {
        uint32_t nAddress = 0;
        if (!ParseNumber(strAddress, kSimMemorySize - 1, nAddress))
            return Fail("bad --refuse-write '" + strAddress + "'");
        config.m_vecRefusedWrites.push_back(nAddress);
    }
    for (const std::string& strCorrupt : args.m_vecCorrupt) {
        CCorruptByte corrupt;
        if (!ParseCorrupt(strCorrupt, corrupt))
            return Fail("bad --corrupt '" + strCorrupt + "' (expected ADDR or ADDR=VALUE)");
        config.m_vecCorrupt.push_back(corrupt);
    }
    return true;
}

bool LoadFiles(const std::vector<std::string>& vecLoads, CDeviceSimulator& simulator)
{
    for (const std::string& strLoad : vecLoads) {
        std::string strPath = strLoad;
        uint32_t nAddress = 0;
        const size_t nAt = strLoad.rfind('@');
        if (nAt != std::string::npos) {
            strPath = strLoad.substr(0, nAt);
            if (!ParseNumber(strLoad.substr(nAt + 1), kSimMemorySize - 1, nAddress))
                return Fail("bad --load address in '" + strLoad + "'");
        }
        std::ifstream file(strPath, std::ios::binary);
        if (!file)
            return Fail("cannot read " + strPath);
        const std::vector<uint8_t> vecData {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
        if (vecData.size() > kSimMemorySize)
            return Fail(strPath + " is larger than the 16 MiB memory");
        simulator.WriteMemory(nAddress, vecData);
    }
    return true;
}

// Whether strPath can be written (replaced, or created in its folder),
// without touching it.
bool CanWriteFile(const std::string& strPath, std::string& strProblem)
{
    struct stat info {};
    if (::stat(strPath.c_str(), &info) == 0) {
        if (S_ISDIR(info.st_mode)) {
            strProblem = "it is a folder";
            return false;
        }
        if (::access(strPath.c_str(), W_OK) != 0) {
            strProblem = std::strerror(errno);
            return false;
        }
        return true;
    }
    const size_t nSlash = strPath.rfind('/');
    const std::string strFolder = nSlash == std::string::npos ? "." : nSlash == 0 ? "/" : strPath.substr(0, nSlash);
    if (::access(strFolder.c_str(), W_OK | X_OK) != 0) {
        strProblem = strFolder + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

// Waits for SIGINT/SIGTERM, or for a leave-IAP command when asked to.
void WaitForEnd(const sigset_t& signals, bool bExitAfterLeave, CDeviceSimulator& simulator, bool bQuiet)
{
    const timespec tick {0, 20'000'000};
    for (;;) {
        const int nSignal = sigtimedwait(&signals, nullptr, &tick);
        if (nSignal > 0)
            return;
        if (bExitAfterLeave && simulator.LeaveCount() > 0) {
            // Let the host read the reply: closing the line would discard it.
            simulator.Flush(2000);
            if (!bQuiet)
                std::fprintf(stderr, "vantrel-sim: leave-IAP answered, exiting\n");
            return;
        }
    }
}
}  // namespace

int main(int argc, char** argv)
{
    OpenStandardStreams();
    IgnoreBrokenPipes();
    CArguments args;
    CLI::App app {"vantrel-sim: a simulated IAP device on a pseudo-terminal"};
    app.name("vantrel-sim");
    app.footer(kFooter);
    app.set_version_flag("--version", std::string("vantrel-sim ") + kVantrelVersion);
    app.add_option("--app-version", args.m_strAppVersion, "Application version A.B.C given by identify (03)")
        ->capture_default_str();
    app.add_option("--fw-version", args.m_strFwVersion, "Firmware version A.B.C given by query IAP mode (E3)")
        ->capture_default_str();
    app.add_option("--baud", args.m_nBaudRate,
                   "Emulate line time at N bit/s, 10 bits a byte, full duplex (default: "
                   "answer at once)")
        ->check(CLI::Range(0, 100'000'000));
    app.add_option("--adapter", args.m_strAdapter,
                   "USB adapter in the way: ftdi[:MS] (replies leave in packets of 62 bytes or after the "
                   "latency timer, MS ms, default 16), cdc (1 ms frames both ways) or none")
        ->capture_default_str();
    app.add_option("--rx-buffer", args.m_nRxBuffer,
                   "The device holds N received bytes it has not handled; a byte arriving when it is full is "
                   "lost, as in a UART overrun (default: no limit)")
        ->check(CLI::Range(0, 1 << 20));
    app.add_option("--write-us", args.m_nWriteUs,
                   "The device is busy N microseconds with each write command (C2, C3) before it answers, and "
                   "keeps receiving meanwhile (default 0)")
        ->check(CLI::Range(0, 10'000'000));
    app.add_option("--link", args.m_strLink,
                   "Also make a symlink PATH to the slave (replaced if present, removed at exit)");
    app.add_flag("--quiet", args.m_bQuiet, "Print nothing but the device line and errors");
    app.add_flag("--trace", args.m_bTrace, "Print each received frame and reply in hex on stderr");
    app.add_flag("--exit-after-leave", args.m_bExitAfterLeave,
                 "Exit once a leave-IAP command (EC) has been answered and read");
    app.add_option("--dump", args.m_strDump, "Write the memory image to FILE at exit");
    app.add_option("--dump-range", args.m_strDumpRange,
                   "START:LEN: dump only this part of memory (default all 16 MiB)");
    app.add_option("--load", args.m_vecLoad,
                   "FILE[@ADDR]: put FILE into memory at ADDR (default 0) before serving; "
                   "repeatable")
        ->allow_extra_args(false);
    app.add_option("--fault", args.m_vecFaults, "CODE:KIND[=ARG][@K]: a one-shot fault, see below; repeatable")
        ->allow_extra_args(false);
    app.add_option("--status", args.m_vecStatus,
                   "CODE=STATUS: every reply to CODE carries STATUS (e.g. e3=12, c2=b0); "
                   "repeatable")
        ->allow_extra_args(false);
    app.add_option("--refuse-write", args.m_vecRefused,
                   "ADDR: a C2/C3 write touching ADDR answers 00 and stores nothing; "
                   "repeatable")
        ->allow_extra_args(false);
    app.add_option("--corrupt", args.m_vecCorrupt,
                   "ADDR[=VALUE]: the byte at ADDR reads back (CA) as hex VALUE, or inverted "
                   "without one; repeatable")
        ->allow_extra_args(false);
    app.add_option("--silent-after", args.m_nSilentAfter, "Answer N commands, then nothing more (a hung device)")
        ->check(CLI::Range(0, INT_MAX));
    app.add_flag("--tty-defaults", args.m_bTtyDefaults,
                 "Leave the line at a new tty's kernel defaults (echo, XON/XOFF, CR/NL mapping), as a "
                 "freshly plugged USB adapter has it, instead of making it raw");
    app.add_option("--app-banner", args.m_strAppBanner,
                   "TEXT: after leaving IAP mode the application sends TEXT and CR LF, and again every second "
                   "until it enters IAP mode; \\xHH stands for any byte (\\xD6\\xD0\\xCE\\xC4 is 中文 in code page "
                   "936), \\\\ for a backslash");
    app.add_flag("--echo", args.m_bEcho,
                 "Outside IAP mode the application sends back every byte that starts no command (typed text, "
                 "for a terminal to show)");
    app.add_flag("--erase-on-enter", args.m_bEraseOnEnter,
                 "Clear the whole memory to FF each time IAP mode is entered (a device that erases its "
                 "application then: a read gives FF, a verify finds differences)");
    app.add_flag("--flash-needs-iap", args.m_bFlashNeedsIap,
                 "Refuse flash commands (status 00) outside IAP mode (default: answer them)");
    CLI11_PARSE(app, argc, argv);

    CSimConfig config;
    uint32_t nDumpStart = 0, nDumpLength = kSimMemorySize;
    if (!BuildConfig(args, config))
        return 2;
    if (!args.m_strDumpRange.empty() && !ParseRange(args.m_strDumpRange, nDumpStart, nDumpLength)) {
        Fail("bad --dump-range '" + args.m_strDumpRange + "' (expected START:LEN)");
        return 2;
    }

    // Signals are taken synchronously; the serving thread inherits the mask.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    // A dump that cannot be written would only fail after the whole session.
    std::string strDumpProblem;
    if (!args.m_strDump.empty() && !CanWriteFile(args.m_strDump, strDumpProblem)) {
        Fail("cannot write --dump " + args.m_strDump + ": " + strDumpProblem);
        return 2;
    }

    CDeviceSimulator simulator(config);
    if (!LoadFiles(args.m_vecLoad, simulator))
        return 2;
    std::string strError;
    if (!simulator.Start(&strError)) {
        Fail("cannot start: " + strError);
        return 1;
    }
    std::string strLine = "vantrel-sim: device on " + simulator.SlavePath();
    if (!args.m_strLink.empty())
        strLine += " (link " + args.m_strLink + ")";
    std::printf("%s\n", strLine.c_str());
    std::fflush(stdout);

    WaitForEnd(signals, args.m_bExitAfterLeave, simulator, args.m_bQuiet);
    simulator.Stop();
    if (!args.m_strDump.empty()) {
        if (!simulator.DumpMemory(args.m_strDump, nDumpStart, nDumpLength)) {
            Fail("cannot write " + args.m_strDump);
            return 1;
        }
        if (!args.m_bQuiet)
            std::fprintf(stderr, "vantrel-sim: memory written to %s\n", args.m_strDump.c_str());
    }
    if (!args.m_bQuiet)
        std::fprintf(stderr, "vantrel-sim: %d commands served\n", simulator.CommandCount());
    return 0;
}
