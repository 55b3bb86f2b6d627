// The dialog model driven as a view drives it, against the simulated device
// on a pseudo-terminal pinned to COM3: the first start, the integer checks
// and their box, what each button does in each state, closing, the
// terminal's timers, the log, the progress bar and dropped files.
#include <filesystem>
#include <fstream>
#include <iterator>

#include <gtest/gtest.h>

#include "common/HexWriter.h"
#include "common/SrecWriter.h"
#include "common/ScopedEnv.h"
#include "common/TempDir.h"
#include "dialog/RecordingDialogView.h"
#include "serial/CSerialLink.h"
#include "sim/CDeviceSimulator.h"
#include "terminal/CodePage936.h"

namespace {

using Bytes = std::vector<uint8_t>;

const char* const kStoppedLine = "## Download stopped before it finished: the device is still in IAP mode.\n";
const char* const kDowngradeQuestion = "当前版本比原来的更老，是否继续升级?";

Bytes Pattern(size_t nLength)
{
    Bytes data(nLength);
    for (size_t i = 0; i < nLength; ++i)
        data[i] = static_cast<uint8_t>(3 + i * 29);
    return data;
}

std::string& FieldText(CDialogFields& fields, EControl eEdit)
{
    switch (eEdit) {
    case EControl::kFilePath: return fields.strFilePath;
    case EControl::kFrameLen: return fields.strFrameLen;
    case EControl::kTimeInterval: return fields.strTimeInterval;
    case EControl::kRepeatTimes: return fields.strRepeatTimes;
    case EControl::kSend: return fields.strSend;
    case EControl::kVerMajor: return fields.strVerMajor;
    case EControl::kVerMinor: return fields.strVerMinor;
    default: return fields.strVerPatch;
    }
}

// A view, its engine reports and the model, as a dialog holds them. Going
// away, it does what a view must: the reports stop, then the model shuts down.
struct CDialogParts {
    CDialogParts()
    {
        reports.Attach(model);
        view.m_flush = [this] { reports.Pump(); };
    }
    ~CDialogParts()
    {
        reports.Detach();
        model.Shutdown();
    }
    CDialogParts(const CDialogParts&) = delete;
    CDialogParts& operator=(const CDialogParts&) = delete;

    CRecordingDialogView view;
    CQueuedReports reports;
    CDialogModel model {view, reports};
};

// The port is free again: another program could open it now.
bool PortIsFree(const std::string& strPath)
{
    CSerialLink link;
    link.SetLineParameters(115200, 0, 0, 8, 0);
    return link.Open(0, strPath) == 1;
}

class CDialogModelTest : public ::testing::Test {
protected:
    CDialogModelTest()
    {
        // The machine's own serial ports stay out of the port search.
        std::filesystem::create_directories(m_dir.Path("sys/class/tty"));
    }
    void SetUp() override
    {
        std::string strError;
        ASSERT_TRUE(m_sim.Start(&strError)) << strError;
    }

    // A used settings file: the given "Port:" keys over the defaults, COM3
    // pinned to the simulator.
    void WriteIni(const std::string& strPortKeys, const std::string& strSimPath)
    {
        std::string strText = "[Port:]\r\nUsedTimes=1\r\n" + strPortKeys;
        for (const std::string strDefault : {"StopBit=0", "PortNum=0", "DataBit=3", "CsBit=2", "BaudRate=7",
                                             "SendType=1", "FrameLen=1024", "RepeatTimes=1", "TimeInterval=1000"}) {
            if (("\r\n" + strPortKeys).find("\r\n" + strDefault.substr(0, strDefault.find('=') + 1)) ==
                std::string::npos)
                strText += strDefault + "\r\n";
        }
        m_dir.Write("vantrel.Ini",
                    strText + "[update]\r\nsupportversion=*.*.*\r\n[Ports]\r\nCOM3=" + strSimPath + "\r\n");
    }
    // The dialog on COM3 with the simulator.
    void Open(const std::string& strPortKeys = "PortNum=2\r\n")
    {
        WriteIni(strPortKeys, m_sim.SlavePath());
        m_model.InitDialog();
    }
    std::string IniText() const
    {
        std::ifstream file(m_dir.Path("vantrel.Ini"), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    }
    bool IniHas(const std::string& strLine) const { return IniText().find(strLine + "\r\n") != std::string::npos; }
    // The operator types into an edit; the view reports the change.
    void Type(EControl eEdit, const std::string& strText)
    {
        FieldText(m_view.m_controls.fields, eEdit) = strText;
        m_model.OnEditChanged(eEdit);
    }
    void ClickBurnType(int nBurnType)
    {
        m_view.m_controls.fields.nBurnType = nBurnType;
        m_model.OnBurnTypeClicked(nBurnType);
    }
    void SetFile(size_t nLength)
    {
        Type(EControl::kFilePath, m_dir.Write("firmware.hex", HexFile(0x1000, Pattern(nLength))));
    }
    // A run that asks before it writes: a program of the device's own version.
    void StartRunThatAsks()
    {
        SetFile(64);
        ClickBurnType(2);
        Type(EControl::kVerMajor, "1");
        m_model.OnStartButton();
        ASSERT_TRUE(m_reports.PumpToBox());
    }
    // Answers what is asked and waits until the run is over.
    void FinishRun()
    {
        ASSERT_TRUE(m_reports.PumpUntil([this] { return m_model.Loader().IsIdle(); }));
    }
    bool PortReleased() const { return PortIsFree(m_sim.SlavePath()); }
    size_t Questions(const std::string& strText) const
    {
        return static_cast<size_t>(std::count_if(m_view.m_boxes.begin(), m_view.m_boxes.end(), [&](const auto& box) {
            return box.bQuestion && box.strText == strText;
        }));
    }

    CTempDir m_dir;
    CScopedEnv m_ini {"VANTREL_INI", m_dir.Path("vantrel.Ini")};
    CScopedEnv m_config {"XDG_CONFIG_HOME", m_dir.Path("config")};
    CScopedEnv m_sysfs {"VANTREL_SYSFS", m_dir.Path("sys")};
    CDeviceSimulator m_sim;
    CDialogParts m_parts;
    CRecordingDialogView& m_view = m_parts.view;
    CQueuedReports& m_reports = m_parts.reports;
    CDialogModel& m_model = m_parts.model;
};

TEST_F(CDialogModelTest, FirstStartShowsTheDefaults)
{
    m_model.InitDialog();
    const CDialogControls& shown = m_view.m_controls;
    EXPECT_EQ(shown.combos.port, (CComboValue {0, "COM1"}));
    EXPECT_EQ(shown.combos.baudRate, (CComboValue {7, "115200"}));
    EXPECT_EQ(shown.combos.sendMode, (CComboValue {1, "按16进制"}));
    EXPECT_EQ(shown.fields.strFrameLen, "1024");
    EXPECT_EQ(shown.fields.strRepeatTimes, "1");
    EXPECT_EQ(shown.fields.strTimeInterval, "1000");
    EXPECT_EQ(shown.fields.strVerMajor, "0");
    EXPECT_EQ(shown.fields.nBurnType, 0);
    EXPECT_FALSE(shown.fields.bChipTypeCheck);
    EXPECT_FALSE(m_view.m_enabled.at(EControl::kChipType));
    EXPECT_EQ(m_view.m_focus, std::vector<EControl> {EControl::kStart});
    EXPECT_FALSE(m_view.m_bProgressShown);
    EXPECT_EQ(m_view.m_portItems, ComboItems(EControl::kPort));
    EXPECT_TRUE(m_view.m_strLog.starts_with("-- Find serial port:\n")) << m_view.m_strLog;
    EXPECT_TRUE(m_view.m_strLog.ends_with("-- -------------------------------------------------\n"));
    EXPECT_TRUE(IniHas("UsedTimes=1"));  // a first start writes the defaults
}

TEST_F(CDialogModelTest, AUsedSettingsFileFillsTheControlsAndIsSavedOnClose)
{
    Open("StopBit=2\r\nPortNum=12\r\nDataBit=0\r\nCsBit=4\r\nBaudRate=99\r\nSendType=0\r\nFrameLen=512\r\n"
         "RepeatTimes=3\r\nTimeInterval=250\r\n");
    CDialogControls& shown = m_view.m_controls;
    EXPECT_EQ(shown.combos.port, (CComboValue {12, "AUTOCHECK"}));
    EXPECT_EQ(shown.combos.baudRate, (CComboValue {-1, ""}));  // out of range: nothing selected
    EXPECT_EQ(shown.combos.dataBits.strText, "5");
    EXPECT_EQ(shown.combos.parity.strText, "Space");
    EXPECT_EQ(shown.combos.stopBits.strText, "2");
    EXPECT_EQ(shown.combos.sendMode.strText, "按ASCII码");
    EXPECT_EQ(shown.fields.strFrameLen, "512");
    EXPECT_EQ(shown.fields.strRepeatTimes, "3");
    EXPECT_EQ(shown.fields.strTimeInterval, "250");
    EXPECT_EQ(m_view.m_portItems[2], "COM3  " + m_sim.SlavePath());
    EXPECT_NE(m_view.m_strLog.find("\nCOM3  " + m_sim.SlavePath() + "\n"), std::string::npos) << m_view.m_strLog;

    // The operator picks another rate and port and types a frame length (an
    // edit that reads nothing as it changes) and an interval without a number.
    shown.combos.baudRate = {2, "9600"};
    shown.combos.port = {4, "COM5"};
    Type(EControl::kFrameLen, "2000");
    EXPECT_TRUE(m_view.m_boxes.empty());
    shown.fields.strTimeInterval = "soon";
    m_model.OnCloseRequest();
    EXPECT_TRUE(m_view.m_bClosed);
    EXPECT_TRUE(m_view.m_boxes.empty());  // closing reads quietly
    for (const char* pLine : {"BaudRate=2", "PortNum=4", "StopBit=2", "DataBit=0", "CsBit=4", "SendType=0",
                              "FrameLen=2000", "RepeatTimes=3", "TimeInterval=250"})
        EXPECT_TRUE(IniHas(pLine)) << pLine;
    EXPECT_TRUE(IniHas("COM3=" + m_sim.SlavePath()));
}

TEST_F(CDialogModelTest, AnEditWithoutAnIntegerGetsTheBoxAndTheFocus)
{
    Open();
    struct CCase {
        EControl eEdit;
        const char* pText;
    };
    const CCase cases[] = {
        {EControl::kTimeInterval, ""},
        {EControl::kRepeatTimes, "3 times"},
        {EControl::kVerMajor, "-"},
        {EControl::kVerMinor, "1.5"},
        {EControl::kVerPatch, "99999999999"},
        {EControl::kFrameLen, "0x400"},  // reported when another edit reads the controls
    };
    for (const CCase& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.eEdit));
        m_view.m_boxes.clear();
        m_view.m_focus.clear();
        const CDialogValues before = m_model.Values();
        Type(c.eEdit, c.pText);
        if (!ExchangesOnChange(c.eEdit)) {
            EXPECT_TRUE(m_view.m_boxes.empty());
            Type(EControl::kSend, "41");
        }
        ASSERT_EQ(m_view.m_boxes.size(), 1u);
        EXPECT_EQ(m_view.m_boxes[0].strText, "请键入一个整数。");
        EXPECT_EQ(m_view.m_boxes[0].eIcon, EBoxIcon::kWarning);
        EXPECT_FALSE(m_view.m_boxes[0].bQuestion);
        EXPECT_EQ(m_view.m_focus, std::vector<EControl> {c.eEdit});
        EXPECT_EQ(FieldsOf(m_model.Values()), FieldsOf(before));  // the bad edit keeps its value
        // Put right, it reads again without a box.
        Type(c.eEdit, "7");
        EXPECT_EQ(m_view.m_boxes.size(), 1u);
    }
    // The path edit reads nothing as it changes.
    Type(EControl::kFilePath, "/fw/a.hex");
    EXPECT_EQ(m_model.Values().strFilePath, "");
}

TEST_F(CDialogModelTest, TheStartButtonReportsABadEditAndStillRunsWithWhatWasRead)
{
    Open();
    Type(EControl::kFrameLen, "2048");
    m_view.m_controls.fields.strTimeInterval.clear();
    m_model.OnStartButton();
    EXPECT_EQ(m_view.m_boxes.size(), 1u);
    FinishRun();
    EXPECT_EQ(m_view.TextCount(EControl::kStart, kCancelText), 1u);
    EXPECT_EQ(m_view.LastText(EControl::kStart), kStartText);
    EXPECT_EQ(m_model.Loader().LastRunEnd(), ERunEnd::kFileNotFound);
    EXPECT_EQ(m_model.Values().nFrameLen, 2048);
    EXPECT_EQ(m_model.Values().nTimeInterval, 1000);
}

TEST_F(CDialogModelTest, TheEndOfARunShowsThePortItemsAgain)
{
    Open();
    // As a run's port search gives a new device a number.
    m_model.Loader().ComPorts().SetPath(5, "/dev/ttyNEW0");
    EXPECT_EQ(m_view.m_portItems[4], "COM5");
    m_model.OnStartButton();
    FinishRun();
    EXPECT_EQ(m_view.m_portItems[4], "COM5  /dev/ttyNEW0");
    EXPECT_EQ(m_view.m_portItems[2], "COM3  " + m_sim.SlavePath());
}

enum class EState { kIdle, kPortHeld, kRunning, kStopping };

TEST_F(CDialogModelTest, TheStartButtonByState)
{
    struct CCase {
        EState eState;
        ERunEnd end;  // of the one run there is, its question answered Yes
        const char* pLogEnd;
        const char* pPortText;  // the port button afterwards
    };
    const CCase cases[] = {
        {EState::kIdle, ERunEnd::kSuccess, "-- Download successfully.\n", kOpenPortText},
        // The run takes the port over and leaves it closed.
        {EState::kPortHeld, ERunEnd::kSuccess, "-- Download successfully.\n", kOpenPortText},
        // The press asks the run to stop before its next block: the port stays open.
        {EState::kRunning, ERunEnd::kCancelled, kStoppedLine, kClosePortText},
        // Asked once already: the press does nothing, and no second run starts.
        {EState::kStopping, ERunEnd::kCancelled, kStoppedLine, kClosePortText},
    };
    for (const CCase& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.eState));
        // A device of its own for each state: a stopped run leaves one in IAP mode.
        CDeviceSimulator sim;
        ASSERT_TRUE(sim.Start());
        WriteIni("PortNum=2\r\n", sim.SlavePath());
        {
            CDialogParts dlg;
            CRecordingDialogView& view = dlg.view;
            CDialogModel& model = dlg.model;
            model.InitDialog();
            view.m_controls.fields.strFilePath = m_dir.Write("firmware.hex", HexFile(0x1000, Pattern(64)));
            view.m_controls.fields.nBurnType = 2;
            view.m_controls.fields.strVerMajor = "1";
            if (c.eState == EState::kPortHeld) {
                model.OnOpenClosePort();
                EXPECT_EQ(view.LastText(EControl::kOpenPort), kClosePortText);
            }
            if (c.eState == EState::kRunning || c.eState == EState::kStopping) {
                model.OnStartButton();
                ASSERT_TRUE(dlg.reports.PumpToBox());
                EXPECT_EQ(view.LastText(EControl::kStart), kCancelText);
            }
            if (c.eState == EState::kStopping)
                model.OnStartButton();

            model.OnStartButton();  // the press under test
            ASSERT_TRUE(dlg.reports.PumpUntil([&] { return model.Loader().IsIdle() && !view.m_boxes.empty(); }));
            EXPECT_EQ(model.Loader().LastRunEnd(), c.end);
            EXPECT_EQ(view.TextCount(EControl::kStart, kCancelText), 1u);
            EXPECT_EQ(view.LastText(EControl::kStart), kStartText);
            ASSERT_EQ(view.m_boxes.size(), 1u);
            EXPECT_EQ(view.m_boxes[0].strText, kDowngradeQuestion);
            EXPECT_FALSE(view.m_boxes[0].bDefaultYes);  // Enter never downgrades
            EXPECT_TRUE(view.m_strLog.ends_with(c.pLogEnd)) << view.m_strLog;
            const std::string strPortText = view.LastText(EControl::kOpenPort);
            EXPECT_EQ(strPortText.empty() ? kOpenPortText : strPortText, c.pPortText);
            EXPECT_EQ(sim.InIapMode(), c.end == ERunEnd::kCancelled);
        }
        EXPECT_TRUE(PortIsFree(sim.SlavePath()));
    }
}

TEST_F(CDialogModelTest, ThePortButtonByState)
{
    Open();
    m_view.m_controls.combos.baudRate = {5, "38400"};
    // Idle: opens the chosen port and saves the settings.
    m_model.OnOpenClosePort();
    EXPECT_EQ(m_view.LastText(EControl::kOpenPort), kClosePortText);
    EXPECT_TRUE(m_view.m_strLog.ends_with("串口打开正常:COM3,38400,8,N,1\n")) << m_view.m_strLog;
    EXPECT_TRUE(IniHas("BaudRate=5"));
    EXPECT_FALSE(PortReleased());
    // Held: closes it.
    m_model.OnOpenClosePort();
    EXPECT_EQ(m_view.LastText(EControl::kOpenPort), kOpenPortText);
    EXPECT_TRUE(m_view.m_strLog.ends_with("串口关闭正常!\n"));
    EXPECT_TRUE(PortReleased());

    // Running, and stopping: the run owns the port; the button does nothing.
    StartRunThatAsks();
    const size_t nTexts = m_view.m_texts[EControl::kOpenPort].size();
    for (int nPress = 0; nPress < 2; ++nPress) {
        const std::string strLog = m_view.m_strLog;
        m_model.OnOpenClosePort();
        EXPECT_EQ(m_view.m_texts[EControl::kOpenPort].size(), nTexts);
        EXPECT_EQ(m_view.m_strLog, strLog);
        EXPECT_FALSE(m_model.Loader().IsIdle());
        m_model.OnStartButton();  // then stopping
    }
    FinishRun();
    EXPECT_EQ(m_model.Loader().LastRunEnd(), ERunEnd::kCancelled);
    // A stopped run leaves the port to the button.
    EXPECT_EQ(m_view.LastText(EControl::kOpenPort), kClosePortText);
    m_model.OnOpenClosePort();
    EXPECT_EQ(m_view.LastText(EControl::kOpenPort), kOpenPortText);
    EXPECT_TRUE(PortReleased());
}

TEST_F(CDialogModelTest, ThePortButtonStopsAtABadEdit)
{
    Open();
    m_view.m_controls.fields.strRepeatTimes = "x";
    m_model.OnOpenClosePort();
    EXPECT_EQ(m_view.m_boxes.size(), 1u);
    EXPECT_TRUE(m_view.LastText(EControl::kOpenPort).empty());
    EXPECT_TRUE(PortReleased());
}

TEST_F(CDialogModelTest, ClosingWhenIdleAsksNothing)
{
    Open();
    m_model.OnOpenClosePort();
    Type(EControl::kFrameLen, "777");
    m_model.OnCloseRequest();
    EXPECT_TRUE(m_view.m_bClosed);
    EXPECT_TRUE(m_view.m_boxes.empty());
    EXPECT_TRUE(IniHas("FrameLen=777"));
    // The port button's port is released, and the button says so.
    EXPECT_TRUE(PortReleased());
    EXPECT_EQ(m_view.LastText(EControl::kOpenPort), kOpenPortText);
}

TEST_F(CDialogModelTest, ClosingDuringARunAsksAndNoLetsItGoOn)
{
    Open();
    StartRunThatAsks();
    m_view.m_answers = {false};
    m_model.OnCloseRequest();
    ASSERT_EQ(m_view.m_boxes.size(), 1u);
    EXPECT_EQ(m_view.m_boxes[0].strText, kStopAndCloseQuestion);
    EXPECT_FALSE(m_view.m_boxes[0].bDefaultYes);
    EXPECT_FALSE(m_view.m_bClosed);
    EXPECT_FALSE(m_view.TimerRuns(ETimer::kClose));
    FinishRun();
    EXPECT_EQ(m_model.Loader().LastRunEnd(), ERunEnd::kSuccess);
    EXPECT_FALSE(m_view.m_bClosed);
    EXPECT_EQ(m_view.m_nDismissCalls, 0);  // no question was up when it ended
}

TEST_F(CDialogModelTest, ClosingDuringARunAnsweredYesStopsItAndClosesOnceItHasFinished)
{
    Open();
    Type(EControl::kFrameLen, "640");
    StartRunThatAsks();
    // While the question is up, Esc again asks nothing more.
    m_view.m_onBox = [this] {
        m_view.m_onBox = nullptr;
        m_model.OnCloseRequest();
    };
    m_model.OnCloseRequest();
    EXPECT_EQ(Questions(kStopAndCloseQuestion), 1u);
    EXPECT_FALSE(m_view.m_bClosed);
    ASSERT_TRUE(m_view.TimerRuns(ETimer::kClose));
    EXPECT_EQ(m_view.TimerPeriod(ETimer::kClose), kCloseCheckMs);
    // A tick while the run still goes on changes nothing; nor does Esc.
    m_model.OnTimer(ETimer::kClose);
    m_model.OnCloseRequest();
    EXPECT_FALSE(m_view.m_bClosed);
    EXPECT_EQ(Questions(kStopAndCloseQuestion), 1u);

    FinishRun();
    EXPECT_EQ(m_model.Loader().LastRunEnd(), ERunEnd::kCancelled);
    const int nFlushes = m_view.m_nFlushes;
    m_model.OnTimer(ETimer::kClose);
    EXPECT_TRUE(m_view.m_bClosed);
    EXPECT_FALSE(m_view.TimerRuns(ETimer::kClose));
    EXPECT_GT(m_view.m_nFlushes, nFlushes);  // the run's last reports came first
    EXPECT_TRUE(m_view.m_strLog.ends_with(kStoppedLine));
    EXPECT_TRUE(m_sim.InIapMode());
    EXPECT_TRUE(IniHas("FrameLen=640"));
    EXPECT_TRUE(PortReleased());
}

TEST_F(CDialogModelTest, ARunThatEndsWhileTheCloseQuestionIsUpTakesItDownAndCloses)
{
    Open();
    Type(EControl::kFrameLen, "512");
    StartRunThatAsks();
    // While the close question is up, the run's own question is answered Yes
    // and the run ends; the close question, had it stayed, would get No.
    m_view.m_answers = {true, false};
    m_view.m_onBox = [this] {
        m_view.m_onBox = nullptr;
        FinishRun();
    };
    m_model.OnCloseRequest();
    EXPECT_EQ(Questions(kStopAndCloseQuestion), 1u);
    EXPECT_EQ(m_view.m_nDismissCalls, 1);
    EXPECT_EQ(m_view.m_answers.size(), 1u);  // the close question took no answer
    EXPECT_EQ(m_model.Loader().LastRunEnd(), ERunEnd::kSuccess);
    // Gone as Yes would have taken it: at once, the run being over.
    EXPECT_TRUE(m_view.m_bClosed);
    EXPECT_FALSE(m_view.TimerRuns(ETimer::kClose));
    EXPECT_TRUE(IniHas("FrameLen=512"));
    EXPECT_TRUE(PortReleased());
}

TEST_F(CDialogModelTest, TheTimersPeriodFollowsTheIntervalEdit)
{
    Open();
    struct CCase {
        const char* pInterval;
        int nPeriod;
    };
    const CCase cases[] = {{"1000", 1000}, {"20", 20}, {"10", 10}, {"9", 10}, {"0", 10}, {"-3", 10}};
    for (const CCase& c : cases) {
        SCOPED_TRACE(c.pInterval);
        Type(EControl::kTimeInterval, c.pInterval);
        m_model.OnReceive();
        EXPECT_EQ(m_view.LastText(EControl::kReceive), kStopReceiveText);
        ASSERT_TRUE(m_view.TimerRuns(ETimer::kReceive));
        EXPECT_EQ(m_view.TimerPeriod(ETimer::kReceive), c.nPeriod);
        m_model.OnReceive();
        EXPECT_EQ(m_view.LastText(EControl::kReceive), kReceiveText);
        EXPECT_FALSE(m_view.TimerRuns(ETimer::kReceive));
    }
}

TEST_F(CDialogModelTest, EachReceiveTickAppendsWhatHasArrivedAndStartsThePeriodAgain)
{
    Open("PortNum=2\r\nTimeInterval=20\r\n");
    m_model.OnOpenClosePort();
    m_model.OnClear();
    m_model.OnReceive();
    m_sim.SendRaw({'h', 'e', 'l', 'l', 'o', '\r', '\n', 0xD6});
    const auto tickUntil = [this](const std::string& strLog) {
        return m_reports.PumpUntil([&] {
            m_model.OnTimer(ETimer::kReceive);
            return m_view.m_strLog == strLog;
        });
    };
    ASSERT_TRUE(tickUntil("hello\n")) << m_view.m_strLog;
    EXPECT_EQ(m_view.m_logColours.back(), kLogBlack);
    // The period follows the interval edit as it is at the tick.
    Type(EControl::kTimeInterval, "35");
    EXPECT_EQ(m_view.TimerPeriod(ETimer::kReceive), 20);
    m_sim.SendRaw({0xD0, 'w'});  // the character's second byte comes with a later poll
    ASSERT_TRUE(tickUntil("hello\n中w")) << m_view.m_strLog;
    EXPECT_EQ(m_view.TimerPeriod(ETimer::kReceive), 35);

    // Switched off, a tick already on its way polls nothing and starts nothing.
    m_model.OnReceive();
    m_sim.SendRaw({'z'});
    m_model.OnTimer(ETimer::kReceive);
    EXPECT_FALSE(m_view.TimerRuns(ETimer::kReceive));
    EXPECT_EQ(m_view.m_strLog, "hello\n中w");
    // What came meanwhile waits for the next time it is switched on.
    m_model.OnReceive();
    ASSERT_TRUE(tickUntil("hello\n中w"
                          "z"))
        << m_view.m_strLog;
}

TEST_F(CDialogModelTest, TheSendModeBoxChoosesHexadecimalPairsOrCodePage936)
{
    Open();
    m_model.OnOpenClosePort();
    // One frame the device records, written either way.
    const Bytes frame = {0xC3, 0x61, 0x24};
    const std::string strAsText = CCodePage936Decoder().Decode(frame.data(), frame.size());
    struct CCase {
        CComboValue mode;
        std::string strSend;
    };
    const CCase cases[] = {
        {{1, "按16进制"}, "C3 61 24"},
        {{0, "按ASCII码"}, strAsText},
        {{-1, "按16进制"}, "c36124"},    // typed, no item current
        {{0, "按16进制"}, " C3 6124 "},  // typed over the other item
    };
    for (const CCase& c : cases) {
        SCOPED_TRACE(c.strSend);
        m_sim.ClearReceivedFrames();
        m_view.m_controls.combos.sendMode = c.mode;
        Type(EControl::kSend, c.strSend);
        m_model.OnManualSend();
        ASSERT_TRUE(m_reports.PumpUntil([this] { return !m_sim.ReceivedFrames().empty(); }));
        EXPECT_EQ(m_sim.ReceivedFrames(), std::vector<Bytes> {frame});
    }
}

TEST_F(CDialogModelTest, AutoSendSendsAtOnceAndOnEveryTickUntilSwitchedOff)
{
    Open("PortNum=2\r\nTimeInterval=5\r\n");
    m_model.OnOpenClosePort();
    m_sim.ClearReceivedFrames();
    Type(EControl::kSend, "C3 61 24");
    const auto framesReach = [this](size_t nFrames) {
        return m_reports.PumpUntil([&] { return m_sim.ReceivedFrames().size() >= nFrames; });
    };
    m_model.OnAutoSend();
    EXPECT_EQ(m_view.LastText(EControl::kAutoSend), kStopSendText);
    ASSERT_TRUE(framesReach(1));
    ASSERT_TRUE(m_view.TimerRuns(ETimer::kAutoSend));
    EXPECT_EQ(m_view.TimerPeriod(ETimer::kAutoSend), kMinTimerMs);
    m_model.OnTimer(ETimer::kAutoSend);
    ASSERT_TRUE(framesReach(2));
    EXPECT_TRUE(m_view.TimerRuns(ETimer::kAutoSend));

    m_model.OnAutoSend();
    EXPECT_EQ(m_view.LastText(EControl::kAutoSend), kAutoSendText);
    EXPECT_FALSE(m_view.TimerRuns(ETimer::kAutoSend));
    // A tick already on its way sends nothing and starts nothing; the next
    // switch-on sends again, and only once.
    m_model.OnTimer(ETimer::kAutoSend);
    EXPECT_FALSE(m_view.TimerRuns(ETimer::kAutoSend));
    m_model.OnAutoSend();
    ASSERT_TRUE(framesReach(3));
    EXPECT_EQ(m_sim.ReceivedFrames(), std::vector<Bytes>(3, Bytes {0xC3, 0x61, 0x24}));
}

TEST_F(CDialogModelTest, ClearTakesWhatTheEngineHadQueuedFirst)
{
    Open();
    std::thread worker([this] { m_reports.AppendLog("from the worker\r\n", kLogBlue); });
    worker.join();
    m_model.OnClear();
    EXPECT_EQ(m_view.m_strLog, "");
    EXPECT_EQ(m_model.Log().Weight(), 0u);
    m_reports.Pump();
    EXPECT_EQ(m_view.m_strLog, "");
    m_model.AppendLogs({{"after\r\n", kLogGreen}});
    EXPECT_EQ(m_view.m_strLog, "after\n");
    EXPECT_EQ(m_view.m_logColours.back(), kLogGreen);
}

TEST_F(CDialogModelTest, TheLogKeepsItsLimitAsTheViewShowsIt)
{
    Open();
    for (int i = 0; i < 3000; ++i)
        m_model.AppendLogs({{"line " + std::to_string(i) + std::string(40, '.') + "\r\n", i % 5}});
    m_model.AppendLogs({{std::string(kLogLimit + 1000, 'a') + "TAIL", kLogRed}});
    EXPECT_EQ(m_view.m_strLog, m_model.Log().Text());
    EXPECT_EQ(m_model.Log().Weight(), kLogLimit);
    EXPECT_TRUE(m_view.m_strLog.ends_with("aaaTAIL"));
    EXPECT_EQ(m_view.m_strLog.find('\n'), std::string::npos);
}

TEST_F(CDialogModelTest, TheProgressBarsRangeAndPosition)
{
    struct CCase {
        int nCount;
        int nSteps;
        int nMax;
        int nPos;
    };
    const CCase cases[] = {
        {32, 5, 32, 5},        {7, 10, 7, 7},  // steps stop at the end
        {0, 1, 1, 1},                          // never a range of 0 to 0
        {0x10020, 3, 0x20, 3},                 // the bar takes 16 bits of the count
        {0x10000, 2, 1, 1},
    };
    for (const CCase& c : cases) {
        SCOPED_TRACE(c.nCount);
        m_model.ShowProgress(true);
        m_model.BeginProgress(c.nCount);
        EXPECT_EQ(m_view.m_nProgressPos, 0);
        for (int i = 0; i < c.nSteps; ++i)
            m_model.StepProgress(1);
        EXPECT_TRUE(m_view.m_bProgressShown);
        EXPECT_EQ(m_view.m_nProgressMax, c.nMax);
        EXPECT_EQ(m_view.m_nProgressPos, c.nPos);
        m_model.ShowProgress(false);
        EXPECT_FALSE(m_view.m_bProgressShown);
        EXPECT_EQ(m_view.m_nProgressPos, 0);
    }
    // Steps batched by a view count as many.
    m_model.BeginProgress(10);
    m_model.StepProgress(4);
    m_model.StepProgress(3);
    EXPECT_EQ(m_view.m_nProgressPos, 7);
}

TEST_F(CDialogModelTest, ARunShowsProgressOnlyWhileItLasts)
{
    Open();
    SetFile(512);  // 32 blocks of 16 bytes
    m_model.OnStartButton();
    FinishRun();
    EXPECT_EQ(m_model.Loader().LastRunEnd(), ERunEnd::kSuccess);
    EXPECT_EQ(m_view.m_nProgressMax, 32);
    EXPECT_EQ(m_view.m_nProgressPos, 0);
    EXPECT_FALSE(m_view.m_bProgressShown);
    EXPECT_EQ(m_sim.ReadMemory(0x1000, 512), Pattern(512));
}

TEST_F(CDialogModelTest, TheChipTypeCheckFollowsTheBurnType)
{
    Open();
    const std::pair<int, bool> clicks[] = {{2, true}, {1, false}, {2, true}, {0, false}, {0, false}};
    for (const auto& [nBurnType, bEnabled] : clicks) {
        ClickBurnType(nBurnType);
        EXPECT_EQ(m_view.m_enabled.at(EControl::kChipType), bEnabled) << nBurnType;
    }
}

TEST_F(CDialogModelTest, ADroppedFileBecomesThePathAndAnythingElseIsRefused)
{
    Open();
    const std::string strFile = m_dir.Write("app v1.2.hex", ":00000001FF\n");
    struct CCase {
        const char* pName;
        std::vector<CDroppedItem> items;
        std::string strPath;  // the path edit afterwards
        std::string strLine;  // the log's new line, red; empty for none
    };
    const CCase cases[] = {
        {"one local file", {{strFile, "file://" + strFile, false}}, strFile, ""},
        {"two files",
         {{strFile, strFile, false}, {strFile, strFile, false}},
         "/old.hex",
         "## Drop one firmware file at a time: 2 files were dropped.\n"},
        {"none", {}, "/old.hex", "## Drop one firmware file at a time: 0 files were dropped.\n"},
        {"a web address",
         {{"", "https://example.com/fw.hex", false}},
         "/old.hex",
         "## Only a local file can be dropped: https://example.com/fw.hex\n"},
        {"a folder", {{m_dir.Path(""), m_dir.Path(""), true}}, "/old.hex", "## Not a file: " + m_dir.Path("") + "\n"},
        {"a file of no format the readers take",
         {{m_dir.Path("app.elf"), m_dir.Path("app.elf"), false}},
         "/old.hex",
         "## Not a .hex, .asc, .srec, .s19, .s28, .s37, .mot or .bin file: " + m_dir.Path("app.elf") + "\n"},
        {"an S-record file, the ending in capitals",
         {{m_dir.Path("APP.S28"), "APP.S28", false}},
         m_dir.Path("APP.S28"),
         ""},
    };
    for (const CCase& c : cases) {
        SCOPED_TRACE(c.pName);
        m_view.m_controls.fields.strFilePath = "/old.hex";
        const std::string strLogBefore = m_view.m_strLog;
        const size_t nColours = m_view.m_logColours.size();
        m_model.OnDropFiles(c.items);
        EXPECT_EQ(m_view.m_controls.fields.strFilePath, c.strPath);
        EXPECT_EQ(m_view.m_strLog, strLogBefore + c.strLine);
        if (!c.strLine.empty()) {
            ASSERT_EQ(m_view.m_logColours.size(), nColours + 1);
            EXPECT_EQ(m_view.m_logColours.back(), kLogRed);
        }
    }
    // The path is read at the next exchange, not as it is dropped.
    EXPECT_EQ(m_model.Values().strFilePath, "");
}

TEST_F(CDialogModelTest, TheFileButtonReadsTheControlsThenPutsTheChosenFileInThePath)
{
    Open();
    m_view.m_controls.fields.strFilePath = "/fw/old.hex";
    m_view.m_controls.fields.strFrameLen = "";
    m_view.m_strChosenFile = "/fw/固件/new.hex";
    m_model.OnSelectFile();
    ASSERT_EQ(m_view.m_fileDialogs, std::vector<std::string> {"/fw/old.hex"});  // opened where the file lies
    EXPECT_EQ(m_view.m_boxes.size(), 1u);
    EXPECT_EQ(m_view.m_controls.fields.strFilePath, "/fw/固件/new.hex");
    EXPECT_EQ(m_model.Values().strFilePath, "/fw/固件/new.hex");
    // Cancelled, the path stays.
    m_view.m_strChosenFile.clear();
    m_model.OnSelectFile();
    EXPECT_EQ(m_view.m_fileDialogs.back(), "/fw/固件/new.hex");
    EXPECT_EQ(m_view.m_controls.fields.strFilePath, "/fw/固件/new.hex");
}

// A raw binary holds no address: chosen or dropped, it is asked for once
// (again until it reads as one), kept in the settings file, offered next
// time, and the run writes the file there.
TEST_F(CDialogModelTest, ARawBinaryIsAskedItsLoadAddressOnceAndWrittenThere)
{
    Open();
    const std::vector<uint8_t> data = Pattern(40);
    const std::string strBin = m_dir.Write("应用.bin", std::string(data.begin(), data.end()));
    const std::string strQuestion = fmt::format(fmt::runtime(kLoadAddressQuestion), "应用.bin");

    m_view.m_strChosenFile = strBin;
    m_view.m_textAnswers = {"0x2000z", " 0x2008 "};
    m_model.OnSelectFile();
    const std::vector<std::pair<std::string, std::string>> vecAsked = {{strQuestion, "0x0"}, {strQuestion, "0x2000z"}};
    EXPECT_EQ(m_view.m_textQuestions, vecAsked);
    ASSERT_EQ(m_view.m_boxes.size(), 1u);
    EXPECT_EQ(m_view.m_boxes[0].strText, kNotAnAddressText);
    EXPECT_EQ(m_view.m_boxes[0].eIcon, EBoxIcon::kWarning);
    EXPECT_TRUE(IniHas("BinAddress=0x2008")) << IniText();
    EXPECT_TRUE(m_view.m_strLog.ends_with("-- The raw binary file " + strBin + " loads at 0x2008.\n"))
        << m_view.m_strLog;

    m_model.OnStartButton();
    FinishRun();
    EXPECT_EQ(m_model.Loader().LastRunEnd(), ERunEnd::kSuccess) << m_view.m_strLog;
    EXPECT_EQ(m_sim.ReadMemory(0x2008, data.size()), data);

    // Other formats carry their addresses: nothing is asked for them.
    m_view.m_strChosenFile = m_dir.Write("app.s19", SrecFile(0x100, Pattern(16)));
    m_model.OnSelectFile();
    m_model.OnDropFiles({{m_dir.Write("app.hex", ":00000001FF\n"), "app.hex", false}});
    EXPECT_EQ(m_view.m_textQuestions.size(), 2u);

    // Dropped: asked again with the last address offered; Cancel keeps it.
    m_model.OnDropFiles({{strBin, strBin, false}});
    ASSERT_EQ(m_view.m_textQuestions.size(), 3u);
    EXPECT_EQ(m_view.m_textQuestions.back().second, "0x2008");
    EXPECT_EQ(m_view.m_controls.fields.strFilePath, strBin);
    EXPECT_TRUE(IniHas("BinAddress=0x2008"));

    // The next start of the dialog offers what the settings file keeps.
    CDialogParts again;
    again.model.InitDialog();
    again.view.m_strChosenFile = strBin;
    again.model.OnSelectFile();
    ASSERT_EQ(again.view.m_textQuestions.size(), 1u);
    EXPECT_EQ(again.view.m_textQuestions[0].second, "0x2008");
}

// A raw binary typed into the path edit is asked for its address at the
// first start; without one, the run refuses the file before the device.
TEST_F(CDialogModelTest, ARawBinaryTypedInIsAskedAtTheStartAndRefusedWithoutAnAddress)
{
    Open();
    const std::string strBin = m_dir.Write("typed.bin", "\x12\x34");
    Type(EControl::kFilePath, strBin);
    const int nCommands = m_sim.CommandCount();
    m_model.OnStartButton();  // asked, and cancelled
    FinishRun();
    EXPECT_EQ(m_view.m_textQuestions.size(), 1u);
    EXPECT_EQ(m_model.Loader().LastRunEnd(), ERunEnd::kLoadFailed);
    EXPECT_TRUE(m_view.m_strLog.ends_with("## The file " + strBin +
                                          " cannot be used: a raw binary file needs a load address.\n"))
        << m_view.m_strLog;
    EXPECT_EQ(m_sim.CommandCount(), nCommands) << "the device is not touched";
    EXPECT_FALSE(IniHas("BinAddress=")) << IniText();

    m_view.m_textAnswers = {"4096"};
    m_model.OnStartButton();
    FinishRun();
    EXPECT_EQ(m_model.Loader().LastRunEnd(), ERunEnd::kSuccess) << m_view.m_strLog;
    EXPECT_EQ(m_sim.ReadMemory(0x1000, 2), (std::vector<uint8_t> {0x12, 0x34}));
    EXPECT_TRUE(IniHas("BinAddress=0x1000"));
    // Known now: the next start asks nothing.
    m_model.OnStartButton();
    FinishRun();
    EXPECT_EQ(m_view.m_textQuestions.size(), 2u);
}

// The file dialog offers every format the readers take.
TEST(DialogFileFilters, ComeFromTheTableOfFormats)
{
    const std::vector<CFileFilter> filters = FirmwareFileFilters();
    ASSERT_GE(filters.size(), 3u);
    EXPECT_EQ(filters.front(), (CFileFilter {"Firmware", "*.hex *.asc *.srec *.s19 *.s28 *.s37 *.mot *.bin"}));
    EXPECT_NE(
        std::find(filters.begin(), filters.end(), CFileFilter {"Motorola S-record", "*.srec *.s19 *.s28 *.s37 *.mot"}),
        filters.end());
    EXPECT_EQ(filters.back(), (CFileFilter {"All Files", "*"}));
}

}  // namespace
