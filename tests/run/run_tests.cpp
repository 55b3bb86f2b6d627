// Whole runs of the engine against the simulated device on a pseudo-terminal:
// every end of a run, the version rules, the verify pass and cancelling.
#include <chrono>
#include <filesystem>
#include <functional>
#include <thread>

#include <gtest/gtest.h>

#include "common/HexWriter.h"
#include "common/RecordingView.h"
#include "common/TempDir.h"
#include "download/CLoader.h"
#include "serial/CSerialLink.h"
#include "sim/CDeviceSimulator.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

Bytes Pattern(size_t nLength, uint8_t nSeed = 1)
{
    Bytes data(nLength);
    for (size_t i = 0; i < nLength; ++i)
        data[i] = static_cast<uint8_t>(nSeed + i * 13);
    return data;
}

// The whole log of a run that goes through.
std::string SuccessLog(const std::string& strFile)
{
    return "##  the cmdcheckid is ok!\r\n"
           "-- Downloading file " +
           strFile +
           " ...\r\n"
           "-- Verifying ...\r\n"
           "-- Verify successfully.\r\n"
           "##  the disconnect is ok!\r\n"
           "-- Download successfully.\r\n";
}

class RunTest : public ::testing::Test {
public:
    void SetUp() override
    {
        std::string strError;
        ASSERT_TRUE(m_sim.Start(&strError)) << strError;
        m_inputs.port.strPortPath = m_sim.SlavePath();
        m_inputs.port.strBaudRate = "115200";
        m_inputs.strSupportVersion = "*.*.*";
    }

    void Configure(const std::function<void(CSimConfig&)>& change)
    {
        CSimConfig config = m_sim.Config();
        change(config);
        m_sim.Configure(config);
    }
    ERunEnd Run()
    {
        m_loader.OnStartButton(m_inputs);
        m_loader.WaitForRun();
        return m_loader.LastRunEnd();
    }
    // The port is free again: another program could open it now.
    bool PortReleased() const
    {
        CSerialLink link;
        link.SetLineParameters(115200, 0, 0, 8, 0);
        return link.Open(0, m_sim.SlavePath()) == 1;
    }
    std::vector<Bytes> FramesWithCode(uint8_t nCode) const
    {
        std::vector<Bytes> frames;
        for (const Bytes& frame : m_sim.ReceivedFrames()) {
            if ((frame.size() == 10 && frame[0] == 0xFE && frame[1] == nCode) ||
                (frame.size() < 10 && frame[0] == nCode))
                frames.push_back(frame);
        }
        return frames;
    }

    CTempDir m_dir;
    CDeviceSimulator m_sim;
    CRecordingView m_view;
    CLoader m_loader {m_view};
    CRunInputs m_inputs;
};

TEST_F(RunTest, SuccessfulRunWritesVerifiesAndLeavesIapMode)
{
    const Bytes data = Pattern(100);
    m_inputs.strFilePath = m_dir.Write("firmware.hex", HexFile(0x1000, data));
    EXPECT_EQ(Run(), ERunEnd::kSuccess);
    EXPECT_EQ(m_view.LogText(), SuccessLog(m_inputs.strFilePath));
    EXPECT_EQ(m_sim.ReadMemory(0x1000, data.size()), data);
    EXPECT_EQ(m_sim.ReadMemory(0x1064, 12), Bytes(12, 0xFF));
    EXPECT_FALSE(m_sim.InIapMode());
    EXPECT_EQ(m_sim.LeaveCount(), 1);
    EXPECT_EQ(m_view.ProgressBegins(), (std::vector<int> {7, 7}));
    EXPECT_EQ(m_view.Steps(), 14);
    EXPECT_FALSE(m_view.ProgressShown());
    EXPECT_TRUE(m_loader.IsIdle());
    EXPECT_TRUE(PortReleased());
    const auto log = m_view.Log();
    EXPECT_EQ(log.back().nColour, kLogBlue);
}

// A production line loads the file once for all its devices: each run writes
// what was loaded, with the log a run that reads the file itself gives.
TEST_F(RunTest, FileLoadedOnceIsWrittenAsLoadedWithTheSameLog)
{
    const Bytes data = Pattern(300);
    const std::string strText = HexFile(0x2000, data);
    m_inputs.strFilePath = m_dir.Write("firmware.hex", strText);
    m_inputs.pLoadedFile = LoadFirmware(m_inputs.strFilePath);
    ASSERT_EQ(m_inputs.pLoadedFile->problem, EFirmwareLoadProblem::kNone);
    EXPECT_EQ(m_inputs.pLoadedFile->strBytes, strText);
    // The file changes on disk, then goes: the run writes what was loaded.
    m_dir.Write("firmware.hex", HexFile(0x2000, Pattern(300, 9)));
    std::filesystem::remove(m_inputs.strFilePath);
    EXPECT_EQ(Run(), ERunEnd::kSuccess);
    EXPECT_EQ(m_view.LogText(), SuccessLog(m_inputs.strFilePath));
    EXPECT_EQ(m_sim.ReadMemory(0x2000, data.size()), data);

    // A file that cannot be written is known from its load, with its reason
    // and the lines each run logs for it: a run given it ends with them and
    // never touches its device.
    std::filesystem::create_directories(m_dir.Path("folder.hex"));
    const struct {
        std::string strPath;
        EFirmwareLoadProblem problem;
        ERunEnd end;
        std::string strReason;
    } cases[] = {
        {m_dir.Path("missing.hex"), EFirmwareLoadProblem::kNotFound, ERunEnd::kFileNotFound, "file not found"},
        {m_dir.Path("folder.hex"), EFirmwareLoadProblem::kUnreadable, ERunEnd::kLoadFailed, "it is a folder"},
        {m_dir.Write("firmware.elf", strText), EFirmwareLoadProblem::kUnknownKind, ERunEnd::kUnknownFileKind,
         "not a .hex, .asc, .srec, .s19, .s28, .s37, .mot or .bin file"},
        // A raw binary with no load address is refused before the device is touched.
        {m_dir.Write("firmware.bin", "\x12\x34"), EFirmwareLoadProblem::kNoAddress, ERunEnd::kLoadFailed,
         "a raw binary file needs a load address"},
        {m_dir.Write("bad.hex", ":10zz\n"), EFirmwareLoadProblem::kRefused, ERunEnd::kLoadFailed,
         "the reader refuses it: ##  Data length not equal to 16.(L1)"},
        {m_dir.Write("empty.asc", "@100\n"), EFirmwareLoadProblem::kNoData, ERunEnd::kLoadFailed,
         "the file holds no data to write"},
    };
    const int nCommandsBefore = m_sim.CommandCount();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.strPath);
        const auto pLoad = LoadFirmware(c.strPath);
        EXPECT_EQ(pLoad->problem, c.problem);
        EXPECT_EQ(pLoad->strReason, c.strReason);
        EXPECT_TRUE(pLoad->image.empty());
        m_view.Clear();
        m_inputs.strFilePath = c.strPath;
        m_inputs.pLoadedFile = pLoad;
        EXPECT_EQ(Run(), c.end);
        std::string strLines;
        for (const auto& [strText, nColour] : pLoad->vecLog)
            strLines += strText;
        EXPECT_EQ(m_view.LogText(), strLines);
    }
    EXPECT_EQ(m_sim.CommandCount(), nCommandsBefore);
}

TEST_F(RunTest, EveryEndOfARunLogsItsLinesAndReleasesThePort)
{
    struct Case {
        const char* pName;
        std::function<void(RunTest&)> prepare;
        ERunEnd end;
        std::function<std::string(const RunTest&)> tail;  // what follows the connection lines
        bool bInIapMode;
    };
    const Case cases[] = {
        // A file that cannot be loaded ends the run before the device is touched.
        {"file not found", [](RunTest& t) { t.m_inputs.strFilePath = t.m_dir.Path("missing.hex"); },
         ERunEnd::kFileNotFound,
         [](const RunTest& t) { return "## File not found: " + t.m_inputs.strFilePath + " \r\n"; }, false},
        {"other ending", [](RunTest& t) { t.m_inputs.strFilePath = t.m_dir.Write("firmware.elf", "data"); },
         ERunEnd::kUnknownFileKind,
         [](const RunTest& t) {
             return "## The file " + t.m_inputs.strFilePath +
                    " cannot be used: not a .hex, .asc, .srec, .s19, .s28, .s37, .mot or .bin file.\r\n";
         },
         false},
        {"a folder",
         [](RunTest& t) {
             t.m_inputs.strFilePath = t.m_dir.Path("folder.hex");
             std::filesystem::create_directory(t.m_inputs.strFilePath);
         },
         ERunEnd::kLoadFailed,
         [](const RunTest& t) {
             return "## The file " + t.m_inputs.strFilePath + " cannot be used: it is a folder.\r\n";
         },
         false},
        // What the reader refuses, or a file with nothing to write, is known
        // before anything is sent: the device keeps its application.
        {"loader failed", [](RunTest& t) { t.m_inputs.strFilePath = t.m_dir.Write("bad.HEX", "\n\nabc\n"); },
         ERunEnd::kLoadFailed, [](const RunTest&) { return std::string("##  Invalid format: abc. (L3)\r\n"); }, false},
        {"wrong checksum",
         [](RunTest& t) {
             std::string strText = HexFile(0x100, Pattern(48));
             char& cLast = strText[strText.find('\n', strText.find('\n') + 1) - 1];  // the second record's checksum
             cLast = cLast == '0' ? '1' : '0';
             t.m_inputs.strFilePath = t.m_dir.Write("bad.hex", strText);
         },
         ERunEnd::kLoadFailed, [](const RunTest&) { return std::string("##  Checksum error. (L2)\r\n"); }, false},
        {"byte-order mark",
         [](RunTest& t) {
             t.m_inputs.strFilePath = t.m_dir.Write("bom.hex", "\xEF\xBB\xBF" + HexFile(0, Pattern(16)));
         },
         ERunEnd::kLoadFailed,
         [](const RunTest&) {
             const std::string strText = HexFile(0, Pattern(16));
             return "##  Invalid format: \xEF\xBB\xBF" + strText.substr(0, strText.find('\n')) + ". (L1)\r\n";
         },
         false},
        {"cut off at a line end",
         [](RunTest& t) {
             const std::string strText = HexFile(0x100, Pattern(48));
             t.m_inputs.strFilePath = t.m_dir.Write("cut.hex", strText.substr(0, strText.rfind(":00000001FF")));
         },
         ERunEnd::kLoadFailed,
         [](const RunTest&) {
             // The 04 record and three data records: the last one is line 4.
             std::string strText = HexFile(0x100, Pattern(48));
             strText.resize(strText.rfind(":00000001FF") - 1);
             return "##  End-of-file record missing after line 4: " + strText.substr(strText.rfind('\n') + 1) +
                    "; the file may be cut off.\r\n";
         },
         false},
        {"empty file", [](RunTest& t) { t.m_inputs.strFilePath = t.m_dir.Write("empty.hex", ""); },
         ERunEnd::kLoadFailed,
         [](const RunTest& t) { return "## The file " + t.m_inputs.strFilePath + " holds no data to write.\r\n"; },
         false},
        {"only an end-of-file record",
         [](RunTest& t) { t.m_inputs.strFilePath = t.m_dir.Write("eof.hex", ":00000001FF\n"); }, ERunEnd::kLoadFailed,
         [](const RunTest& t) { return "## The file " + t.m_inputs.strFilePath + " holds no data to write.\r\n"; },
         false},
        {"ASC without data lines",
         [](RunTest& t) { t.m_inputs.strFilePath = t.m_dir.Write("none.asc", "// nothing yet\n@100\n"); },
         ERunEnd::kLoadFailed,
         [](const RunTest& t) { return "## The file " + t.m_inputs.strFilePath + " holds no data to write.\r\n"; },
         false},
        {"block write failed",
         [](RunTest& t) {
             t.m_inputs.strFilePath = t.m_dir.Write("firmware.hex", HexFile(0x100, Pattern(48)));
             t.Configure([](CSimConfig& c) { c.m_vecRefusedWrites.push_back(0x125); });
         },
         ERunEnd::kWriteFailed,
         [](const RunTest& t) {
             return "-- Downloading file " + t.m_inputs.strFilePath +
                    " ...\r\n"
                    "## Command 0xC2: refused by the device, status 0x00.\r\n"
                    "++  Write error:Addr=000120H,Offset=0x000120,Len=10H\r\n";
         },
         true},
        {"leaving IAP mode failed",
         [](RunTest& t) {
             t.m_inputs.strFilePath = t.m_dir.Write("firmware.hex", HexFile(0x100, Pattern(16)));
             t.Configure([](CSimConfig& c) { c.m_vecFaults.push_back({kIapLeave, EFaultKind::kRefuse, 0, 1}); });
         },
         ERunEnd::kDisconnectFailed,
         [](const RunTest& t) {
             return "-- Downloading file " + t.m_inputs.strFilePath +
                    " ...\r\n"
                    "-- Verifying ...\r\n"
                    "-- Verify successfully.\r\n"
                    "##  the exit the IAP mode is error!\r\n"
                    "## Flash  disconnect  Error !\r\n";
         },
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pName);
        m_sim.Configure(CSimConfig());
        m_view.Clear();
        c.prepare(*this);
        EXPECT_EQ(Run(), c.end);
        const std::string strConnected = c.bInIapMode ? "##  the cmdcheckid is ok!\r\n" : "";
        EXPECT_EQ(m_view.LogText(), strConnected + c.tail(*this));
        EXPECT_EQ(m_sim.InIapMode(), c.bInIapMode);
        EXPECT_EQ(m_sim.CommandCount() > 0, c.bInIapMode) << "the device touched for a file that cannot be loaded";
        EXPECT_EQ(m_loader.Channel().m_bOpen, 0);
        EXPECT_TRUE(PortReleased());
        EXPECT_TRUE(m_loader.Image().empty() || c.end == ERunEnd::kWriteFailed || c.end == ERunEnd::kDisconnectFailed);
    }
}

TEST_F(RunTest, PortThatDoesNotOpenEndsTheRunWithTheChannelText)
{
    m_inputs.port.strPortPath = m_dir.Path("no-such-tty");
    m_inputs.strFilePath = m_dir.Write("firmware.hex", HexFile(0, Pattern(16)));
    EXPECT_EQ(Run(), ERunEnd::kConnectionFailed);
    EXPECT_EQ(m_view.LogText(), "## Open " + m_inputs.port.strPortPath + " failed, BaudRate = 115200.\r\n## " +
                                    m_inputs.port.strPortPath + ": not found (not plugged in, or a wrong name)\r\n");
    EXPECT_EQ(m_view.Log().back().nColour, kLogRed);
}

TEST_F(RunTest, ConnectionFollowsTheVersionRules)
{
    struct Case {
        const char* pName;
        int nBurnType;
        const char* pSupport;
        CSimVersion app, firmware;
        int nTyped[3];
        int bChip;
        bool bAnswerYes;
        ERunEnd end;
        const char* pLine;  // a line the log must hold ("" for none)
        bool bAsked;
        uint8_t nIdentifyFlag;  // byte 7 of the identify frame
        Bytes query;            // bytes 2 to 4 of the query frame
    };
    const Case cases[] = {
        {"1.2.* permits 1.2.7",
         0,
         "1.2.*",
         {1, 0, 0},
         {1, 2, 7},
         {0, 0, 0},
         0,
         true,
         ERunEnd::kSuccess,
         "",
         false,
         0,
         {0x2A, 0x02, 0x01}},
        {"1.2.* refuses 1.3.0",
         0,
         "1.2.*",
         {1, 0, 0},
         {1, 3, 0},
         {0, 0, 0},
         1,
         true,
         ERunEnd::kConnectionFailed,
         "##  当前的固件版本[1.3.0]没有升级的权限，禁止升级 !\r\n",
         false,
         0,
         {0x2A, 0x02, 0x01}},
        {"empty text permits only 0.0.0",
         1,
         "",
         {1, 0, 0},
         {0, 0, 0},
         {0, 0, 0},
         0,
         true,
         ERunEnd::kSuccess,
         "",
         false,
         0,
         {0, 0, 0}},
        {"empty text refuses 0.0.1",
         0,
         "",
         {1, 0, 0},
         {0, 0, 1},
         {0, 0, 0},
         0,
         true,
         ERunEnd::kConnectionFailed,
         "##  当前的固件版本[0.0.1]没有升级的权限，禁止升级 !\r\n",
         false,
         0,
         {0, 0, 0}},
        {"wildcards permit anything",
         0,
         "*.*.*",
         {1, 0, 0},
         {9, 8, 7},
         {0, 0, 0},
         0,
         true,
         ERunEnd::kSuccess,
         "",
         false,
         0,
         {0x2A, 0x2A, 0x2A}},
        {"program, older typed, declined",
         2,
         "",
         {1, 0, 0},
         {5, 5, 5},
         {1, 0, 0},
         1,
         false,
         ERunEnd::kConnectionFailed,
         "##  the Verion is too old not to update IAP !\r\n",
         true,
         1,
         {}},
        {"program, equal typed, accepted",
         2,
         "",
         {1, 0, 0},
         {5, 5, 5},
         {1, 0, 0},
         0,
         true,
         ERunEnd::kSuccess,
         "##  当前芯片应用程序版本：1.0.0 !\r\n",
         true,
         0,
         {0x00, 0x00, 0x01}},
        {"program, newer typed, no question",
         2,
         "",
         {1, 0, 0},
         {5, 5, 5},
         {1, 0, 1},
         1,
         false,
         ERunEnd::kSuccess,
         "##  当前芯片应用程序版本：1.0.0 !\r\n",
         false,
         1,
         {0x01, 0x00, 0x01}},
    };
    m_inputs.strFilePath = m_dir.Write("firmware.hex", HexFile(0x40, Pattern(8)));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pName);
        CSimConfig config;
        config.m_appVersion = c.app;
        config.m_fwVersion = c.firmware;
        m_sim.Configure(config);
        m_sim.ClearReceivedFrames();
        m_view.Clear();
        m_view.m_bAnswerYes = c.bAnswerYes;
        m_inputs.nBurnType = c.nBurnType;
        m_inputs.strSupportVersion = c.pSupport;
        m_inputs.nVerMajor = c.nTyped[0];
        m_inputs.nVerMinor = c.nTyped[1];
        m_inputs.nVerPatch = c.nTyped[2];
        m_inputs.bChipTypeCheck = c.bChip;
        EXPECT_EQ(Run(), c.end) << m_view.LogText();
        const std::string strLog = m_view.LogText();
        if (*c.pLine) {
            EXPECT_NE(strLog.find(c.pLine), std::string::npos) << strLog;
        }
        EXPECT_EQ(!m_view.Questions().empty(), c.bAsked);
        const auto identify = FramesWithCode(kIapIdentify);
        ASSERT_EQ(identify.size(), 1u);
        EXPECT_EQ(identify[0][7], c.nIdentifyFlag);
        const uint8_t tag[3][2] = {{'S', 'L'}, {'F', 'Z'}, {'X', 'P'}};
        EXPECT_EQ(identify[0][2], tag[c.nBurnType][0]);
        EXPECT_EQ(identify[0][3], tag[c.nBurnType][1]);
        const auto query = FramesWithCode(kIapQuery);
        if (c.query.empty()) {
            EXPECT_TRUE(query.empty());
        } else {
            ASSERT_EQ(query.size(), 1u);
            EXPECT_EQ(Bytes(query[0].begin() + 2, query[0].begin() + 5), c.query);
            EXPECT_EQ(query[0][6], tag[c.nBurnType][0]);
        }
        EXPECT_TRUE(PortReleased());
    }
}

TEST_F(RunTest, RefusedStepsOfTheConnection)
{
    m_inputs.strFilePath = m_dir.Write("firmware.hex", HexFile(0x40, Pattern(8)));
    // A refused identify is no end: no enter-IAP is sent and the query decides.
    Configure([](CSimConfig& c) { c.m_vecFaults.push_back({kIapIdentify, EFaultKind::kRefuse, 0, 1}); });
    EXPECT_EQ(Run(), ERunEnd::kSuccess);
    const auto log = m_view.Log();
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(log[0].strText, "[box] 状态返回失败，返回值为0xaa。");
    EXPECT_EQ(log[1].strText, "##  cmdcheckid fail!\r\n");
    EXPECT_EQ(log[1].nColour, kLogGreen);
    EXPECT_TRUE(FramesWithCode(kIapEnter).empty());
    EXPECT_EQ(FramesWithCode(kIapQuery).size(), 1u);

    struct Case {
        uint8_t nCode;
        const char* pLine;
    };
    for (const Case& c : {Case {kIapEnter, "##  the enter the IAP mode is error!\r\n"},
                          Case {kIapQuery, "## Flash  查询iap模式 Error !\r\n"}}) {
        SCOPED_TRACE(c.pLine);
        m_view.Clear();
        m_sim.Configure(CSimConfig());
        Configure([&](CSimConfig& config) { config.m_vecFaults.push_back({c.nCode, EFaultKind::kRefuse, 0, 1}); });
        EXPECT_EQ(Run(), ERunEnd::kConnectionFailed);
        EXPECT_EQ(m_view.Log().back().strText, c.pLine);
        EXPECT_EQ(m_view.Log().back().nColour, kLogRed);
        EXPECT_TRUE(PortReleased());
    }
}

TEST_F(RunTest, VerifyReportsEachDifferenceAndTheRunFails)
{
    Bytes data = Pattern(32);
    data[2] = 0x0A;
    data[0x13] = 0x40;
    m_inputs.strFilePath = m_dir.Write("firmware.hex", HexFile(0x100, data));
    Configure([](CSimConfig& c) {
        c.m_vecCorrupt.push_back({0x102, false, 0xFF});
        c.m_vecCorrupt.push_back({0x113, true, 0});
    });
    EXPECT_EQ(Run(), ERunEnd::kVerifyFailed);
    EXPECT_EQ(m_view.LogText(), "##  the cmdcheckid is ok!\r\n"
                                "-- Downloading file " +
                                    m_inputs.strFilePath +
                                    " ...\r\n"
                                    "-- Verifying ...\r\n"
                                    "++  Addr=000102H, W=0aH, R=ffH.\r\n"
                                    "++  Addr=000113H, W=40H, R=bfH.\r\n"
                                    "## Total 2 mismatchings found.\r\n"
                                    "## Verify failed.\r\n"
                                    "##  the disconnect is ok!\r\n"
                                    "## Download failed: the verify pass found differences.\r\n");
    EXPECT_FALSE(m_sim.InIapMode());
    EXPECT_TRUE(PortReleased());
}

TEST_F(RunTest, DeviceThatStopsAnsweringEndsTheRunInBoundedTime)
{
    m_inputs.strFilePath = m_dir.Write("firmware.hex", HexFile(0x100, Pattern(64)));
    struct Case {
        const char* pName;
        CSimFault fault;
        ERunEnd end;
        const char* pLine;
    };
    const Case cases[] = {
        {"silent while writing",
         {kFlashWriteTwo, EFaultKind::kSilent, 0, 10},
         ERunEnd::kWriteFailed,
         "## Command 0xC2: no reply within 2000 ms.\r\n"},
        {"silent while reading back",
         {kFlashRead, EFaultKind::kSilent, 0, 2},
         ERunEnd::kVerifyFailed,
         "##  Read error: Addr=0x000110,Offset=0x0110,Len=0x10\r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pName);
        m_view.Clear();
        CSimConfig config;
        config.m_vecFaults.push_back(c.fault);
        m_sim.Configure(config);
        const auto start = Clock::now();
        EXPECT_EQ(Run(), c.end);
        EXPECT_LT(Clock::now() - start, std::chrono::seconds(6));
        EXPECT_NE(m_view.LogText().find(c.pLine), std::string::npos) << m_view.LogText();
        EXPECT_TRUE(PortReleased());
    }
    // The device answers again: the next run goes through.
    m_sim.Configure(CSimConfig());
    m_view.Clear();
    EXPECT_EQ(Run(), ERunEnd::kSuccess) << m_view.LogText();
}

// The file is looked at again once the device is connected: what is
// written is what it holds then, and a file that no longer loads ends the
// run with the device out of IAP mode, not left without its application.
TEST_F(RunTest, FileChangedWhileConnectingIsLoadedAgain)
{
    const Bytes first = Pattern(32);
    const Bytes second = Pattern(32, 5);
    const std::string strPath = m_dir.Write("firmware.hex", HexFile(0x200, first));
    m_inputs.strFilePath = strPath;
    // The downgrade question holds the connection while the file changes.
    m_inputs.nBurnType = 2;
    m_inputs.nVerMajor = 1;
    CSimConfig config;
    config.m_appVersion = {1, 0, 0};
    m_sim.Configure(config);
    struct Case {
        const char* pName;
        std::string strNewText;
        ERunEnd end;
        const char* pLine;
    };
    const Case cases[] = {
        {"changed", HexFile(0x200, second), ERunEnd::kSuccess, "-- Download successfully.\r\n"},
        {"no longer loads", "abc\n", ERunEnd::kLoadFailed, "##  Invalid format: abc. (L1)\r\n"},
        {"no data left", ":00000001FF\n", ERunEnd::kLoadFailed, " holds no data to write.\r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pName);
        m_dir.Write("firmware.hex", HexFile(0x200, first));
        m_sim.WriteMemory(0x200, Bytes(32, 0xFF));
        m_sim.ClearReceivedFrames();
        m_view.Clear();
        const int nLeftBefore = m_sim.LeaveCount();
        m_view.m_onQuestion = [&] { m_dir.Write("firmware.hex", c.strNewText); };
        EXPECT_EQ(Run(), c.end);
        const std::string strLog = m_view.LogText();
        EXPECT_NE(strLog.find(c.pLine), std::string::npos) << strLog;
        EXPECT_FALSE(m_sim.InIapMode());
        EXPECT_EQ(m_sim.LeaveCount(), nLeftBefore + 1);
        EXPECT_EQ(m_sim.ReadMemory(0x200, 32), c.end == ERunEnd::kSuccess ? second : Bytes(32, 0xFF));
        EXPECT_TRUE(PortReleased());
    }
}

// Waits until the log holds the text, or gives up after a while.
bool WaitForLog(const CRecordingView& view, const std::string& strText)
{
    for (int i = 0; i < 1000; ++i) {
        if (view.LogText().find(strText) != std::string::npos)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

TEST_F(RunTest, CancelWhileWritingLeavesThePortForTheNextRun)
{
    m_inputs.strFilePath = m_dir.Write("firmware.hex", HexFile(0, Pattern(4096)));
    Configure([](CSimConfig& c) { c.m_nBaudRate = 38400; });
    m_loader.OnStartButton(m_inputs);
    ASSERT_TRUE(WaitForLog(m_view, "-- Downloading file"));
    while (m_view.Steps() < 3)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    m_loader.OnStartButton(m_inputs);  // "&Cancel"
    m_loader.OnStartButton(m_inputs);  // a second press while stopping changes nothing
    m_loader.WaitForRun();
    EXPECT_EQ(m_loader.LastRunEnd(), ERunEnd::kCancelled);
    EXPECT_LT(m_view.Steps(), 256);
    const std::string strLog = m_view.LogText();
    // One red line says the device is left half-written; the port button
    // shows the port the stopped run left open.
    EXPECT_TRUE(
        strLog.ends_with(" ...\r\n## Download stopped before it finished: the device is still in IAP mode.\r\n"))
        << strLog;
    EXPECT_EQ(m_view.Log().back().nColour, kLogRed);
    EXPECT_EQ(m_view.PortButton(), std::vector<bool> {true});
    EXPECT_EQ(m_loader.Channel().m_bOpen, 1);
    EXPECT_TRUE(m_sim.InIapMode());
    EXPECT_FALSE(m_view.ProgressShown());

    // The next run first closes the port the stopped run left open.
    m_sim.Configure(CSimConfig());
    m_view.Clear();
    EXPECT_EQ(Run(), ERunEnd::kSuccess) << m_view.LogText();
    EXPECT_EQ(m_view.PortButton(), (std::vector<bool> {true, false}));
    EXPECT_EQ(m_sim.ReadMemory(0, 4096), Pattern(4096));
}

TEST_F(RunTest, CancelWhileVerifyingStillLeavesIapModeButIsNoSuccess)
{
    m_inputs.strFilePath = m_dir.Write("firmware.hex", HexFile(0, Pattern(4096)));
    m_loader.OnStartButton(m_inputs);
    ASSERT_TRUE(WaitForLog(m_view, "-- Downloading file"));
    Configure([](CSimConfig& c) { c.m_nBaudRate = 38400; });
    ASSERT_TRUE(WaitForLog(m_view, "-- Verifying ...\r\n"));
    m_loader.RequestStop();
    m_loader.WaitForRun();
    EXPECT_EQ(m_loader.LastRunEnd(), ERunEnd::kCancelled);
    const std::string strLog = m_view.LogText();
    EXPECT_TRUE(strLog.ends_with("-- Verifying ...\r\n"
                                 "##  the disconnect is ok!\r\n"
                                 "## Download failed: the verify pass was cancelled.\r\n"))
        << strLog;
    EXPECT_FALSE(m_sim.InIapMode());
    EXPECT_TRUE(PortReleased());
}

// A read run: progress in blocks of up to 255 bytes, the ranges in the order
// given, and out of IAP mode at the end with no write command sent.
TEST_F(RunTest, ReadRunReadsEachRangeInBlocksAndLeavesIapMode)
{
    m_sim.WriteMemory(0x100, Pattern(600, 3));
    m_sim.WriteMemory(0x20000, Pattern(10, 9));
    m_inputs.eKind = ERunKind::kRead;
    m_inputs.strFilePath = m_dir.Path("dump.hex");
    m_inputs.vecReadRanges = {{0x20000, 10}, {0x100, 600}};
    EXPECT_EQ(Run(), ERunEnd::kSuccess) << m_view.LogText();
    ASSERT_EQ(m_loader.ReadRanges().size(), 2u);
    EXPECT_EQ(m_loader.ReadRanges()[0].nStart, 0x20000u);
    EXPECT_EQ(m_loader.ReadRanges()[0].vecData, Pattern(10, 9));
    EXPECT_EQ(m_loader.ReadRanges()[1].vecData, Pattern(600, 3));
    EXPECT_EQ(m_view.ProgressBegins(), (std::vector<int> {4}));
    EXPECT_EQ(m_view.Steps(), 4);
    EXPECT_TRUE(FramesWithCode(0xC2).empty());
    EXPECT_TRUE(FramesWithCode(0xC3).empty());
    EXPECT_EQ(FramesWithCode(0xCA).size(), 4u);
    EXPECT_FALSE(m_sim.InIapMode());
    EXPECT_TRUE(PortReleased());
    EXPECT_TRUE(m_view.LogText().ends_with("-- Read successfully: 610 bytes into " + m_inputs.strFilePath + ".\r\n"))
        << m_view.LogText();
}

// A read or verify asks no question about an older version: nothing is written.
TEST_F(RunTest, ReadAndVerifyAskNoDowngradeQuestion)
{
    Configure([](CSimConfig& c) { c.m_appVersion = {3, 0, 0}; });
    const Bytes data = Pattern(32);
    m_sim.WriteMemory(0x400, data);
    m_inputs.nBurnType = 2;
    m_inputs.nVerMajor = 2;
    m_view.m_bAnswerYes = false;
    m_inputs.eKind = ERunKind::kVerify;
    m_inputs.strFilePath = m_dir.Write("firmware.hex", HexFile(0x400, data));
    EXPECT_EQ(Run(), ERunEnd::kSuccess) << m_view.LogText();
    m_inputs.eKind = ERunKind::kRead;
    m_inputs.strFilePath = m_dir.Path("dump.bin");
    m_inputs.vecReadRanges = {{0x400, 32}};
    EXPECT_EQ(Run(), ERunEnd::kSuccess) << m_view.LogText();
    EXPECT_TRUE(m_view.Questions().empty());
    EXPECT_EQ(m_sim.LeaveCount(), 2);
}

TEST_F(RunTest, CancelWhileReadingLeavesIapModeAndMakesNoFile)
{
    m_inputs.eKind = ERunKind::kRead;
    m_inputs.strFilePath = m_dir.Path("dump.hex");
    m_inputs.vecReadRanges = {{0, 0x10000}};
    // Slow enough that the whole read cannot end before the stop comes.
    Configure([](CSimConfig& c) { c.m_nBaudRate = 38400; });
    m_loader.OnStartButton(m_inputs);
    ASSERT_TRUE(WaitForLog(m_view, "-- Reading ...\r\n"));
    m_loader.RequestStop();
    m_loader.WaitForRun();
    EXPECT_EQ(m_loader.LastRunEnd(), ERunEnd::kCancelled);
    EXPECT_TRUE(m_view.LogText().ends_with("##  the disconnect is ok!\r\n"
                                           "## Read stopped before it finished: no file was written.\r\n"))
        << m_view.LogText();
    EXPECT_LT(m_view.Steps(), 0x10000 / 255);
    EXPECT_FALSE(std::filesystem::exists(m_inputs.strFilePath));
    EXPECT_FALSE(m_sim.InIapMode());
    EXPECT_TRUE(PortReleased());
}

}  // namespace

namespace {

// Two engines in one process, as a production line runs them: each with its
// own COM map, port search and device, at the same time.
TEST(TwoEngines, RunAtOnceEachOnItsOwnDeviceWithoutInterfering)
{
    CTempDir dir;
    std::filesystem::create_directories(dir.Path("sys/class/tty"));
    ::setenv("VANTREL_SYSFS", dir.Path("sys").c_str(), 1);
    struct CEngine {
        CDeviceSimulator sim;
        CRecordingView view;
        CLoader loader {view};
        Bytes data;
    };
    CEngine engines[2];
    for (int i = 0; i < 2; ++i) {
        CEngine& e = engines[i];
        ASSERT_TRUE(e.sim.Start());
        // The same number in both maps, each for its own device; engine 1
        // also knows a second, absent one.
        e.loader.ComPorts().SetPath(1, e.sim.SlavePath());
        if (i == 1)
            e.loader.ComPorts().SetPath(2, dir.Path("absent"));
        e.data = Pattern(2048, static_cast<uint8_t>(0x30 + i));
    }
    for (int i = 0; i < 2; ++i) {
        CRunInputs inputs;
        inputs.strFilePath = dir.Write("image" + std::to_string(i) + ".hex", HexFile(0x800, engines[i].data));
        inputs.port.nPortIndex = kAutoCheckIndex;
        inputs.strSupportVersion = "*.*.*";
        engines[i].loader.OnStartButton(inputs);
    }
    for (CEngine& e : engines)
        e.loader.WaitForRun();
    ::unsetenv("VANTREL_SYSFS");

    for (int i = 0; i < 2; ++i) {
        CEngine& e = engines[i];
        SCOPED_TRACE(i);
        EXPECT_EQ(e.loader.LastRunEnd(), ERunEnd::kSuccess) << e.view.LogText();
        EXPECT_EQ(e.sim.ReadMemory(0x800, e.data.size()), e.data);
        EXPECT_FALSE(e.sim.InIapMode());
    }
    EXPECT_EQ(engines[0].loader.DetectedPorts(), (std::array<int, kDetectedPortSlots> {1, -1, -1, -1, -1, -1}));
    EXPECT_EQ(engines[1].loader.DetectedPorts(), (std::array<int, kDetectedPortSlots> {1, 2, -1, -1, -1, -1}));
}

}  // namespace
