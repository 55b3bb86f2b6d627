// Loading and saving the settings record, the COM-number map, atomic
// replacement under a killed writer, and the fall-back to the per-user file.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <filesystem>
#include <random>
#include <string>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "SettingsFixtures.h"
#include "settings/ProfileFile.h"
#include "settings/Settings.h"
#include "serial/ComPortMap.h"

void PrintTo(const SComPort& port, std::ostream* pOut)
{
    *pOut << (port.bPinned ? "pin " : "given ") << port.strPath << " seen " << port.nLastSeen;
}

namespace {

namespace fs = std::filesystem;

using SettingsTest = CSettingsTest;

const std::string kFirstRunFile = "[Port:]\r\n"
                                  "UsedTimes=1\r\n"
                                  "StopBit=0\r\n"
                                  "PortNum=0\r\n"
                                  "DataBit=3\r\n"
                                  "BaudRate=7\r\n"
                                  "CsBit=2\r\n"
                                  "SendType=1\r\n"
                                  "FrameLen=1024\r\n"
                                  "TimeInterval=1000\r\n"
                                  "RepeatTimes=1\r\n";

CSettings Made(int nStopBit, int nPortNum, int nDataBit, int nCsBit, int nBaudRate, int nSendType, int nFrameLen,
               int nRepeatTimes, int nTimeInterval, const std::string& strSupportVersion = "")
{
    CSettings settings;
    settings.nStopBit = nStopBit;
    settings.nPortNum = nPortNum;
    settings.nDataBit = nDataBit;
    settings.nCsBit = nCsBit;
    settings.nBaudRate = nBaudRate;
    settings.nSendType = nSendType;
    settings.nFrameLen = nFrameLen;
    settings.nRepeatTimes = nRepeatTimes;
    settings.nTimeInterval = nTimeInterval;
    settings.strSupportVersion = strSupportVersion;
    return settings;
}

TEST_F(SettingsTest, FirstRunTakesAndWritesTheDefaults)
{
    CSettings settings = Made(9, 9, 9, 9, 9, 9, 9, 9, 9, "kept?");
    CRecordingLog log;
    LoadSettings(*m_pProfile, settings, log);
    EXPECT_EQ(settings, CSettings());
    EXPECT_EQ(ReadBytes(IniPath()), kFirstRunFile);
    EXPECT_TRUE(log.m_vecEntries.empty());

    // The next start finds the file used.
    CSettings again = Made(9, 9, 9, 9, 9, 9, 9, 9, 9);
    LoadSettings(*m_pProfile, again, log);
    EXPECT_EQ(again, CSettings());
    EXPECT_EQ(ReadBytes(IniPath()), kFirstRunFile);
}

TEST_F(SettingsTest, UnusedFileHasItsValuesOverwrittenInPlace)
{
    WriteBytes(IniPath(),
               "[Port:]\r\nBaudRate=3\r\nUsedTimes=0\r\nFrameLen=99\r\n\r\n[update]\r\nsupportversion=1.2\r\n");
    CSettings settings;
    CRecordingLog log;
    LoadSettings(*m_pProfile, settings, log);
    CSettings expected;
    expected.strSupportVersion = "1.2";
    EXPECT_EQ(settings, expected);
    EXPECT_EQ(ReadBytes(IniPath()),
              "[Port:]\r\nBaudRate=7\r\nUsedTimes=1\r\nFrameLen=1024\r\nStopBit=0\r\nPortNum=0\r\n"
              "DataBit=3\r\nCsBit=2\r\nSendType=1\r\nTimeInterval=1000\r\nRepeatTimes=1\r\n"
              "\r\n[update]\r\nsupportversion=1.2\r\n");
}

TEST_F(SettingsTest, UsedFileIsReadAsItStands)
{
    const struct {
        const char* pszFile;
        CSettings expected;
    } cases[] = {
        {"[Port:]\nUsedTimes=1\nStopBit=1\nPortNum=2\nDataBit=3\nCsBit=4\nSendType=0\nRepeatTimes=6\nTimeInterval=7\n",
         Made(1, 2, 3, 4, 0, 0, 0, 6, 7)},
        {"[Port:]\nUsedTimes=5\nStopBit=2\nPortNum=11\nDataBit=1\nCsBit=0\nBaudRate=12\nSendType=1\nFrameLen=64\n"
         "RepeatTimes=3\nTimeInterval=20\n[update]\nsupportversion = V1.0.0, V1.0.1 \n",
         Made(2, 11, 1, 0, 12, 1, 64, 3, 20, "V1.0.0, V1.0.1")},
        // Indexes past the end of their lists are kept; the view shows no selection.
        {"[Port:]\nUsedTimes=1\nStopBit=7\nPortNum=40\nDataBit=abc\nCsBit=-3\nBaudRate=-2\nSendType=99\nFrameLen=+5x\n"
         "RepeatTimes=\nTimeInterval= 12 ms\n",
         Made(7, 40, 0, -3, -2, 99, 5, 0, 12)},
    };
    for (const auto& c : cases) {
        WriteBytes(IniPath(), c.pszFile);
        CSettings settings;
        CRecordingLog log;
        LoadSettings(*m_pProfile, settings, log);
        EXPECT_EQ(settings, c.expected) << c.pszFile;
        EXPECT_EQ(ReadBytes(IniPath()), c.pszFile);
    }
}

TEST_F(SettingsTest, PermittedVersionsAreReadAtEveryStart)
{
    // A file written only to permit versions has no UsedTimes: its very
    // first start is the one it was written for.
    const char* files[] = {
        "[update]\nsupportversion=1.*.*\n",
        "[Port:]\nUsedTimes=0\nBaudRate=3\n[update]\nsupportversion=1.*.*\n",
        "[Port:]\nUsedTimes=1\n[update]\nsupportversion=1.*.*\n",
    };
    for (const char* pszFile : files) {
        WriteBytes(IniPath(), pszFile);
        for (int nStart = 1; nStart <= 2; ++nStart) {
            NewStart();
            CSettings settings;
            CRecordingLog log;
            LoadSettings(*m_pProfile, settings, log);
            EXPECT_EQ(settings.strSupportVersion, "1.*.*") << pszFile << "start " << nStart;
            EXPECT_TRUE(log.m_vecEntries.empty()) << pszFile;
        }
    }
}

TEST_F(SettingsTest, SaveWritesTheSettingsInItsOrderAndNothingElse)
{
    CRecordingLog log;
    SaveSettings(*m_pProfile, Made(1, 2, 3, 4, 5, 6, 7, 8, 9, "not written"), log);
    EXPECT_EQ(ReadBytes(IniPath()), "[Port:]\r\nStopBit=1\r\nPortNum=2\r\nDataBit=3\r\nBaudRate=5\r\nCsBit=4\r\n"
                                    "SendType=6\r\nFrameLen=7\r\nTimeInterval=9\r\nRepeatTimes=8\r\n");

    fs::remove(IniPath());
    CSettings loaded;
    LoadSettings(*m_pProfile, loaded, log);
    WriteBytes(IniPath(), kFirstRunFile + "\r\n[update]\r\nsupportversion=2.0\r\n");
    const CSettings saved = Made(1, 11, 2, 0, 5, 0, 256, 4, 50);
    SaveSettings(*m_pProfile, saved, log);
    EXPECT_EQ(ReadBytes(IniPath()), "[Port:]\r\nUsedTimes=1\r\nStopBit=1\r\nPortNum=11\r\nDataBit=2\r\nBaudRate=5\r\n"
                                    "CsBit=0\r\nSendType=0\r\nFrameLen=256\r\nTimeInterval=50\r\nRepeatTimes=4\r\n"
                                    "\r\n[update]\r\nsupportversion=2.0\r\n");
    LoadSettings(*m_pProfile, loaded, log);
    EXPECT_EQ(loaded, Made(1, 11, 2, 0, 5, 0, 256, 4, 50, "2.0"));
    EXPECT_TRUE(log.m_vecEntries.empty());
}

// The file as SaveSettings leaves it for one value per key, behind a large
// section that makes each replacement take a while.
std::string SavedFile(const std::array<int, 9>& values, const std::string& strPadding)
{
    return fmt::format("[Port:]\r\nUsedTimes=1\r\nStopBit={}\r\nPortNum={}\r\nDataBit={}\r\nBaudRate={}\r\nCsBit={}\r\n"
                       "SendType={}\r\nFrameLen={}\r\nTimeInterval={}\r\nRepeatTimes={}\r\n\r\n[Padding]\r\n{}",
                       values[0], values[1], values[2], values[3], values[4], values[5], values[6], values[7],
                       values[8], strPadding);
}

TEST_F(SettingsTest, KilledWriterLeavesAWholeFile)
{
    const std::array<int, 9> a {0, 1, 2, 3, 4, 5, 600, 700, 800};
    const std::array<int, 9> b {10, 11, 12, 13, 14, 15, 1600, 1700, 1800};
    const CSettings settingsA = Made(a[0], a[1], a[2], a[4], a[3], a[5], a[6], a[8], a[7]);
    const CSettings settingsB = Made(b[0], b[1], b[2], b[4], b[3], b[5], b[6], b[8], b[7]);
    std::string strPadding;
    for (int i = 0; i < 4000; ++i)
        strPadding += fmt::format("; padding line {:05} ------------------------------------------\r\n", i);
    WriteBytes(IniPath(), SavedFile(a, strPadding));
    m_pProfile->SetPath(IniPath());

    std::mt19937 random(12345);
    for (int nRound = 0; nRound < 20; ++nRound) {
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            CRecordingLog log;
            for (;;) {
                SaveSettings(*m_pProfile, settingsB, log);
                SaveSettings(*m_pProfile, settingsA, log);
            }
        }
        usleep(1000 + random() % 30000);
        kill(child, SIGKILL);
        int nStatus = 0;
        waitpid(child, &nStatus, 0);

        // Every key holds one of its two values, and the file is exactly what
        // those values make: nothing cut short, nothing doubled.
        std::array<int, 9> found {};
        const char* keys[] = {"StopBit",  "PortNum",  "DataBit",      "BaudRate",   "CsBit",
                              "SendType", "FrameLen", "TimeInterval", "RepeatTimes"};
        for (size_t i = 0; i < found.size(); ++i) {
            found[i] = m_pProfile->IniReadInt("Port:", keys[i]);
            EXPECT_TRUE(found[i] == a[i] || found[i] == b[i]) << keys[i] << "=" << found[i];
        }
        ASSERT_EQ(ReadBytes(IniPath()), SavedFile(found, strPadding)) << "round " << nRound;
    }
}

TEST_F(SettingsTest, UnwritableFileFallsBackToThePerUserFileLoggingOnce)
{
    WriteBytes(m_dir.File("plain"), "a file, not a folder");
    const std::string strNamed = m_dir.File("plain") + "/vantrel.Ini";
    CScopedEnv named("VANTREL_INI", strNamed);

    CSettings settings;
    CRecordingLog log;
    LoadSettings(*m_pProfile, settings, log);
    EXPECT_EQ(settings, CSettings());
    const std::vector<std::pair<std::string, int>> expectedLog {
        {"## Cannot write the settings file " + strNamed + ": Not a directory\r\n", kLogRed}};
    EXPECT_EQ(log.m_vecEntries, expectedLog);
    EXPECT_EQ(m_pProfile->Path(), UserIniPath());

    const CSettings saved = Made(1, 2, 3, 4, 5, 6, 7, 8, 9);
    SaveSettings(*m_pProfile, saved, log);
    CSettings loaded;
    LoadSettings(*m_pProfile, loaded, log);
    EXPECT_EQ(loaded, saved);
    EXPECT_EQ(log.m_vecEntries, expectedLog);
    EXPECT_EQ(m_pProfile->IniReadInt("Port:", "UsedTimes"), 1);
    EXPECT_FALSE(fs::exists(strNamed));
}

TEST_F(SettingsTest, FallBackCarriesOverWhatTheUsualFileHolds)
{
    m_pProfile->SetPath(IniPath());
    WriteBytes(IniPath(), "[Port:]\nUsedTimes=3\nBaudRate=5\n");
    EXPECT_TRUE(m_pProfile->IniFallBackToUserFile());
    EXPECT_EQ(m_pProfile->Path(), UserIniPath());
    EXPECT_EQ(ReadBytes(UserIniPath()), "[Port:]\nUsedTimes=3\nBaudRate=5\n");
    EXPECT_FALSE(m_pProfile->IniFallBackToUserFile());
    EXPECT_EQ(m_pProfile->SettingsFilePath(), UserIniPath());
}

TEST_F(SettingsTest, PortMapRoundTrip)
{
    // As the program wrote it before it kept times, with an operator's pin and
    // keys that are no COM numbers.
    const std::string strFile = "[Port:]\r\nUsedTimes=1\r\n"
                                "[Ports]\r\n"
                                "COM3=/dev/serial/by-id/usb-A\r\n"
                                "com7 = /dev/pts/4\r\n"
                                "; COM8=/commented\r\n"
                                "COM0=/x\r\nCOM257=/x\r\nCOM03=/x\r\nCOMx=/x\r\nCOM9=\r\nFoo=/x\r\nCOM3=/dup\r\n"
                                "\r\n[Other]\r\nK=v\r\n";
    WriteBytes(IniPath(), strFile);
    m_pProfile->SetPath(IniPath());
    m_comPorts.SetPath(1, "/from/before");
    LoadPortMap(*m_pProfile, m_comPorts);
    const std::map<int, SComPort> loaded {{3, {"/dev/serial/by-id/usb-A", false, 0}}, {7, {"/dev/pts/4", true, 0}}};
    EXPECT_EQ(m_comPorts.Entries(), loaded);

    // The first save tells each number's kind; then nothing has changed and
    // the file is not even written again.
    EXPECT_TRUE(SavePortMap(*m_pProfile, m_comPorts));
    EXPECT_EQ(ReadBytes(IniPath()), strFile + "\r\n[PortsSeen]\r\nCOM3=0\r\nCOM7=pinned\r\n");
    const timespec longAgo[2] = {{946684800, 0}, {946684800, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, IniPath().c_str(), longAgo, 0), 0);
    EXPECT_TRUE(SavePortMap(*m_pProfile, m_comPorts));
    struct stat after {};
    ASSERT_EQ(stat(IniPath().c_str(), &after), 0);
    EXPECT_EQ(after.st_mtim.tv_sec, 946684800);

    std::map<int, SComPort> changed = loaded;
    changed.erase(3);
    changed[7].strPath = "/dev/pts/5";
    changed[12] = {"/dev/ttyUSB0", false, 1765372800};
    m_comPorts.SetEntries(changed);
    EXPECT_TRUE(SavePortMap(*m_pProfile, m_comPorts));
    EXPECT_EQ(ReadBytes(IniPath()), "[Port:]\r\nUsedTimes=1\r\n"
                                    "[Ports]\r\n"
                                    "com7=/dev/pts/5\r\n"
                                    "; COM8=/commented\r\n"
                                    "COM0=/x\r\nCOM257=/x\r\nCOM03=/x\r\nCOMx=/x\r\nCOM9=\r\nFoo=/x\r\n"
                                    "COM12=/dev/ttyUSB0\r\n"
                                    "\r\n[Other]\r\nK=v\r\n"
                                    "\r\n[PortsSeen]\r\nCOM7=pinned\r\nCOM12=1765372800\r\n");
    m_comPorts.Clear();
    LoadPortMap(*m_pProfile, m_comPorts);
    EXPECT_EQ(m_comPorts.Entries(), changed);

    WriteBytes(m_dir.File("plain"), "not a folder");
    m_pProfile->SetPath(m_dir.File("plain") + "/vantrel.Ini");
    m_comPorts.SetPath(5, "/dev/ttyACM0");
    EXPECT_FALSE(SavePortMap(*m_pProfile, m_comPorts));
}

// Which numbers are the operator's pins and which the program gave a device,
// in files from before the times were kept (told by the path) and after.
TEST_F(SettingsTest, PortMapTellsPinsFromNumbersTheProgramGave)
{
    const SComPort given {"", false, 0};
    const SComPort pin {"", true, 0};
    const struct {
        const char* pszPath;
        const char* pszSeen;  // nullptr: the file has no section PortsSeen
        SComPort kind;
    } cases[] = {
        {"/dev/serial/by-id/usb-FTDI_FT232R_A1-if00-port0", nullptr, given},
        {"/dev/ttyUSB0", nullptr, given},
        {"/dev/ttyS0", nullptr, given},
        {"/dev/pts/4", nullptr, pin},
        {"/dev/serial/by-path/pci-0000:00:14.0-usb-0:1:1.0-port0", nullptr, pin},
        {"/dev/serial/by-id/", nullptr, pin},
        {"/dev/", nullptr, pin},
        {"/tmp/ttyV0", nullptr, pin},
        {"ttyUSB1", nullptr, pin},
        {"/dev/ttyUSB0", "1765372800", {"", false, 1765372800}},
        {"/dev/pts/4", "1765372800", {"", false, 1765372800}},
        {"/dev/ttyUSB0", "pinned", pin},
        {"/dev/ttyUSB0", "", pin},  // written in by hand after the times were kept
        {"/dev/ttyUSB0", "-5", pin},
        {"/dev/ttyUSB0", "12x", pin},
        {"/dev/ttyUSB0", "99999999999999999999", pin},
    };
    m_pProfile->SetPath(IniPath());
    for (const auto& c : cases) {
        std::string strText = "[Ports]\r\nCOM2=" + std::string(c.pszPath) + "\r\n";
        if (c.pszSeen)
            strText += "[PortsSeen]\r\nCOM9=5\r\n" + std::string(*c.pszSeen ? "COM2=" : "") + c.pszSeen + "\r\n";
        WriteBytes(IniPath(), strText);
        LoadPortMap(*m_pProfile, m_comPorts);
        SComPort expected = c.kind;
        expected.strPath = c.pszPath;
        EXPECT_EQ(m_comPorts.Entries(), (std::map<int, SComPort> {{2, expected}}))
            << c.pszPath << " seen " << (c.pszSeen ? c.pszSeen : "(no section)");
    }
}

}  // namespace
