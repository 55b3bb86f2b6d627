// vantrel-cli read and verify against the simulated device: the files a read
// makes hold what the device holds, a failed read makes none, and a verify
// compares without ever sending a write command.
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>

#include <fmt/format.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "CliFixtures.h"
#include "common/HexWriter.h"
#include "common/TempDir.h"
#include "download/FirmwareWriter.h"
#include "sim/CDeviceSimulator.h"

namespace {

// The device's memory in the tests below: a pattern over the low 256 KiB.
constexpr uint32_t kLoaded = 0x40000;

// The bytes the simulator is started with.
std::string LoadedMemory()
{
    const Bytes memory = Pattern(kLoaded);
    return std::string(memory.begin(), memory.end());
}

std::string ReadWhole(const std::string& strPath)
{
    std::ifstream file(strPath, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

std::vector<std::string> FolderNames(const CTempDir& dir)
{
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir.Path("")))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// The ranges [start, end) of memory as a read of them gives them.
std::vector<SMemoryRange> RangesOf(const Bytes& memory, const std::vector<std::pair<uint32_t, uint32_t>>& spans)
{
    std::vector<SMemoryRange> ranges;
    for (const auto& [nStart, nEnd] : spans)
        ranges.push_back({nStart, Bytes(memory.begin() + nStart, memory.begin() + nEnd)});
    return ranges;
}

bool HaveTool(const char* pTool)
{
    return std::system(fmt::format("command -v {} >/dev/null 2>&1", pTool).c_str()) == 0;
}

struct SReadCase {
    const char* pName;
    std::vector<std::string> vecRanges;                   // as typed
    std::vector<std::pair<uint32_t, uint32_t>> vecSpans;  // what they mean, in order
    const char* pOutput;
};

const SReadCase kReadCases[] = {
    {"one range, END exclusive", {"0x1F00:0x2300"}, {{0x1F00, 0x2300}}, "dump.hex"},
    {"one range by length", {"0x1F00+1024"}, {{0x1F00, 0x2300}}, "dump.srec"},
    {"one range, decimal", {"7936:8960"}, {{0x1F00, 0x2300}}, "dump.bin"},
    {"several, one across 64 KiB",
     {"0x2FFF0+40", "0x1F00:0x2000", "16:17"},
     {{0x2FFF0, 0x30018}, {0x1F00, 0x2000}, {16, 17}},
     "dump.hex"},
    {"several into S-records", {"0x2FFF0+40", "0x1F00:0x2000"}, {{0x2FFF0, 0x30018}, {0x1F00, 0x2000}}, "dump.s28"},
};

TEST(CliRead, ReadsTheRangesIntoTheFileTheEndingNames)
{
    for (const SReadCase& c : kReadCases) {
        SCOPED_TRACE(c.pName);
        CTempDir dir;
        const std::string strMemory = dir.Write("loaded.bin", LoadedMemory());
        CSimProcess sim(dir, {"--load", strMemory});
        ASSERT_TRUE(sim.Ready());
        const std::string strOutput = dir.Path(c.pOutput);
        std::vector<std::string> args {"read", "--port", sim.Link(), "-o", strOutput, "--support-version", "*.*.*"};
        for (const std::string& strRange : c.vecRanges)
            args.insert(args.end(), {"--range", strRange});
        const CCliResult result = RunCli(args);
        EXPECT_EQ(result.nExit, 0) << result.strOut << result.strErr;
        size_t nBytes = 0;
        for (const auto& [nStart, nEnd] : c.vecSpans)
            nBytes += nEnd - nStart;
        EXPECT_TRUE(result.strOut.ends_with("##  the disconnect is ok!\n-- Read successfully: " +
                                            std::to_string(nBytes) + " bytes into " + strOutput + ".\n"))
            << result.strOut;
        EXPECT_TRUE(sim.PortReleased());
        const Bytes memory = sim.StopAndDump(0, kLoaded);
        ASSERT_EQ(memory.size(), kLoaded);
        const std::vector<SMemoryRange> ranges = RangesOf(memory, c.vecSpans);
        const std::string strMade = ReadWhole(strOutput);
        switch (OutputKindOf(strOutput)) {
        case EOutputKind::kIntelHex: EXPECT_EQ(strMade, IntelHexText(ranges)); break;
        case EOutputKind::kSRecord: EXPECT_EQ(strMade, SRecordText(ranges)); break;
        default: EXPECT_EQ(strMade, std::string(ranges[0].vecData.begin(), ranges[0].vecData.end())); break;
        }
    }
}

// Tools from outside this code base read our files and find the device's memory.
TEST(CliRead, OtherToolsReadTheFilesAsTheDeviceHoldsThem)
{
    const bool bSrecCat = HaveTool("srec_cat");
    const bool bObjcopy = HaveTool("objcopy");
    if (!bSrecCat && !bObjcopy)
        GTEST_SKIP() << "neither srec_cat (package srecord) nor objcopy (binutils) is installed";
    const std::vector<std::pair<uint32_t, uint32_t>> spans = {{0x2FFF0, 0x30018}, {0x100, 0x1F00}, {0x12345, 0x12346}};
    for (const char* pOutput : {"dump.hex", "dump.srec", "dump.s37"}) {
        SCOPED_TRACE(pOutput);
        CTempDir dir;
        const std::string strMemory = dir.Write("loaded.bin", LoadedMemory());
        CSimProcess sim(dir, {"--load", strMemory});
        ASSERT_TRUE(sim.Ready());
        const std::string strOutput = dir.Path(pOutput);
        std::vector<std::string> args {"read", "--port", sim.Link(), "-o", strOutput, "--support-version", "*.*.*"};
        for (const auto& [nStart, nEnd] : spans)
            args.insert(args.end(), {"--range", fmt::format("0x{:X}:0x{:X}", nStart, nEnd)});
        const CCliResult result = RunCli(args);
        ASSERT_EQ(result.nExit, 0) << result.strOut << result.strErr;
        const Bytes memory = sim.StopAndDump(0, kLoaded);
        ASSERT_EQ(memory.size(), kLoaded);
        // What the tools should give: the ranges, 0xFF between them, from the
        // lowest address read to the highest.
        std::string strExpected(0x30018 - 0x100, '\xFF');
        for (const auto& [nStart, nEnd] : spans)
            std::copy(memory.begin() + nStart, memory.begin() + nEnd, strExpected.begin() + (nStart - 0x100));
        const bool bHex = OutputKindOf(strOutput) == EOutputKind::kIntelHex;
        const std::string strBinary = dir.Path("tool.bin");
        if (bSrecCat) {
            const std::string strCommand =
                fmt::format("srec_cat '{}' {} -fill 0xFF 0x100 0x30018 -offset -0x100 -o '{}' -Binary", strOutput,
                            bHex ? "-Intel" : "-Motorola", strBinary);
            ASSERT_EQ(std::system(strCommand.c_str()), 0) << strCommand;
            EXPECT_TRUE(ReadWhole(strBinary) == strExpected) << "srec_cat";
        }
        if (bObjcopy) {
            const std::string strCommand = fmt::format("objcopy -I {} -O binary --gap-fill 0xFF '{}' '{}'",
                                                       bHex ? "ihex" : "srec", strOutput, strBinary);
            ASSERT_EQ(std::system(strCommand.c_str()), 0) << strCommand;
            EXPECT_TRUE(ReadWhole(strBinary) == strExpected) << "objcopy";
        }
    }
}

TEST(CliRead, AFailedReadMakesNoFileAndLeavesAnOlderOneAlone)
{
    const struct {
        const char* pFault;
        const char* pOlder;  // a file already there, or nullptr
    } cases[] = {
        {"ca:silent@3", nullptr},
        {"ca:cut=5@2", "older contents"},
        {"ca:refuse@17", nullptr},
        {"c1:refuse@9", nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.pFault);
        CTempDir dir;
        CSimProcess sim(dir, {"--fault", c.pFault});
        ASSERT_TRUE(sim.Ready());
        const std::string strOutput = dir.Path("读出.hex");
        if (c.pOlder)
            dir.Write("读出.hex", c.pOlder);
        const std::vector<std::string> before = FolderNames(dir);
        const CCliResult result = RunCli(
            {"read", "--port", sim.Link(), "--range", "0:0x1100", "-o", strOutput, "--support-version", "*.*.*"});
        EXPECT_EQ(result.nExit, 9) << result.strOut << result.strErr;
        EXPECT_NE(result.strOut.find("##  Read error: Addr=0x"), std::string::npos) << result.strOut;
        EXPECT_TRUE(result.strOut.ends_with("## Read failed: no file was written.\n")) << result.strOut;
        EXPECT_EQ(FolderNames(dir), before) << "neither the file nor a temporary one";
        EXPECT_EQ(std::filesystem::exists(strOutput), c.pOlder != nullptr);
        if (c.pOlder) {
            EXPECT_EQ(ReadWhole(strOutput), c.pOlder);
        }
        EXPECT_TRUE(sim.PortReleased());
    }
}

TEST(CliRead, CtrlCStopsAReadAndAVerifyBeforeTheirNextBlock)
{
    const struct {
        const char* pName;
        std::vector<std::string> args;  // %o the output, %f the firmware file
        const char* pWaitFor;
        const char* pTail;
    } cases[] = {
        {"read",
         {"read", "--range", "0:0x20000", "-o", "%o"},
         "-- Reading ...\n",
         "##  the disconnect is ok!\n## Read stopped before it finished: no file was written.\n"},
        {"verify",
         {"verify", "%f"},
         "-- Verifying ...\n",
         "##  the disconnect is ok!\n## The device does not hold the file: the verify pass was cancelled.\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.pName);
        CTempDir dir;
        // A slow line gives the test time to press Ctrl-C mid-pass.
        CSimProcess sim(dir, {"--baud", "57600"});
        ASSERT_TRUE(sim.Ready());
        const std::string strOutput = dir.Path("dump.hex");
        std::vector<std::string> args;
        for (const std::string& strArg : c.args)
            args.push_back(strArg == "%o"   ? strOutput
                           : strArg == "%f" ? dir.Write("firmware.hex", HexFile(0, Pattern(32 * 1024)))
                                            : strArg);
        args.insert(args.end(), {"--port", sim.Link(), "--support-version", "*.*.*"});
        ::setenv("VANTREL_INI", VANTREL_TEST_INI, 1);
        CChildProcess cli(VANTREL_CLI_EXE, args);
        ASSERT_TRUE(cli.WaitForOutput(c.pWaitFor, 60000)) << cli.Out();
        cli.Signal(SIGINT);
        EXPECT_EQ(cli.Wait(10000), 8) << cli.Out() << cli.Err();
        EXPECT_TRUE(cli.Out().ends_with(c.pTail)) << cli.Out();
        EXPECT_FALSE(std::filesystem::exists(strOutput));
        EXPECT_TRUE(sim.PortReleased());
    }
}

TEST(CliRead, RangesAndFilesThatCannotBeReadAreRefusedBeforeTheDevice)
{
    CTempDir dir;
    const std::string strHex = dir.Path("out.hex");
    const std::vector<std::vector<std::string>> cases = {
        {"read", "--port", "/dev/null", "--range", "0:0x100", "--range", "0x80:0x180", "-o", strHex},
        {"read", "--port", "/dev/null", "--range", "0x100:0x200", "--range", "0x1FF+1", "-o", strHex},
        {"read", "--port", "/dev/null", "--range", "0x100:0x100", "-o", strHex},
        {"read", "--port", "/dev/null", "--range", "0x200:0x100", "-o", strHex},
        {"read", "--port", "/dev/null", "--range", "0x100+0", "-o", strHex},
        {"read", "--port", "/dev/null", "--range", "0xFFFF00:0x1000001", "-o", strHex},
        {"read", "--port", "/dev/null", "--range", "0x10", "-o", strHex},
        {"read", "--port", "/dev/null", "--range", "0x10:zz", "-o", strHex},
        {"read", "--port", "/dev/null", "--range", "0:16", "--range", "32:48", "-o", dir.Path("out.bin")},
        {"read", "--port", "/dev/null", "--range", "0:16", "-o", dir.Path("out.txt")},
        {"read", "--port", "/dev/null", "--range", "0:16"},
        {"read", "--port", "/dev/null", "-o", strHex},
        {"verify", "--port", "/dev/null"},
        {"verify", "fw.hex", "--port", "LPT1"},
    };
    for (const std::vector<std::string>& args : cases) {
        const CCliResult result = RunCli(args);
        SCOPED_TRACE(fmt::format("{}", fmt::join(args, " ")));
        EXPECT_EQ(result.nExit, 2) << result.strOut << result.strErr;
        EXPECT_TRUE(result.strOut.empty()) << result.strOut;
        EXPECT_EQ(std::count(result.strErr.begin(), result.strErr.end(), '\n'), 1) << result.strErr;
    }
    EXPECT_EQ(FolderNames(dir), std::vector<std::string> {});
}

TEST(CliRead, HelpOfReadAndVerifyCautionsAndListsTheReadStatus)
{
    for (const char* pCommand : {"read", "verify"}) {
        const CCliResult help = RunCli({pCommand, "--help"});
        EXPECT_EQ(help.nExit, 0);
        EXPECT_NE(help.strOut.find("Caution: some devices clear their application when they enter IAP mode"),
                  std::string::npos)
            << help.strOut;
        EXPECT_NE(help.strOut.find("\n  9  read: a read command failed"), std::string::npos) << help.strOut;
        EXPECT_NE(help.strOut.find("\n  6  the verify pass found differences"), std::string::npos) << help.strOut;
    }
}

// The device in this process, so that the test sees every command it received.
class CliDeviceTest : public ::testing::Test {
public:
    void SetUp() override
    {
        std::string strError;
        ASSERT_TRUE(m_sim.Start(&strError)) << strError;
    }
    CCliResult Run(std::vector<std::string> args)
    {
        args.insert(args.end(), {"--port", m_sim.SlavePath(), "--support-version", "*.*.*"});
        return RunCli(args);
    }
    // Flash commands received with code nCode, and the count byte of each.
    std::vector<int> FlashCommands(uint8_t nCode) const
    {
        std::vector<int> counts;
        for (const Bytes& frame : m_sim.ReceivedFrames()) {
            if (frame.size() < 10 && frame[0] == nCode)
                counts.push_back(frame.size() > 1 ? frame[1] : -1);
        }
        return counts;
    }
    void EraseOnEnter()
    {
        CSimConfig config = m_sim.Config();
        config.m_bEraseOnEnter = true;
        m_sim.Configure(config);
    }

    CTempDir m_dir;
    CDeviceSimulator m_sim;
};

TEST_F(CliDeviceTest, VerifyComparesWithoutWritingAndTellsBothOutcomes)
{
    const Bytes data = Pattern(3000);
    const std::string strFile = m_dir.Write("固件.hex", HexFile(0x3000, data));
    size_t nNotErased = 0;
    for (uint8_t nByte : data)
        nNotErased += nByte != 0xFF ? 1 : 0;
    const struct {
        const char* pName;
        std::function<void(CliDeviceTest&)> prepare;
        std::vector<std::string> vecExtra;
        int nExit;
        std::string strLine;  // a line the log must hold
    } cases[] = {
        {"device holds the file", [](CliDeviceTest&) {}, {}, 0, "-- Verify successfully.\n"},
        {"with reads sent ahead",
         [](CliDeviceTest&) {},
         {"--window", "8"},
         0,
         "-- The device holds " + strFile + ".\n"},
        {"one byte changed",
         [](CliDeviceTest& t) { t.m_sim.WriteMemory(0x3005, {0x00}); },
         {},
         6,
         fmt::format("++  Addr=003005H, W={:02x}H, R=00H.\n", data[5])},
        {"device that clears its application on entering IAP mode",
         [](CliDeviceTest& t) { t.EraseOnEnter(); },
         {},
         6,
         fmt::format("## Total {} mismatchings found.\n", nNotErased)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.pName);
        m_sim.WriteMemory(0x3000, data);
        m_sim.Configure(CSimConfig());
        c.prepare(*this);
        m_sim.ClearReceivedFrames();
        const int nLeaves = m_sim.LeaveCount();
        std::vector<std::string> args {"verify", strFile};
        args.insert(args.end(), c.vecExtra.begin(), c.vecExtra.end());
        const CCliResult result = Run(args);
        EXPECT_EQ(result.nExit, c.nExit) << result.strOut << result.strErr;
        EXPECT_NE(result.strOut.find(c.strLine), std::string::npos) << result.strOut;
        if (c.nExit == 0) {
            EXPECT_TRUE(result.strOut.ends_with("##  the disconnect is ok!\n-- The device holds " + strFile + ".\n"))
                << result.strOut;
        } else {
            // Never a word of success on a device that differs.
            EXPECT_EQ(result.strOut.find("successfully"), std::string::npos) << result.strOut;
            EXPECT_EQ(result.strOut.find("holds"), std::string::npos) << result.strOut;
            EXPECT_TRUE(
                result.strOut.ends_with("## Verify failed.\n##  the disconnect is ok!\n"
                                        "## The device does not hold the file: the verify pass found differences.\n"))
                << result.strOut;
        }
        EXPECT_EQ(FlashCommands(0xC2), std::vector<int> {});
        EXPECT_EQ(FlashCommands(0xC3), std::vector<int> {});
        EXPECT_EQ(FlashCommands(0xCA).size(), (data.size() + 15) / 16) << "every block of the image is read";
        EXPECT_EQ(m_sim.LeaveCount(), nLeaves + 1);
        EXPECT_FALSE(m_sim.InIapMode());
    }
}

TEST_F(CliDeviceTest, ReadAsksForUpTo255BytesAtATimeAndWritesNothing)
{
    const Bytes data = Pattern(600);
    m_sim.WriteMemory(0x7000, data);
    const std::string strOutput = m_dir.Path("dump.bin");
    const CCliResult result = Run({"read", "--range", "0x7000+600", "-o", strOutput});
    EXPECT_EQ(result.nExit, 0) << result.strOut << result.strErr;
    EXPECT_EQ(ReadWhole(strOutput), std::string(data.begin(), data.end()));
    EXPECT_EQ(FlashCommands(0xCA), (std::vector<int> {255, 255, 90}));
    EXPECT_EQ(FlashCommands(0xC2).size() + FlashCommands(0xC3).size(), 0u);
    EXPECT_EQ(m_sim.LeaveCount(), 1);
}

TEST_F(CliDeviceTest, ReadOfADeviceThatClearsItsApplicationGivesErasedMemory)
{
    m_sim.WriteMemory(0x7000, Pattern(64));
    EraseOnEnter();
    const std::string strOutput = m_dir.Path("dump.bin");
    const CCliResult result = Run({"read", "--range", "0x7000+64", "-o", strOutput});
    EXPECT_EQ(result.nExit, 0) << result.strOut << result.strErr;
    EXPECT_EQ(ReadWhole(strOutput), std::string(64, '\xFF'));
}

TEST_F(CliDeviceTest, AFileThatCannotBeMadeIsFoundBeforeTheDeviceIsTouched)
{
    std::filesystem::create_directory(m_dir.Path("folder.hex"));
    for (const std::string& strOutput : {m_dir.Path("missing/dump.hex"), m_dir.Path("folder.hex")}) {
        SCOPED_TRACE(strOutput);
        const CCliResult result = Run({"read", "--range", "0+16", "-o", strOutput});
        EXPECT_EQ(result.nExit, 3) << result.strOut << result.strErr;
        EXPECT_TRUE(result.strOut.starts_with("## Cannot write " + strOutput + ": ")) << result.strOut;
        EXPECT_EQ(m_sim.CommandCount(), 0);
    }
    EXPECT_FALSE(std::filesystem::exists(m_dir.Path("missing")));
}

// The events of a --json run, one object per line.
std::vector<nlohmann::json> JsonEvents(const std::string& strOut)
{
    std::vector<nlohmann::json> events;
    std::istringstream lines(strOut);
    for (std::string strLine; std::getline(lines, strLine);)
        events.push_back(nlohmann::json::parse(strLine));  // throws on a line that is not JSON
    return events;
}

TEST_F(CliDeviceTest, ReadAndVerifyWriteJsonEventsAsDownloadDoes)
{
    const Bytes data = Pattern(700);
    m_sim.WriteMemory(0x5000, data);
    const std::string strFile = m_dir.Write("firmware.hex", HexFile(0x5000, data));
    const struct {
        const char* pName;
        std::vector<std::string> args;
        const char* pPhase;
        const char* pClass;
        int nExit;
        size_t nBytes;
        const char* pFault;  // of the read commands, or nullptr
    } cases[] = {
        // The bytes of the image, as for a download: its blocks are whole 16s.
        {"verify", {"verify", strFile, "--json"}, "verify", "success", 0, (data.size() + 15) / 16 * 16, nullptr},
        {"read",
         {"read", "--range", "0x5000+700", "-o", m_dir.Path("dump.srec"), "--json"},
         "read",
         "success",
         0,
         data.size(),
         nullptr},
        {"failed read",
         {"read", "--range", "0x5000+700", "-o", m_dir.Path("failed.srec"), "--json"},
         "read",
         "read",
         9,
         255,
         "ca"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.pName);
        CSimConfig config;
        if (c.pFault)
            config.m_vecFaults.push_back({0xCA, EFaultKind::kSilent, 0, 2});
        m_sim.Configure(config);
        const CCliResult result = Run(c.args);
        EXPECT_EQ(result.nExit, c.nExit) << result.strOut << result.strErr;
        const std::vector<nlohmann::json> events = JsonEvents(result.strOut);
        ASSERT_GE(events.size(), 3u) << result.strOut;
        EXPECT_EQ(events.front().at("event"), "start");
        std::vector<std::string> phases;
        for (const nlohmann::json& event : events) {
            if (event.at("event") == "progress" &&
                std::find(phases.begin(), phases.end(), event.at("phase")) == phases.end())
                phases.push_back(event.at("phase"));
        }
        EXPECT_EQ(phases, std::vector<std::string> {c.pPhase});
        const nlohmann::json& resultEvent = events[events.size() - 2];
        EXPECT_EQ(resultEvent.at("event"), "result");
        EXPECT_EQ(resultEvent.at("class"), c.pClass);
        EXPECT_EQ(resultEvent.at("exit_status"), c.nExit);
        EXPECT_EQ(resultEvent.at("bytes_written"), 0);
        if (c.nExit == 0) {
            EXPECT_EQ(resultEvent.at("bytes"), c.nBytes);
        }
        EXPECT_EQ(events.back().at("event"), "summary");
        EXPECT_EQ(events.back().at("exit_status"), c.nExit);
    }
    EXPECT_FALSE(std::filesystem::exists(m_dir.Path("failed.srec")));
    EXPECT_EQ(ReadWhole(m_dir.Path("dump.srec")), SRecordText({{0x5000, data}}));
    EXPECT_EQ(FlashCommands(0xC2).size() + FlashCommands(0xC3).size(), 0u);
}

// The simulator program too can clear its memory on entering IAP mode.
TEST(CliVerify, AgainstASimulatorThatErasesOnEnterFailsWithDifferences)
{
    CTempDir dir;
    const Bytes data = Pattern(256);
    const std::string strFile = dir.Write("firmware.hex", HexFile(0x200, data));
    const std::string strMemory = dir.Write("loaded.bin", std::string(data.begin(), data.end()));
    for (const bool bErase : {false, true}) {
        SCOPED_TRACE(bErase ? "erases on enter" : "keeps its application");
        std::vector<std::string> simArgs {"--load", strMemory + "@0x200"};
        if (bErase)
            simArgs.push_back("--erase-on-enter");
        CSimProcess sim(dir, simArgs);
        ASSERT_TRUE(sim.Ready());
        const CCliResult result = RunCli({"verify", strFile, "--port", sim.Link(), "--support-version", "*.*.*"});
        EXPECT_EQ(result.nExit, bErase ? 6 : 0) << result.strOut << result.strErr;
        EXPECT_EQ(result.strOut.find("Verify successfully") != std::string::npos, !bErase) << result.strOut;
        EXPECT_EQ(sim.StopAndDump(0x200, data.size()), bErase ? Bytes(data.size(), 0xFF) : data);
    }
}

}  // namespace
