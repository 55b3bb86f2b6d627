// vantrel-cli end to end, against vantrel-sim on a pseudo-terminal: both run
// as the programs a production line would run.
#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <sstream>
#include <thread>

#include <fmt/format.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sys/ioctl.h>
#include <sys/stat.h>

#include "CliFixtures.h"
#include "common/ChildProcess.h"
#include "common/HexWriter.h"
#include "common/PtyPair.h"
#include "common/SrecWriter.h"
#include "common/TempDir.h"
#include "SimProcess.h"
#include "core/Sha256.h"
#include "serial/CSerialLink.h"

namespace {

// The whole log of a download of strFile by path that went through.
std::string SuccessfulLog(const std::string& strFile)
{
    return "##  the cmdcheckid is ok!\n"
           "-- Downloading file " +
           strFile +
           " ...\n"
           "-- Verifying ...\n"
           "-- Verify successfully.\n"
           "##  the disconnect is ok!\n"
           "-- Download successfully.\n";
}

TEST(CliDownload, WritesTheFileIntoTheDeviceWithTheDialogsLog)
{
    CTempDir dir;
    CSimProcess sim(dir, {});
    ASSERT_TRUE(sim.Ready());
    const Bytes data = Pattern(5000);
    const std::string strFile = dir.Write("firmware.hex", HexFile(0x2F000, data, 32));
    const CCliResult result = RunCli({"download", strFile, "--port", sim.Link(), "--support-version", "*.*.*"});
    EXPECT_EQ(result.nExit, 0) << result.strOut << result.strErr;
    EXPECT_EQ(result.strOut, SuccessfulLog(strFile));
    EXPECT_TRUE(sim.PortReleased());
    EXPECT_EQ(sim.StopAndDump(0x2F000, data.size()), data);
}

// A raw binary goes where --address puts it, and an S-record file where its
// records say; on several ports at once each device gets the same image.
TEST(CliDownload, RawBinaryAndSrecordFilesReachTheDevice)
{
    const Bytes data = Pattern(1000);
    struct Case {
        const char* pName;
        std::string strContent;
        std::vector<std::string> extra;
        uint32_t nAt;
        int nPorts;
    };
    const Case cases[] = {
        {"app.bin", std::string(data.begin(), data.end()), {"--address", "0x1F008"}, 0x1F008, 1},
        {"app.BIN", std::string(data.begin(), data.end()), {"--address", "4096"}, 0x1000, 2},
        {"app.s37", SrecFile(0x2000F0, data, 32), {}, 0x2000F0, 1},
        {"app.mot", SrecFile(0x300, data), {}, 0x300, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pName);
        std::vector<std::unique_ptr<CTempDir>> dirs;
        std::vector<std::unique_ptr<CSimProcess>> sims;
        for (int i = 0; i < c.nPorts; ++i) {
            dirs.push_back(std::make_unique<CTempDir>());
            sims.push_back(std::make_unique<CSimProcess>(*dirs.back(), std::vector<std::string> {}));
            ASSERT_TRUE(sims.back()->Ready());
        }
        const std::string strFile = dirs[0]->Write(c.pName, c.strContent);
        std::vector<std::string> args = {"download", strFile, "--support-version", "*.*.*"};
        for (const auto& pSim : sims)
            args.insert(args.end(), {"--port", pSim->Link()});
        args.insert(args.end(), c.extra.begin(), c.extra.end());
        const CCliResult result = RunCli(args);
        EXPECT_EQ(result.nExit, 0) << result.strOut << result.strErr;
        if (c.nPorts == 1) {
            EXPECT_EQ(result.strOut, SuccessfulLog(strFile));
        }
        for (const auto& pSim : sims)
            EXPECT_EQ(pSim->StopAndDump(c.nAt, data.size()), data);
    }
}

// --address belongs to a raw binary: missing there, given elsewhere or
// unreadable, the command line is refused before any device is touched.
TEST(CliDownload, AddressIsRequiredForABinaryAndRefusedForTheOtherFormats)
{
    CTempDir dir;
    CSimProcess sim(dir, {});
    ASSERT_TRUE(sim.Ready());
    const std::string strBin = dir.Write("app.bin", "\x12\x34");
    const std::string strHex = dir.Write("app.hex", HexFile(0x100, Pattern(16)));
    const std::string strSrec = dir.Write("app.s19", SrecFile(0x100, Pattern(16)));
    struct Case {
        std::vector<std::string> args;
        std::string strError;
    };
    const Case cases[] = {
        {{"download", strBin}, strBin + ": a raw binary file holds no address: give --address, e.g. --address 0x8000"},
        {{"download", strBin, "--port", sim.Link(), "--port", sim.Link() + "x"}, ""},
        {{"download", strHex, "--address", "0x100"},
         strHex + ": --address is for raw binary files only; Intel HEX files carry their own addresses"},
        {{"download", strSrec, "--address", "0"}, ""},
        {{"download", strBin, "--address", "0x100000000"}, ""},
        {{"download", strBin, "--address", "0x"}, ""},
        {{"download", strBin, "--address", "-16"}, ""},
        {{"download", strBin, "--watch", "--include-present"}, ""},
        {{"info", strBin}, ""},
        {{"info", strSrec, "--address", "0x100"}, ""},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = c.args;
        if (std::find(args.begin(), args.end(), "--port") == args.end() &&
            std::find(args.begin(), args.end(), "--watch") == args.end() && args[0] == "download")
            args.insert(args.end(), {"--port", sim.Link()});
        SCOPED_TRACE(fmt::format("{}", fmt::join(args, " ")));
        const CCliResult result = RunCli(args, 10000);
        EXPECT_EQ(result.nExit, 2) << result.strOut << result.strErr;
        EXPECT_TRUE(result.strOut.empty()) << result.strOut;
        EXPECT_EQ(std::count(result.strErr.begin(), result.strErr.end(), '\n'), 1) << result.strErr;
        if (!c.strError.empty()) {
            EXPECT_EQ(result.strErr, "vantrel-cli: " + c.strError + "\n");
        }
    }
    EXPECT_TRUE(sim.PortReleased());
    EXPECT_EQ(sim.StopAndDump(0x100, 2), (Bytes {0xFF, 0xFF})) << "nothing was written";
}

TEST(CliDownload, ExitStatusTellsEachOutcomeApart)
{
    struct Case {
        const char* pName;
        std::vector<std::string> simArgs;
        std::vector<std::string> cliArgs;  // after the file and the port
        const char* pFile;                 // name of the fixture, "" for a missing one
        int nExit;
        const char* pLastLine;
    };
    const Case cases[] = {
        {"file missing", {}, {}, "", 3, "## File not found: "},
        {"no format it reads", {}, {}, "firmware.elf", 3, "## The file "},
        {"version not permitted",
         {"--fw-version", "2.0.0"},
         {"--support-version", "1.*.*"},
         "firmware.hex",
         4,
         "##  当前的固件版本[2.0.0]没有升级的权限，禁止升级 !\n"},
        {"downgrade declined",
         {"--app-version", "3.0.0"},
         {"--burn-type", "2", "--version", "2.0.0", "--no"},
         "firmware.hex",
         4,
         "##  the Verion is too old not to update IAP !\n"},
        {"write refused",
         {"--refuse-write", "0x100"},
         {},
         "firmware.hex",
         5,
         "++  Write error:Addr=000100H,Offset=0x000100,Len=10H\n"},
        {"verify differences",
         {"--corrupt", "0x105"},
         {},
         "firmware.hex",
         6,
         "## Download failed: the verify pass found differences.\n"},
        {"leave refused", {"--fault", "ec:refuse"}, {}, "firmware.hex", 7, "## Flash  disconnect  Error !\n"},
        {"downgrade accepted",
         {"--app-version", "3.0.0"},
         {"--burn-type", "2", "--version", "2.0.0", "--yes"},
         "firmware.hex",
         0,
         "-- Download successfully.\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pName);
        CTempDir dir;
        CSimProcess sim(dir, c.simArgs);
        ASSERT_TRUE(sim.Ready());
        dir.Write("firmware.hex", HexFile(0x100, Pattern(64)));
        dir.Write("firmware.elf", "not firmware");
        std::vector<std::string> args {"download", dir.Path(*c.pFile ? c.pFile : "missing.hex"), "--port", sim.Link()};
        if (c.cliArgs.empty() || c.cliArgs[0] != "--support-version")
            args.insert(args.end(), {"--support-version", "*.*.*"});
        args.insert(args.end(), c.cliArgs.begin(), c.cliArgs.end());
        const CCliResult result = RunCli(args);
        EXPECT_EQ(result.nExit, c.nExit) << result.strOut << result.strErr;
        const size_t nLast = result.strOut.rfind('\n', result.strOut.size() - 2);
        const std::string strLast = result.strOut.substr(nLast == std::string::npos ? 0 : nLast + 1);
        EXPECT_EQ(strLast.rfind(c.pLastLine, 0), 0u) << result.strOut;
        EXPECT_TRUE(sim.PortReleased());
    }
}

TEST(CliDownload, UsageErrorsExitWithTwoAndOneLine)
{
    for (const std::vector<std::string>& args :
         std::vector<std::vector<std::string>> {{"download"},
                                                {"download", "x.hex", "--bogus"},
                                                {"download", "x.hex", "--version", "1.2"},
                                                {"download", "x.hex", "--version", "1.2.300"},
                                                {"download", "x.hex", "--port", "LPT1"},
                                                {"download", "x.hex", "--baud", "0"},
                                                {"download", "x.hex", "--ini", "/no/such/settings.Ini"},
                                                {"download", "x.hex", "--ini", "/"},
                                                {"download", "x.hex", "--ini", VANTREL_CLI_EXE},
                                                {"ports", "--ini", "/"},
                                                // Permitted versions the engine would read as something else.
                                                {"download", "x.hex", "--support-version", "x.y"},
                                                {"download", "x.hex", "--support-version", "abc"},
                                                {"download", "x.hex", "--support-version", ""},
                                                {"download", "x.hex", "--support-version", "1.2"},
                                                {"download", "x.hex", "--support-version", "1.2.3.4"},
                                                {"download", "x.hex", "--support-version", "1.2.256"},
                                                {"download", "x.hex", "--support-version", "1..*"},
                                                {"download", "x.hex", "--support-version", "1.-2.*"},
                                                {"download", "x.hex", "--watch", "--port-filter", "["},
                                                {"download", "x.hex", "--watch", "--port-filter", "ttyUSB[0-3"},
                                                // A mistyped subcommand is no question for the version.
                                                {"donwload", "x.hex", "--port", "/dev/null", "--version", "1.2.3"},
                                                {"--version", "download"},
                                                {"download", "x.hex", "--port", "AUTOCHECK", "--port", "/dev/null"},
                                                {"download", "x.hex", "--port", "/dev/null", "--port", "autocheck"}}) {
        const CCliResult result = RunCli(args);
        EXPECT_EQ(result.nExit, 2) << args.back();
        EXPECT_TRUE(result.strOut.empty());
        EXPECT_EQ(std::count(result.strErr.begin(), result.strErr.end(), '\n'), 1) << result.strErr;
    }
}

// The exit statuses of `download --help`: status -> its text, continuation
// lines joined.
std::map<int, std::string> HelpStatuses()
{
    const CCliResult help = RunCli({"download", "--help"});
    EXPECT_EQ(help.nExit, 0);
    std::map<int, std::string> statuses;
    std::istringstream lines(help.strOut.substr(help.strOut.find("Exit status of download")));
    int nStatus = -1;
    for (std::string strLine; std::getline(lines, strLine);) {
        if (strLine.size() > 5 && strLine.starts_with("  ") && std::isdigit(static_cast<unsigned char>(strLine[2])))
            statuses[nStatus = strLine[2] - '0'] = strLine.substr(5);
        else if (nStatus >= 0 && strLine.starts_with("     "))
            statuses[nStatus] += " " + strLine.substr(5);
    }
    return statuses;
}

// What the help says of each outcome is what the program does: the outcome's
// exit status is the one under which the help names it.
TEST(CliDownload, HelpNamesEachOutcomeUnderItsExitStatus)
{
    const std::map<int, std::string> statuses = HelpStatuses();
    ASSERT_EQ(statuses.size(), 9u);
    struct Case {
        const char* pSaid;  // words of the help's text for the outcome
        std::vector<std::string> simArgs;
        std::vector<std::string> cliArgs;  // %f the file, %p the simulator's port
    };
    const Case cases[] = {
        {"a port that is not there", {}, {"download", "%f", "--port", "COM99"}},
        {"a path that leads nowhere", {}, {"download", "%f", "--port", "/no/such/tty"}},
        {"does not open", {}, {"download", "%f", "--port", "/dev/null"}},
        {"entering IAP mode or the query refused", {"--fault", "02:refuse"}, {"download", "%f", "--port", "%p"}},
        {"entering IAP mode or the query refused", {"--fault", "e3:refuse"}, {"download", "%f", "--port", "%p"}},
        {"one device named twice", {}, {"download", "%f", "--port", "%p", "--port", "%p"}},
        {"unknown option or subcommand", {}, {"donwload", "%f", "--port", "%p", "--version", "1.2.3"}},
        {"permitted versions", {}, {"download", "%f", "--port", "%p", "--support-version", "1.2"}},
        {"port filter", {}, {"download", "%f", "--watch", "--port-filter", "["}},
        {"holding no data", {}, {"download", "%e", "--port", "%p"}},
        {"the image was written", {}, {"download", "%f", "--port", "%p"}},
        {"a read command failed", {"--fault", "ca:silent"}, {"read", "--range", "0:64", "-o", "%o", "--port", "%p"}},
        {"verify pass found differences", {"--corrupt", "0x100"}, {"verify", "%f", "--port", "%p"}},
    };
    for (const Case& c : cases) {
        CTempDir dir;
        CSimProcess sim(dir, c.simArgs);
        ASSERT_TRUE(sim.Ready());
        std::vector<std::string> args;
        for (const std::string& strArg : c.cliArgs)
            args.push_back(strArg == "%f"   ? dir.Write("firmware.hex", HexFile(0x100, Pattern(64)))
                           : strArg == "%e" ? dir.Write("empty.hex", ":00000001FF\n")
                           : strArg == "%p" ? sim.Link()
                           : strArg == "%o" ? dir.Path("out.hex")
                                            : strArg);
        args.insert(args.end(), {"--support-version", "*.*.*"});
        const CCliResult result = RunCli(args);
        SCOPED_TRACE(std::string(c.pSaid) + " " + result.strOut + result.strErr);
        ASSERT_TRUE(statuses.contains(result.nExit)) << result.nExit;
        EXPECT_NE(statuses.at(result.nExit).find(c.pSaid), std::string::npos) << statuses.at(result.nExit);
    }
    // A refused identify is no end: the query decides, and the run goes on.
    CTempDir dir;
    CSimProcess sim(dir, {"--fault", "03:refuse"});
    ASSERT_TRUE(sim.Ready());
    const CCliResult result = RunCli({"download", dir.Write("firmware.hex", HexFile(0x100, Pattern(64))), "--port",
                                      sim.Link(), "--support-version", "*.*.*"});
    EXPECT_EQ(result.nExit, 0) << result.strOut;
    for (const auto& [nStatus, strText] : statuses) {
        if (strText.find("identify") != std::string::npos) {
            EXPECT_NE(strText.find("a refused identify is no end"), std::string::npos) << strText;
        }
    }
}

// With burn type 2 the device's version is not checked: permitted versions
// given anyway are said to have no effect, once however many ports there are.
TEST(CliDownload, PermittedVersionsWithBurnTypeTwoAreSaidToHaveNoEffectOnce)
{
    CTempDir first, second;
    CSimProcess firstSim(first, {});
    CSimProcess secondSim(second, {});
    ASSERT_TRUE(firstSim.Ready());
    ASSERT_TRUE(secondSim.Ready());
    const std::string strFile = first.Write("firmware.hex", HexFile(0x100, Pattern(64)));
    const CCliResult result = RunCli({"download", strFile, "--port", firstSim.Link(), "--port", secondSim.Link(),
                                      "--burn-type", "2", "--version", "9.9.9", "--yes", "--support-version", "1.*.*"});
    EXPECT_EQ(result.nExit, 0) << result.strOut << result.strErr;
    const std::string strNote = "--support-version has no effect with --burn-type 2";
    const size_t nAt = result.strErr.find(strNote);
    EXPECT_NE(nAt, std::string::npos) << result.strErr;
    EXPECT_EQ(result.strErr.find(strNote, nAt + 1), std::string::npos) << result.strErr;
    // Without the option, nothing is said.
    const CCliResult plain =
        RunCli({"download", strFile, "--port", firstSim.Link(), "--burn-type", "2", "--version", "9.9.9", "--yes"});
    EXPECT_EQ(plain.nExit, 0) << plain.strOut << plain.strErr;
    EXPECT_EQ(plain.strErr.find(strNote), std::string::npos) << plain.strErr;
}

TEST(ExampleFirmware, HelpIsHelpNotAFileName)
{
    CTempDir dir;
    ASSERT_EQ(::chdir(dir.Path("").c_str()), 0);
    CChildProcess help(VANTREL_EXAMPLE_EXE, {"--help"});
    EXPECT_EQ(help.Wait(5000), 0);
    EXPECT_NE(help.Out().find("usage:"), std::string::npos) << help.Out();
    CChildProcess bad(VANTREL_EXAMPLE_EXE, {"--bogus"});
    EXPECT_EQ(bad.Wait(5000), 2);
    EXPECT_FALSE(std::filesystem::exists(dir.Path("--help")));
    EXPECT_FALSE(std::filesystem::exists(dir.Path("--bogus")));
    ASSERT_EQ(::chdir("/"), 0);
}

TEST(CliDownload, CtrlCStopsTheRunWhileWritingAndWhileVerifying)
{
    struct Case {
        const char* pName;
        const char* pWaitFor;
        const char* pTail;
    };
    const Case cases[] = {
        {"writing", "-- Downloading file",
         " ...\n## Download stopped before it finished: the device is still in IAP mode.\n"},
        {"verifying", "-- Verifying ...\n", "## Download failed: the verify pass was cancelled.\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pName);
        CTempDir dir;
        // A slow line gives the test time to press Ctrl-C mid-pass.
        CSimProcess sim(dir, {"--baud", "57600"});
        ASSERT_TRUE(sim.Ready());
        const std::string strFile = dir.Write("firmware.hex", HexFile(0, Pattern(6 * 1024)));
        ::setenv("VANTREL_INI", VANTREL_TEST_INI, 1);
        CChildProcess cli(VANTREL_CLI_EXE, {"download", strFile, "--port", sim.Link(), "--support-version", "*.*.*"});
        ASSERT_TRUE(cli.WaitForOutput(c.pWaitFor, 60000)) << cli.Out();
        cli.Signal(SIGINT);
        EXPECT_EQ(cli.Wait(10000), 8) << cli.Out() << cli.Err();
        EXPECT_TRUE(cli.Out().ends_with(c.pTail)) << cli.Out();
        EXPECT_TRUE(sim.PortReleased());
    }
}

TEST(CliDownload, DeviceGoingSilentEndsTheRunInBoundedTime)
{
    CTempDir dir;
    CSimProcess sim(dir, {"--silent-after", "40"});
    ASSERT_TRUE(sim.Ready());
    const std::string strFile = dir.Write("firmware.hex", HexFile(0x100, Pattern(256)));
    const auto start = std::chrono::steady_clock::now();
    const CCliResult result = RunCli({"download", strFile, "--port", sim.Link(), "--support-version", "*.*.*"});
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(8));
    EXPECT_EQ(result.nExit, 5) << result.strOut;
    EXPECT_NE(result.strOut.find(": no reply within 2000 ms.\n++  Write error:Addr="), std::string::npos)
        << result.strOut;
    EXPECT_TRUE(sim.PortReleased());
}

TEST(CliDownload, SeveralPortsAtOnceEachWithItsOwnResult)
{
    // Four devices, one of which hangs after its identify and a few blocks;
    // each simulator in a folder of its own.
    std::vector<std::unique_ptr<CTempDir>> dirs;
    std::vector<std::unique_ptr<CSimProcess>> sims;
    for (int i = 0; i < 4; ++i) {
        dirs.push_back(std::make_unique<CTempDir>());
        sims.push_back(std::make_unique<CSimProcess>(
            *dirs.back(), i == 2 ? std::vector<std::string> {"--silent-after", "40"} : std::vector<std::string> {}));
        ASSERT_TRUE(sims.back()->Ready());
    }
    const Bytes data = Pattern(3072);
    const std::string strFile = dirs[0]->Write("firmware.hex", HexFile(0x4000, data, 32));
    std::vector<std::string> args = {"download", strFile, "--support-version", "*.*.*"};
    for (const auto& pSim : sims)
        args.insert(args.end(), {"--port", pSim->Link()});
    // The traceability record, in a file that already holds another day's rows.
    const std::string strReport = dirs[1]->Write("报告.csv", "utc_time,port\r\nearlier,row\r\n");
    args.insert(args.end(), {"--report", strReport});
    const CCliResult result = RunCli(args);

    // The highest class seen: the hung device's write failure.
    EXPECT_EQ(result.nExit, 5) << result.strOut << result.strErr;
    // Every device's log, whole lines under its port, in the single run's order.
    for (size_t i = 0; i < sims.size(); ++i) {
        const std::string strPrefix = sims[i]->Link() + ": ";
        std::string strLog;
        for (size_t nAt = result.strOut.find(strPrefix); nAt != std::string::npos;
             nAt = result.strOut.find(strPrefix, nAt + 1)) {
            if (nAt == 0 || result.strOut[nAt - 1] == '\n')
                strLog += result.strOut.substr(nAt + strPrefix.size(),
                                               result.strOut.find('\n', nAt) + 1 - nAt - strPrefix.size());
        }
        if (i == 2) {
            EXPECT_NE(strLog.find(": no reply within 2000 ms.\n++  Write error:Addr="), std::string::npos) << strLog;
            EXPECT_EQ(strLog.find("successfully"), std::string::npos) << strLog;
        } else {
            EXPECT_EQ(strLog, SuccessfulLog(strFile)) << result.strOut;
        }
    }
    // The summary: a header, then a row per port in the order given.
    const size_t nTable = result.strOut.find("port ");
    ASSERT_NE(nTable, std::string::npos) << result.strOut;
    std::istringstream table(result.strOut.substr(nTable));
    std::string strLine;
    std::getline(table, strLine);
    EXPECT_NE(strLine.find("result"), std::string::npos) << strLine;
    for (size_t i = 0; i < sims.size(); ++i) {
        ASSERT_TRUE(std::getline(table, strLine)) << result.strOut;
        std::istringstream row(strLine);
        std::string strPort, strClass, strVersion;
        long long nBytes = 0;
        double dSeconds = -1;
        row >> strPort >> strClass >> nBytes >> dSeconds >> strVersion;
        EXPECT_EQ(strPort, sims[i]->Link());
        EXPECT_EQ(strClass, i == 2 ? "write" : "success") << strLine;
        EXPECT_EQ(nBytes, static_cast<long long>(data.size())) << strLine;
        EXPECT_GE(dSeconds, 0) << strLine;
        EXPECT_EQ(strVersion, "1.0.0") << strLine;
    }
    EXPECT_FALSE(std::getline(table, strLine)) << strLine;
    // A row per device after the rows already there: the file named by its
    // SHA-256 (the FIPS 180-4 digest of the bytes written to it).
    std::ifstream report(strReport, std::ios::binary);
    std::string strReportText((std::istreambuf_iterator<char>(report)), std::istreambuf_iterator<char>());
    const std::string strEarlier = "utc_time,port\r\nearlier,row\r\n";
    ASSERT_EQ(strReportText.rfind(strEarlier, 0), 0u) << strReportText;
    // The rows come as the ports end, the hung device's last.
    std::istringstream rows(strReportText.substr(strEarlier.size()));
    std::vector<std::string> vecRows;
    for (std::string strRow; std::getline(rows, strRow);)
        vecRows.push_back(strRow);
    ASSERT_EQ(vecRows.size(), sims.size()) << strReportText;
    EXPECT_NE(vecRows.back().find("," + sims[2]->Link() + ","), std::string::npos) << strReportText;
    for (size_t i = 0; i < sims.size(); ++i) {
        const auto row = std::find_if(vecRows.begin(), vecRows.end(), [&](const std::string& strRow) {
            return strRow.find("," + sims[i]->Link() + ",") != std::string::npos;
        });
        ASSERT_NE(row, vecRows.end()) << strReportText;
        strLine = *row;
        const size_t nPort = strLine.find(',');
        ASSERT_EQ(nPort, 20u) << strLine;  // 2026-12-11T01:02:03Z
        EXPECT_EQ(strLine.substr(nPort), "," + sims[i]->Link() + ",," + strFile + "," +
                                             Sha256Hex(HexFile(0x4000, data, 32)) + "," +
                                             (i == 2 ? "write" : "success") + "," + std::to_string(data.size()) +
                                             strLine.substr(strLine.rfind(',')))
            << strLine;
        EXPECT_EQ(strLine.back(), '\r') << strLine;
    }
    // Three byte-exact memories; every port let go.
    for (size_t i = 0; i < sims.size(); ++i) {
        EXPECT_TRUE(sims[i]->PortReleased()) << i;
        const Bytes memory = sims[i]->StopAndDump(0x4000, data.size());
        if (i == 2)
            EXPECT_NE(memory, data);
        else
            EXPECT_EQ(memory, data) << i;
    }
}

// How often strText occurs in strIn.
size_t Occurrences(const std::string& strIn, const std::string& strText)
{
    size_t nCount = 0;
    for (size_t nAt = strIn.find(strText); nAt != std::string::npos; nAt = strIn.find(strText, nAt + 1))
        ++nCount;
    return nCount;
}

std::string ReadFile(const std::string& strPath)
{
    std::ifstream file(strPath, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

// A port that fails at its first block and one on a slow line: the first
// one's result and row go out while the other is still writing, and stay
// when a hang-up, or a second Ctrl-C, ends the program.
TEST(CliDownload, EachPortsResultGoesOutAsItEndsAndSurvivesAForcedQuit)
{
    const struct {
        const char* pName;
        std::vector<int> vecSignals;
    } cases[] = {
        {"hang-up", {SIGHUP}},
        {"Ctrl-C twice", {SIGINT, SIGINT}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.pName);
        CTempDir fastDir, slowDir, work;
        CSimProcess fast(fastDir, {"--refuse-write", "0"});
        CSimProcess slow(slowDir, {"--baud", "19200"});
        ASSERT_TRUE(fast.Ready() && slow.Ready());
        const Bytes data = Pattern(16 * 1024);
        const std::string strFile = work.Write("firmware.hex", HexFile(0, data, 32));
        const std::string strReport = work.Path("report.csv");
        ::setenv("VANTREL_INI", VANTREL_TEST_INI, 1);
        CChildProcess cli(VANTREL_CLI_EXE, {"download", strFile, "--support-version", "*.*.*", "--port", fast.Link(),
                                            "--port", slow.Link(), "--json", "--report", strReport});
        ASSERT_TRUE(cli.WaitForOutput("\"class\":\"write\"", 20000)) << cli.Out() << cli.Err();
        EXPECT_EQ(Occurrences(cli.Out(), "\"event\":\"result\""), 1u) << "the slow port is still writing";
        const std::string strRows = ReadFile(strReport);
        EXPECT_EQ(Occurrences(strRows, "\r\n"), 2u) << strRows;
        EXPECT_NE(strRows.find("," + fast.Link() + ",,"), std::string::npos) << strRows;
        for (const int nSignal : c.vecSignals)
            cli.Signal(nSignal);
        EXPECT_EQ(cli.Wait(20000), 8) << cli.Out() << cli.Err();

        // The failed port's result: nothing written of the whole image.
        std::istringstream lines(cli.Out());
        std::vector<nlohmann::json> results;
        for (std::string strLine; std::getline(lines, strLine);) {
            const nlohmann::json event = nlohmann::json::parse(strLine);
            if (event.at("event") == "result")
                results.push_back(event);
        }
        ASSERT_GE(results.size(), 1u) << cli.Out();
        EXPECT_EQ(results[0].at("port"), fast.Link());
        EXPECT_EQ(results[0].at("bytes"), data.size());
        EXPECT_EQ(results[0].at("bytes_written"), 0);
        const std::string strAfter = ReadFile(strReport);
        EXPECT_EQ(strAfter.rfind(strRows, 0), 0u) << strAfter;
        if (c.vecSignals.size() == 1) {
            // A hang-up stops the slow board before its next block.
            ASSERT_EQ(results.size(), 2u) << cli.Out();
            EXPECT_EQ(results[1].at("class"), "cancelled");
            EXPECT_LT(results[1].at("bytes_written").get<long long>(), static_cast<long long>(data.size()));
            EXPECT_NE(strAfter.find("," + slow.Link() + ",,"), std::string::npos) << strAfter;
            EXPECT_NE(cli.Out().find("\"event\":\"summary\""), std::string::npos) << cli.Out();
        }
        EXPECT_TRUE(fast.PortReleased());
    }
}

// The file named by the digest of what it held, an empty one by that of nothing.
TEST(CliDownload, AnEmptyFilesRowGivesTheDigestOfNothing)
{
    CTempDir dir;
    CSimProcess sim(dir, {});
    ASSERT_TRUE(sim.Ready());
    const std::string strReport = dir.Path("report.csv");
    const CCliResult result = RunCli({"download", dir.Write("empty.hex", ""), "--port", sim.Link(), "--support-version",
                                      "*.*.*", "--report", strReport});
    EXPECT_EQ(result.nExit, 3) << result.strOut << result.strErr;
    const std::string strRows = ReadFile(strReport);
    EXPECT_NE(strRows.find(",e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855,file,"),
              std::string::npos)
        << strRows;
}

// Names as hostile as file systems allow: an ESC never reaches the terminal
// raw, a line end in a name never ends a log line, and a port path that is
// not UTF-8 keeps its bytes in JSON.
TEST(CliDownload, HostileNamesStayInTheirLines)
{
    CTempDir dir;
    CSimProcess sim(dir, {});
    ASSERT_TRUE(sim.Ready());
    const Bytes data = Pattern(256);
    const std::string strEscFile = dir.Write("fw\x1b[2J\x1b]0;title\x07.hex", HexFile(0x100, data));
    const std::string strEscShown = dir.Path("fw\\x1B[2J\\x1B]0;title\\x07.hex");
    for (const bool bSeveral : {false, true}) {
        SCOPED_TRACE(bSeveral);
        std::vector<std::string> args {"download", strEscFile, "--port", sim.Link(), "--support-version", "*.*.*"};
        if (bSeveral)
            args.insert(args.end(), {"--report", dir.Path("report.csv")});
        const CCliResult result = RunCli(args);
        EXPECT_EQ(result.nExit, 0) << result.strOut << result.strErr;
        EXPECT_EQ(result.strOut.find('\x1b'), std::string::npos) << result.strOut;
        EXPECT_EQ(result.strOut.find('\x07'), std::string::npos) << result.strOut;
        EXPECT_NE(result.strOut.find("-- Downloading file " + strEscShown + " ...\n"), std::string::npos)
            << result.strOut;
    }

    // A line end in the file's name and a port path of bytes that are not UTF-8.
    const std::string strLineFile = dir.Write("two\nlines\r\n.hex", HexFile(0x100, data));
    const std::string strBadPort = dir.Path("tty\xff\xfe");
    ASSERT_EQ(::symlink(sim.Link().c_str(), strBadPort.c_str()), 0);
    const CCliResult result =
        RunCli({"download", strLineFile, "--port", strBadPort, "--support-version", "*.*.*", "--json"});
    EXPECT_EQ(result.nExit, 0) << result.strOut << result.strErr;
    std::string strHex;
    for (const char ch : strBadPort)
        strHex += fmt::format("{:02x}", static_cast<uint8_t>(ch));
    std::istringstream lines(result.strOut);
    std::vector<std::string> vecTexts;
    for (std::string strLine; std::getline(lines, strLine);) {
        const nlohmann::json event = nlohmann::json::parse(strLine);
        if (event.at("event") == "summary")
            continue;
        EXPECT_EQ(event.at("port_hex"), strHex) << strLine;
        if (event.at("event") == "log")
            vecTexts.push_back(event.at("text"));
    }
    EXPECT_NE(std::find(vecTexts.begin(), vecTexts.end(), "-- Downloading file " + strLineFile + " ..."),
              vecTexts.end())
        << result.strOut;
    EXPECT_EQ(std::find(vecTexts.begin(), vecTexts.end(), "lines"), vecTexts.end()) << result.strOut;
    EXPECT_EQ(sim.StopAndDump(0x100, data.size()), data);
}

// Progress on a terminal of 80 or 50 columns, from a port named as
// /dev/serial/by-id names one: every line drawn fits, so that the redraw
// takes back exactly what it drew, and names its pass.
TEST(CliDownload, ProgressLinesFitTheTerminal)
{
    CTempDir dir;
    CSimProcess sim(dir, {});
    ASSERT_TRUE(sim.Ready());
    const std::string strLong =
        dir.Path("usb-Silicon_Labs_CP2102N_USB_to_UART_Bridge_Controller_8c3a5f2b1e4ded11b2d7a1c3e1b6f2a9-if00-port0");
    ASSERT_GE(strLong.size(), 115u);
    ASSERT_EQ(::symlink(sim.Link().c_str(), strLong.c_str()), 0);
    const std::string strFile = dir.Write("firmware.hex", HexFile(0x100, Pattern(4096), 16));
    const struct {
        bool bSeveral;
        unsigned short nColumns;
    } cases[] = {{true, 80}, {true, 50}, {false, 50}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.nColumns) + (c.bSeveral ? " several" : " one"));
        CPtyPair terminal;
        const winsize size {24, c.nColumns, 0, 0};
        ASSERT_EQ(::ioctl(terminal.SlaveKeeper(), TIOCSWINSZ, &size), 0);
        std::vector<std::string> args {"download", strFile, "--port", strLong, "--support-version", "*.*.*"};
        if (c.bSeveral)
            args.insert(args.end(), {"--report", dir.Path("report.csv")});
        ::setenv("VANTREL_INI", VANTREL_TEST_INI, 1);
        CChildStreams streams;
        streams.strErrorPath = terminal.SlavePath();
        CChildProcess cli(VANTREL_CLI_EXE, args, streams);
        std::string strShown;
        int nExit = -1;
        for (int i = 0; i < 1000 && nExit == -1; ++i) {
            nExit = cli.Wait(20);
            const Bytes bytes = terminal.Receive(10);
            strShown.append(bytes.begin(), bytes.end());
        }
        ASSERT_EQ(nExit, 0) << cli.Out() << strShown;
        // Each line as drawn: the cursor moves and line clears taken out.
        for (const char* pMove : {"\033[1A", "\033[K"}) {
            for (size_t nAt; (nAt = strShown.find(pMove)) != std::string::npos;)
                strShown.erase(nAt, std::string(pMove).size());
        }
        std::replace(strShown.begin(), strShown.end(), '\r', '\n');
        std::istringstream lines(strShown);
        size_t nDrawn = 0;
        bool bWriting = false, bVerifying = false;
        for (std::string strLine; std::getline(lines, strLine);) {
            if (strLine.find('%') == std::string::npos)
                continue;
            ++nDrawn;
            bWriting = bWriting || strLine.find("writing") != std::string::npos;
            bVerifying = bVerifying || strLine.find("verifying") != std::string::npos;
            const size_t nColumns = static_cast<size_t>(std::count_if(
                strLine.begin(), strLine.end(), [](char ch) { return (static_cast<uint8_t>(ch) & 0xC0) != 0x80; }));
            EXPECT_LT(nColumns, c.nColumns) << strLine;
            if (c.bSeveral && c.nColumns == 80) {
                // The long name loses its middle, and keeps the end that tells by-id names apart.
                EXPECT_NE(strLine.find("\u2026"), std::string::npos) << strLine;
                EXPECT_NE(strLine.find("6f2a9-if00-port0: "), std::string::npos) << strLine;
            }
        }
        EXPECT_GT(nDrawn, 0u) << strShown;
        EXPECT_TRUE(bWriting && bVerifying) << strShown;
    }
}

TEST(CliDownload, AReportThatCannotBeWrittenStopsBeforeAnyDevice)
{
    CTempDir dir;
    CSimProcess sim(dir, {});
    ASSERT_TRUE(sim.Ready());
    const std::string strFile = dir.Write("firmware.hex", HexFile(0x100, Pattern(64)));
    // A folder, a file in a folder that does not exist, a FIFO nobody reads
    // (the open would wait for ever) and the standard streams: none takes a row.
    ASSERT_EQ(::mkfifo(dir.Path("fifo.csv").c_str(), 0600), 0);
    const struct {
        std::string strReport;
        const char* pReason;
    } cases[] = {
        {dir.Path(""), "is a folder"},
        {dir.Path("no-such-folder/report.csv"), "No such file or directory"},
        {dir.Path("fifo.csv"), "is not a regular file"},
        {"/dev/stdout", "is not a regular file"},
        {"/dev/stderr", "is not a regular file"},
    };
    for (const auto& c : cases) {
        const CCliResult result = RunCli(
            {"download", strFile, "--port", sim.Link(), "--support-version", "*.*.*", "--report", c.strReport}, 10000);
        EXPECT_EQ(result.nExit, 2) << c.strReport << result.strOut << result.strErr;
        EXPECT_NE(result.strErr.find(c.strReport), std::string::npos) << result.strErr;
        EXPECT_NE(result.strErr.find(c.pReason), std::string::npos) << result.strErr;
        EXPECT_EQ(result.strOut.find("cmdcheckid"), std::string::npos) << result.strOut;
    }
    EXPECT_EQ(sim.StopAndDump(0x100, 64), Bytes(64, 0xFF));
}

TEST(CliDownload, JsonEventsHoldTheWholeLogLineByLine)
{
    CTempDir dir;
    CSimProcess sim(dir, {});
    ASSERT_TRUE(sim.Ready());
    const Bytes data = Pattern(2048);
    const std::string strHex = HexFile(0x3000, data, 32);
    const std::string strFile = dir.Write("firmware.hex", strHex);
    const CCliResult result =
        RunCli({"download", strFile, "--port", sim.Link(), "--support-version", "*.*.*", "--json"});
    EXPECT_EQ(result.nExit, 0) << result.strOut << result.strErr;

    std::istringstream lines(result.strOut);
    std::string strLine, strLog;
    std::vector<std::string> events;
    int nLastPercent = -1;
    std::string strLastPhase;
    std::vector<std::string> vecPhases;
    nlohmann::json resultEvent, summaryEvent;
    while (std::getline(lines, strLine)) {
        const nlohmann::json event = nlohmann::json::parse(strLine);  // throws on a line that is not JSON
        events.push_back(event.at("event").get<std::string>());
        if (events.back() != "summary") {
            EXPECT_EQ(event.at("port"), sim.Link()) << strLine;
        }
        if (events.back() == "start") {
            EXPECT_EQ(event.at("file"), strFile);
            EXPECT_EQ(event.at("size"), strHex.size());
        } else if (events.back() == "log") {
            const std::string strText = event.at("text");
            strLog += strText + "\n";
            EXPECT_EQ(event.at("colour"), strText.find("successfully") != std::string::npos ? "blue" : "black")
                << strLine;
        } else if (events.back() == "progress") {
            // The write pass to 100 %, then the verify pass from 0 again.
            const int nPercent = event.at("percent");
            const std::string strPhase = event.at("phase");
            if (strPhase != strLastPhase) {
                EXPECT_EQ(strPhase, strLastPhase.empty() ? "write" : "verify") << strLine;
                EXPECT_EQ(nLastPercent, strLastPhase.empty() ? -1 : 100) << strLine;
                vecPhases.push_back(strPhase);
                nLastPercent = -1;
            }
            strLastPhase = strPhase;
            EXPECT_NE(nPercent, nLastPercent) << "a progress event per whole percent at most";
            nLastPercent = nPercent;
        } else if (events.back() == "result") {
            resultEvent = event;
        } else {
            summaryEvent = event;
        }
    }
    EXPECT_EQ(strLog, SuccessfulLog(strFile));
    ASSERT_GE(events.size(), 3u);
    EXPECT_EQ(events.front(), "start");
    EXPECT_EQ(events[events.size() - 2], "result");
    EXPECT_EQ(events.back(), "summary");
    EXPECT_EQ(nLastPercent, 100);
    EXPECT_EQ(vecPhases, (std::vector<std::string> {"write", "verify"}));
    EXPECT_EQ(resultEvent.at("class"), "success");
    EXPECT_EQ(resultEvent.at("bytes_written"), data.size());
    EXPECT_EQ(resultEvent.at("exit_status"), 0);
    EXPECT_EQ(resultEvent.at("bytes"), data.size());
    EXPECT_EQ(resultEvent.at("device_version"), "1.0.0");
    EXPECT_EQ(resultEvent.at("path"), sim.Link());
    EXPECT_EQ(summaryEvent.at("exit_status"), 0);
    EXPECT_EQ(summaryEvent.at("succeeded"), 1);
    EXPECT_EQ(sim.StopAndDump(0x3000, data.size()), data);
}

// The lines of strOut that port strPort wrote, without the prefix.
std::string PortLines(const std::string& strOut, const std::string& strPort)
{
    const std::string strPrefix = strPort + ": ";
    std::string strLines;
    std::istringstream lines(strOut);
    for (std::string strLine; std::getline(lines, strLine);) {
        if (strLine.rfind(strPrefix, 0) == 0)
            strLines += strLine.substr(strPrefix.size()) + "\n";
    }
    return strLines;
}

// Flash on plug: the settings file pins three links. One simulator is there
// before the watch starts and is left alone; the others appear later, one of
// them twice (unplugged, then plugged in again).
TEST(CliDownload, WatchWritesEachDeviceThatAppearsOnceUntilItIsUnplugged)
{
    CTempDir present, first, second, work;
    const std::string strIni =
        work.Write("pins.Ini", "[Ports]\r\nCOM20=" + present.Path("ttyDEV") + "\r\nCOM21=" + first.Path("ttyDEV") +
                                   "\r\nCOM22=" + second.Path("ttyDEV") + "\r\n");
    const Bytes data = Pattern(2048);
    const std::string strHex = HexFile(0x1000, data, 32);
    const std::string strFile = work.Write("firmware.hex", strHex);
    const std::string strReport = work.Path("report.csv");
    CSimProcess presentSim(present, {});
    ASSERT_TRUE(presentSim.Ready());
    CChildProcess cli(VANTREL_CLI_EXE, {"download", strFile, "--watch", "--ini", strIni, "--support-version", "*.*.*",
                                        "--report", strReport});
    ASSERT_TRUE(cli.WaitForError("Ctrl-C ends the watch\n")) << cli.Err();
    EXPECT_NE(cli.Err().find("; 1 present now left alone"), std::string::npos) << cli.Err();

    auto pFirst = std::make_unique<CSimProcess>(first, std::vector<std::string> {});
    ASSERT_TRUE(pFirst->Ready());
    ASSERT_TRUE(cli.WaitForOutput("(1 done: 1 succeeded, 0 failed)\n", 20000)) << cli.Out() << cli.Err();
    // Still plugged in through the watch's next looks: not written again.
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_EQ(pFirst->StopAndDump(0x1000, data.size()), data);  // and unplugged
    CSimProcess secondSim(second, {});
    ASSERT_TRUE(secondSim.Ready());
    ASSERT_TRUE(cli.WaitForOutput("(2 done: 2 succeeded, 0 failed)\n", 20000)) << cli.Out() << cli.Err();
    pFirst = std::make_unique<CSimProcess>(first, std::vector<std::string> {});  // plugged in again
    ASSERT_TRUE(pFirst->Ready());
    ASSERT_TRUE(cli.WaitForOutput("(3 done: 3 succeeded, 0 failed)\n", 20000)) << cli.Out() << cli.Err();
    cli.Signal(SIGINT);
    ASSERT_EQ(cli.Wait(10000), 0) << cli.Out() << cli.Err();

    // Each plug-in a whole download with the dialog's log, then its result line.
    const std::string strFirstLog = PortLines(cli.Out(), first.Path("ttyDEV"));
    const std::string strResult = "success, " + std::to_string(data.size()) + " bytes, ";
    EXPECT_EQ(strFirstLog.find(SuccessfulLog(strFile) + strResult), 0u) << strFirstLog;
    EXPECT_NE(strFirstLog.find(SuccessfulLog(strFile) + strResult, 1), std::string::npos) << strFirstLog;
    EXPECT_EQ(PortLines(cli.Out(), second.Path("ttyDEV")).find(SuccessfulLog(strFile) + strResult), 0u) << cli.Out();
    EXPECT_EQ(PortLines(cli.Out(), present.Path("ttyDEV")), "") << cli.Out();
    size_t nDownloads = 0;
    for (size_t nAt = cli.Out().find("-- Downloading file"); nAt != std::string::npos;
         nAt = cli.Out().find("-- Downloading file", nAt + 1))
        ++nDownloads;
    EXPECT_EQ(nDownloads, 3u) << cli.Out();
    // The summary, a row per plug-in, and the report, written as each ended.
    const std::string strTable = cli.Out().substr(cli.Out().find("port "));
    EXPECT_EQ(std::count(strTable.begin(), strTable.end(), '\n'), 4) << strTable;
    std::ifstream report(strReport, std::ios::binary);
    std::string strReportText((std::istreambuf_iterator<char>(report)), std::istreambuf_iterator<char>());
    std::istringstream rows(strReportText);
    std::vector<std::string> vecRows;
    for (std::string strRow; std::getline(rows, strRow);)
        vecRows.push_back(strRow);
    ASSERT_EQ(vecRows.size(), 4u) << strReportText;
    const std::string strTail = "," + strFile + "," + Sha256Hex(strHex) + ",success," + std::to_string(data.size());
    for (size_t i = 1; i < 4; ++i) {
        const std::string strPort = i == 2 ? second.Path("ttyDEV") : first.Path("ttyDEV");
        EXPECT_NE(vecRows[i].find("," + strPort + "," + strTail + ","), std::string::npos) << vecRows[i];
    }
    EXPECT_EQ(pFirst->StopAndDump(0x1000, data.size()), data);
    EXPECT_EQ(secondSim.StopAndDump(0x1000, data.size()), data);
    EXPECT_NE(presentSim.StopAndDump(0x1000, data.size()), data);
}

// vantrel-cli watching, in JSON, for the one link strLink that a settings
// file in work pins, to write strHex into the device that appears there.
std::unique_ptr<CChildProcess> StartJsonWatch(const CTempDir& work, const std::string& strLink,
                                              const std::string& strHex)
{
    const std::string strIni = work.Write("pins.Ini", "[Ports]\r\nCOM20=" + strLink + "\r\n");
    const std::string strFile = work.Write("firmware.hex", strHex);
    return std::make_unique<CChildProcess>(VANTREL_CLI_EXE,
                                           std::vector<std::string> {"download", strFile, "--watch", "--json", "--ini",
                                                                     strIni, "--support-version", "*.*.*"});
}

// A watch for line-control software: every line an event, the result with
// the running count.
TEST(CliDownload, WatchInJsonGivesAResultEventWithTheCount)
{
    CTempDir sim, work;
    const Bytes data = Pattern(1024);
    const auto pCli = StartJsonWatch(work, sim.Path("ttyDEV"), HexFile(0x1000, data, 32));
    CChildProcess& cli = *pCli;
    ASSERT_TRUE(cli.WaitForOutput("\"event\":\"watch\"")) << cli.Out() << cli.Err();
    CSimProcess device(sim, {});
    ASSERT_TRUE(device.Ready());
    ASSERT_TRUE(cli.WaitForOutput("\"event\":\"result\"", 20000)) << cli.Out() << cli.Err();
    cli.Signal(SIGINT);
    ASSERT_EQ(cli.Wait(10000), 0) << cli.Err();
    std::istringstream lines(cli.Out());
    std::vector<nlohmann::json> events;
    for (std::string strLine; std::getline(lines, strLine);)
        events.push_back(nlohmann::json::parse(strLine));  // throws on a line that is not JSON
    ASSERT_GE(events.size(), 4u);
    EXPECT_EQ(events.front().at("event"), "watch");
    EXPECT_EQ(events.front().at("left_alone"), 0);
    EXPECT_EQ(events[1].at("event"), "start");
    const nlohmann::json& result = events[events.size() - 2];
    EXPECT_EQ(result.at("event"), "result");
    EXPECT_EQ(result.at("port"), sim.Path("ttyDEV"));
    EXPECT_EQ(result.at("class"), "success");
    EXPECT_EQ(result.at("bytes"), data.size());
    EXPECT_EQ(result.at("done"), 1);
    EXPECT_EQ(result.at("succeeded"), 1);
    EXPECT_EQ(result.at("failed"), 0);
    EXPECT_EQ(events.back().at("event"), "summary");
    EXPECT_EQ(events.back().at("ports"), 1);
    EXPECT_EQ(device.StopAndDump(0x1000, data.size()), data);
}

// "vantrel-cli download --watch --json | head -2": once nobody reads the
// results, the watch finishes the board being written and ends by itself.
TEST(CliDownload, WatchEndsWhenItsOutputIsClosed)
{
    CTempDir sim, work;
    const Bytes data = Pattern(2048);
    const auto pCli = StartJsonWatch(work, sim.Path("ttyDEV"), HexFile(0x1000, data, 32));
    CChildProcess& cli = *pCli;
    ASSERT_TRUE(cli.WaitForOutput("\"event\":\"watch\"")) << cli.Out() << cli.Err();
    CSimProcess device(sim, {});
    ASSERT_TRUE(device.Ready());
    ASSERT_TRUE(cli.WaitForOutput("\"event\":\"start\"")) << cli.Out() << cli.Err();
    cli.CloseOutput();
    EXPECT_EQ(cli.Wait(20000), 0) << cli.Err();
    EXPECT_NE(cli.Err().find("standard output was closed"), std::string::npos) << cli.Err();
    EXPECT_EQ(device.StopAndDump(0x1000, data.size()), data);
}

// "vantrel-cli download --watch --json | head -1": the reader has gone
// before the next board appears. It is not started: the watch ends by itself
// with the device untouched.
TEST(CliDownload, WatchStartsNoBoardOnceItsOutputIsClosed)
{
    CTempDir sim, work;
    const Bytes data = Pattern(256);
    const auto pCli = StartJsonWatch(work, sim.Path("ttyDEV"), HexFile(0x1000, data, 32));
    CChildProcess& cli = *pCli;
    ASSERT_TRUE(cli.WaitForOutput("\"event\":\"watch\"")) << cli.Out() << cli.Err();
    cli.CloseOutput();
    CSimProcess device(sim, {});
    ASSERT_TRUE(device.Ready());
    EXPECT_EQ(cli.Wait(20000), 0) << cli.Err();
    EXPECT_NE(cli.Err().find("standard output was closed"), std::string::npos) << cli.Err();
    EXPECT_EQ(device.StopAndDump(0x1000, data.size()), Bytes(data.size(), 0xFF));
}

// The pinned link made anew to another device in one step, as a simulator
// restarted behind it between two looks leaves it: the path never went
// away, but the device behind it is new and is written.
TEST(CliDownload, WatchWritesANewDeviceBehindTheSameLink)
{
    CTempDir firstDir, secondDir, work;
    const Bytes data = Pattern(512);
    const std::string strLink = work.Path("ttyLINE");
    const auto pCli = StartJsonWatch(work, strLink, HexFile(0x1000, data, 32));
    CChildProcess& cli = *pCli;
    ASSERT_TRUE(cli.WaitForOutput("\"event\":\"watch\"")) << cli.Out() << cli.Err();
    CSimProcess first(firstDir, {});
    CSimProcess second(secondDir, {});
    ASSERT_TRUE(first.Ready());
    ASSERT_TRUE(second.Ready());
    ASSERT_EQ(::symlink(first.Link().c_str(), strLink.c_str()), 0);
    ASSERT_TRUE(cli.WaitForOutput("\"done\":1", 20000)) << cli.Out() << cli.Err();
    const std::string strNew = work.Path("ttyLINE.new");
    ASSERT_EQ(::symlink(second.Link().c_str(), strNew.c_str()), 0);
    ASSERT_EQ(::rename(strNew.c_str(), strLink.c_str()), 0);
    ASSERT_TRUE(cli.WaitForOutput("\"done\":2", 20000)) << cli.Out() << cli.Err();
    cli.Signal(SIGINT);
    EXPECT_EQ(cli.Wait(10000), 0) << cli.Err();
    EXPECT_NE(cli.Out().find("\"succeeded\":2"), std::string::npos) << cli.Out();
    EXPECT_EQ(first.StopAndDump(0x1000, data.size()), data);
    EXPECT_EQ(second.StopAndDump(0x1000, data.size()), data);
}

// A file with nothing to write is refused before the watch waits for the
// first board, with the reason, as a file the reader refuses is.
TEST(CliDownload, WatchRefusesAFileWithoutDataAtOnce)
{
    CTempDir work;
    const std::string strIni = work.Write("pins.Ini", "[Ports]\r\nCOM20=" + work.Path("ttyDEV") + "\r\n");
    // An erased raw binary loads (its address reached the watch's load) and holds nothing.
    for (const auto& [pName, pText] : {std::pair {"empty.hex", ":00000001FF\n"}, std::pair {"empty.asc", ""},
                                       std::pair {"erased.bin", "\xFF\xFF\xFF"}}) {
        SCOPED_TRACE(pName);
        const std::string strFile = work.Write(pName, pText);
        std::vector<std::string> args = {"download", strFile, "--watch", "--ini", strIni, "--support-version", "*.*.*"};
        if (std::string_view(pName).ends_with(".bin"))
            args.insert(args.end(), {"--address", "0x100"});
        const CCliResult result = RunCli(args, 10000);
        EXPECT_EQ(result.nExit, 3) << result.strOut << result.strErr;
        EXPECT_EQ(result.strErr, "vantrel-cli: " + strFile + ": the file holds no data to write\n");
    }
}

TEST(CliInfo, ListsTheRangesAFileCovers)
{
    CTempDir dir;
    std::string strText = HexFile(0x100, Pattern(40));
    strText = strText.substr(0, strText.rfind(':')) + HexFile(0x10000, Pattern(16));
    const CCliResult ok = RunCli({"info", dir.Write("two.hex", strText)});
    EXPECT_EQ(ok.nExit, 0);
    EXPECT_EQ(ok.strOut, "0x000100-0x00012F  48 bytes\n0x010000-0x01000F  16 bytes\n4 blocks, 64 bytes\n");

    const CCliResult bad = RunCli({"info", dir.Write("bad.hex", ":10000000FF\n")});
    EXPECT_EQ(bad.nExit, 3) << "the exit status of a download of the same file";
    EXPECT_EQ(bad.strOut, "##  Data length not equal to 16.(L1)\n");
    EXPECT_EQ(RunCli({"info", dir.Path("missing.hex")}).nExit, 3);
}

TEST(CliInfo, ListsRawBinaryAndSrecordFilesLikeADownloadWouldLoadThem)
{
    CTempDir dir;
    const CCliResult bin = RunCli({"info", dir.Write("app.bin", std::string(40, '\x5A')), "--address", "0x10008"});
    EXPECT_EQ(bin.nExit, 0) << bin.strErr;
    EXPECT_EQ(bin.strOut, "0x010000-0x01002F  48 bytes\n3 blocks, 48 bytes\n");

    const CCliResult srec = RunCli({"info", dir.Write("app.srec", SrecFile(0x1230, Pattern(16)))});
    EXPECT_EQ(srec.nExit, 0) << srec.strErr;
    EXPECT_EQ(srec.strOut, "0x001230-0x00123F  16 bytes\n1 blocks, 16 bytes\n");

    // Refused with the reader's line, as a download of it would be.
    const CCliResult cut = RunCli({"info", dir.Write("cut.s19", SRecord(1, 0x10, {1, 2}) + "\n")});
    EXPECT_EQ(cut.nExit, 3);
    EXPECT_EQ(cut.strOut, "##  End record (S7, S8 or S9) or record count (S5 or S6) missing after line 1: " +
                              SRecord(1, 0x10, {1, 2}) + "; the file may be cut off.\n");
    const CCliResult high = RunCli({"info", dir.Write("high.bin", std::string(32, '\x01')), "--address", "0xFFFFFFF0"});
    EXPECT_EQ(high.nExit, 3);
    EXPECT_EQ(high.strOut, "##  The file would pass 4 GiB: more than 16 bytes from 0xFFFFFFF0.\n");
}

TEST(CliInfo, HostileFilesAndPathsGetClearMessages)
{
    CTempDir dir;
    // A name in code page 936 bytes (not UTF-8), holding a NUL, a line of
    // invalid UTF-8 and a very long line: each read or refused with its line.
    const std::string strName = "\xB9\xCC\xBC\xFE.hex";
    const CCliResult ok = RunCli({"info", dir.Write(strName, HexFile(0x10, Pattern(16)))});
    EXPECT_EQ(ok.nExit, 0);
    EXPECT_TRUE(ok.strOut.ends_with("1 blocks, 16 bytes\n")) << ok.strOut;

    struct Case {
        std::string strContent;
        const char* pOut;
    };
    const Case cases[] = {
        {":00000001FF\n\xff\xfe\x80\n", "##  Invalid format: \xff\xfe\x80. (L2)\n"},
        {std::string(":10\0", 4) + "0000\n", "##  Data length not equal to 16.(L1)\n"},
        {":" + std::string(4 << 20, '0') + "\n", "##  Data length not equal to 0.(L1)\n"},
    };
    for (const Case& c : cases) {
        const CCliResult bad = RunCli({"info", dir.Write("hostile.hex", c.strContent)});
        EXPECT_EQ(bad.nExit, 3);
        EXPECT_EQ(bad.strOut, c.pOut);
    }
    const CCliResult missing = RunCli({"info", dir.Path("\xB9\xCC.hex")});
    EXPECT_EQ(missing.nExit, 3);
    EXPECT_NE(missing.strErr.find("file not found"), std::string::npos);
}

TEST(CliDownload, HintsAtTheWindowOnceWhenTheAdapterHoldsRepliesBack)
{
    struct {
        std::vector<std::string> simArgs;
        std::vector<std::string> cliArgs;
        bool bHint;
    } const cases[] = {
        {{"--adapter", "ftdi:16"}, {}, true},
        {{"--adapter", "ftdi:16"}, {"--window", "16"}, false},
        {{"--adapter", "cdc"}, {}, false},
        {{}, {}, false},
    };
    for (const auto& c : cases) {
        CTempDir dir;
        CSimProcess sim(dir, c.simArgs);
        ASSERT_TRUE(sim.Ready());
        const std::string strFile = dir.Write("firmware.hex", HexFile(0x1000, Pattern(40)));
        std::vector<std::string> args = {"download", strFile, "--port", sim.Link(), "--support-version", "*.*.*"};
        args.insert(args.end(), c.cliArgs.begin(), c.cliArgs.end());
        const CCliResult result = RunCli(args);
        const std::string strWhat = c.simArgs.empty() ? "no adapter" : c.simArgs.back();
        EXPECT_EQ(result.nExit, 0) << strWhat << result.strErr;
        // The log's own lines stay as they are, window or not.
        EXPECT_EQ(result.strOut, SuccessfulLog(strFile)) << strWhat;
        const size_t nHint = result.strErr.find("--window 64 could write about");
        EXPECT_EQ(nHint != std::string::npos, c.bHint) << strWhat << result.strErr;
        if (c.bHint) {
            EXPECT_NE(result.strErr.find("the device answered in 1"), std::string::npos) << result.strErr;
            EXPECT_EQ(result.strErr.find("--window", nHint + 1), std::string::npos) << "said once";
        }
    }
}

}  // namespace
