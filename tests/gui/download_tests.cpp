// Whole runs from the dialog into the simulated device on a pseudo-terminal
// pinned to COM3: success, cancelling, a box raised from inside the run, the
// downgrade question, and closing the window while a run goes on.
#include <QElapsedTimer>
#include <QProgressBar>
#include <QRadioButton>
#include <QTextBlock>
#include <QTextCursor>

#include "common/HexWriter.h"
#include "serial/CSerialLink.h"
#include "sim/CDeviceSimulator.h"
#include "tests/gui/GuiFixture.h"

namespace {

const char* const kStoppedLine = "## Download stopped before it finished: the device is still in IAP mode.";

std::vector<uint8_t> Pattern(size_t nLength)
{
    std::vector<uint8_t> data(nLength);
    for (size_t i = 0; i < nLength; ++i)
        data[i] = static_cast<uint8_t>(7 + i * 31);
    return data;
}

// Notes every time the progress bar is shown or hidden.
class CVisibilityLog : public QObject {
public:
    explicit CVisibilityLog(QWidget* pWidget) { pWidget->installEventFilter(this); }
    QStringList m_events;

protected:
    bool eventFilter(QObject* pObject, QEvent* pEvent) override
    {
        if (pEvent->type() == QEvent::Show)
            m_events << QStringLiteral("show");
        else if (pEvent->type() == QEvent::Hide)
            m_events << QStringLiteral("hide");
        return QObject::eventFilter(pObject, pEvent);
    }
};

}  // namespace

class CDownloadTests : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void DownloadWritesTheFileAndShowsProgressOnlyDuringTheRun();
    void CancelWhileWritingStopsTheRun_data();
    void CancelWhileWritingStopsTheRun();
    void RefusedIdentifyRaisesABoxThatHoldsTheRunUntilAnswered();
    void DowngradeQuestionAnsweredNoThenYes();
    void ClosingDuringARunAsksThenStopsItFirst();
    void ClosingWhenIdleAsksNothing();
    void UnpluggedDeviceEndsTheRunWithARedLine();
    void LongFirstLineOfAHexFileLeavesTheWindowServed_data();
    void LongFirstLineOfAHexFileLeavesTheWindowServed();

private:
    // A dialog on a settings file that pins COM3 to the simulator and selects it.
    void OpenDialog();
    void SetFile(const std::vector<uint8_t>& data, uint32_t nAddress = 0x1000);
    void ConfigureSim(const std::function<void(CSimConfig&)>& change);
    QPushButton* StartButton() { return Ctrl<QPushButton>(m_pDlg.get(), "m_btnStart"); }
    QProgressBar* Progress() { return Ctrl<QProgressBar>(m_pDlg.get(), "m_progress"); }
    QPushButton* PortButton() { return Ctrl<QPushButton>(m_pDlg.get(), "m_btnOpenPort"); }
    // The colour of the log's last line of text.
    QColor ColourOfLastLine()
    {
        QTextCursor cursor(LogOf(m_pDlg.get())->document());
        cursor.movePosition(QTextCursor::End);
        cursor.movePosition(QTextCursor::PreviousBlock);
        cursor.movePosition(QTextCursor::NextCharacter);
        return cursor.charFormat().foreground().color();
    }
    bool PortReleased() const
    {
        CSerialLink link;
        link.SetLineParameters(115200, 0, 0, 8, 0);
        return link.Open(0, m_pSim->SlavePath()) == 1;
    }

    std::unique_ptr<CGuiEnv> m_pEnv;
    std::unique_ptr<CDeviceSimulator> m_pSim;
    std::unique_ptr<CLoaderDlg> m_pDlg;
};

void CDownloadTests::init()
{
    m_pEnv = std::make_unique<CGuiEnv>();
    m_pSim = std::make_unique<CDeviceSimulator>();
    std::string strError;
    QVERIFY2(m_pSim->Start(&strError), strError.c_str());
}

void CDownloadTests::cleanup()
{
    m_pDlg.reset();
    m_pSim.reset();
    m_pEnv.reset();
}

void CDownloadTests::OpenDialog()
{
    m_pEnv->WriteIni("PortNum=2\r\n", "*.*.*", {{3, m_pSim->SlavePath()}});
    m_pDlg = ShowDialog();
}

void CDownloadTests::SetFile(const std::vector<uint8_t>& data, uint32_t nAddress)
{
    const std::string strPath = m_pEnv->m_dir.Write("firmware.hex", HexFile(nAddress, data));
    Ctrl<QLineEdit>(m_pDlg.get(), "m_editFilePath")->setText(QString::fromStdString(strPath));
}

void CDownloadTests::ConfigureSim(const std::function<void(CSimConfig&)>& change)
{
    CSimConfig config = m_pSim->Config();
    change(config);
    m_pSim->Configure(config);
}

void CDownloadTests::DownloadWritesTheFileAndShowsProgressOnlyDuringTheRun()
{
    OpenDialog();
    const std::vector<uint8_t> data = Pattern(512);  // 32 blocks of 16 bytes
    SetFile(data);
    CVisibilityLog visibility(Progress());
    int nHighest = 0;
    connect(Progress(), &QProgressBar::valueChanged, this, [&](int n) { nHighest = std::max(nHighest, n); });
    QTest::mouseClick(StartButton(), Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(StartButton()->text(), QStringLiteral("&Cancel"), 5000);
    QTRY_COMPARE_WITH_TIMEOUT(StartButton()->text(), QStringLiteral("&Start Downloading"), 15000);

    const QStringList lines = LogText(m_pDlg.get()).split(QLatin1Char('\n'));
    QVERIFY2(LogText(m_pDlg.get()).endsWith(QLatin1String("-- Download successfully.\n")),
             qPrintable(LogText(m_pDlg.get())));
    QVERIFY(lines.contains(QStringLiteral("-- Verify successfully.")));
    QCOMPARE(visibility.m_events, QStringList({"show", "hide"}));
    QCOMPARE(Progress()->maximum(), 32);
    QCOMPARE(nHighest, 32);
    QCOMPARE(Progress()->value(), 0);
    QVERIFY(!Progress()->isVisible());
    QCOMPARE(m_pSim->ReadMemory(0x1000, data.size()), data);
    QVERIFY(!m_pSim->InIapMode());
    QVERIFY(PortReleased());
}

void CDownloadTests::CancelWhileWritingStopsTheRun_data()
{
    QTest::addColumn<bool>("bNextRun");
    QTest::newRow("then the port button") << false;
    QTest::newRow("then the next run") << true;
}

void CDownloadTests::CancelWhileWritingStopsTheRun()
{
    QFETCH(bool, bNextRun);
    OpenDialog();
    ConfigureSim([](CSimConfig& c) { c.m_nBaudRate = 38400; });  // slow enough to stop midway
    SetFile(Pattern(4096));
    QTest::mouseClick(StartButton(), Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(Progress()->value() >= 3, 10000);
    QCOMPARE(StartButton()->text(), QStringLiteral("&Cancel"));
    QTest::mouseClick(StartButton(), Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(StartButton()->text(), QStringLiteral("&Start Downloading"), 10000);
    QVERIFY(!Progress()->isVisible());
    const QString strLog = LogText(m_pDlg.get());
    // The operator is told, in red, that the device is left half-written.
    QVERIFY2(strLog.endsWith(QString::fromUtf8(kStoppedLine) + QLatin1Char('\n')), qPrintable(strLog));
    QCOMPARE(ColourOfLastLine(), QColor(255, 0, 0));
    QVERIFY(!strLog.contains(QLatin1String("successfully")));
    QVERIFY(m_pSim->InIapMode());
    QVERIFY(Progress()->maximum() == 256);
    // The last block was never written.
    QCOMPARE(m_pSim->ReadMemory(0x1000 + 4080, 16), std::vector<uint8_t>(16, 0xFF));
    // The port stays open, and the port button says so.
    QCOMPARE(PortButton()->text(), QStringLiteral("关闭串口"));
    QVERIFY(!PortReleased());

    if (bNextRun) {
        const std::vector<uint8_t> data = Pattern(64);
        SetFile(data);
        QTest::mouseClick(StartButton(), Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(LogText(m_pDlg.get()).endsWith(QLatin1String("-- Download successfully.\n")), 15000);
        QTRY_COMPARE_WITH_TIMEOUT(StartButton()->text(), QStringLiteral("&Start Downloading"), 5000);
        QCOMPARE(m_pSim->ReadMemory(0x1000, data.size()), data);
    } else {
        QTest::mouseClick(PortButton(), Qt::LeftButton);
        QVERIFY(LogText(m_pDlg.get()).endsWith(QStringLiteral("串口关闭正常!\n")));
    }
    QCOMPARE(PortButton()->text(), QStringLiteral("打开串口"));
    QVERIFY(PortReleased());
}

void CDownloadTests::RefusedIdentifyRaisesABoxThatHoldsTheRunUntilAnswered()
{
    OpenDialog();
    ConfigureSim([](CSimConfig& c) { c.m_vecFaults.push_back({kIapIdentify, EFaultKind::kRefuse, 0, 1}); });
    SetFile(Pattern(32));
    CBoxAnswerer answerer;
    answerer.m_onBox = [this] { return LogText(m_pDlg.get()); };
    QTest::mouseClick(StartButton(), Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(LogText(m_pDlg.get()).endsWith(QLatin1String("-- Download successfully.\n")), 15000);
    QCOMPARE(answerer.m_seen.size(), size_t(1));
    QCOMPARE(answerer.m_seen[0].strText, QStringLiteral("状态返回失败，返回值为0xaa。"));
    QCOMPARE(answerer.m_seen[0].strCaption, CLoaderDlg::BoxCaption());
    // While the box was up, the run had not gone on to its next line.
    QVERIFY(!answerer.m_seen[0].strNote.contains(QLatin1String("cmdcheckid")));
    QVERIFY(LogText(m_pDlg.get()).contains(QLatin1String("##  cmdcheckid fail!\n")));
}

void CDownloadTests::DowngradeQuestionAnsweredNoThenYes()
{
    OpenDialog();
    const std::vector<uint8_t> data = Pattern(64);
    SetFile(data);
    // A program of version 1.0.0 over the device's 1.0.0: the run asks first.
    QTest::mouseClick(Ctrl<QRadioButton>(m_pDlg.get(), "m_radioProgram"), Qt::LeftButton);
    Ctrl<QLineEdit>(m_pDlg.get(), "m_editVerMajor")->setText(QStringLiteral("1"));
    CBoxAnswerer answerer({QMessageBox::No, QMessageBox::Yes});

    QTest::mouseClick(StartButton(), Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(
        LogText(m_pDlg.get()).endsWith(QLatin1String("##  the Verion is too old not to update IAP !\n")), 10000);
    QTRY_COMPARE_WITH_TIMEOUT(StartButton()->text(), QStringLiteral("&Start Downloading"), 5000);
    QCOMPARE(answerer.m_seen.size(), size_t(1));
    QCOMPARE(answerer.m_seen[0].strText, QStringLiteral("当前版本比原来的更老，是否继续升级?"));
    QVERIFY(m_pSim->ReadMemory(0x1000, data.size()) != data);
    QVERIFY(PortReleased());

    QTest::mouseClick(StartButton(), Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(LogText(m_pDlg.get()).endsWith(QLatin1String("-- Download successfully.\n")), 15000);
    QCOMPARE(answerer.m_seen.size(), size_t(2));
    QCOMPARE(m_pSim->ReadMemory(0x1000, data.size()), data);
}

void CDownloadTests::ClosingDuringARunAsksThenStopsItFirst()
{
    OpenDialog();
    ConfigureSim([](CSimConfig& c) { c.m_nBaudRate = 38400; });
    SetFile(Pattern(4096));
    Ctrl<QLineEdit>(m_pDlg.get(), "m_editFrameLen")->setText(QStringLiteral("777"));
    QTest::mouseClick(StartButton(), Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(Progress()->value() >= 2, 10000);

    // Esc asks first; "No" (also the default) lets the run go on.
    CBoxAnswerer answerer({QMessageBox::No, QMessageBox::Yes});
    answerer.m_onBox = [] {
        auto* pBox = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        return pBox->defaultButton() == pBox->button(QMessageBox::No) ? QStringLiteral("default No") : QString();
    };
    QTest::keyClick(m_pDlg.get(), Qt::Key_Escape);
    QCOMPARE(answerer.m_seen.size(), size_t(1));
    QCOMPARE(answerer.m_seen[0].strText, QStringLiteral("正在下载，是否停止下载并关闭?"));
    QCOMPARE(answerer.m_seen[0].strCaption, CLoaderDlg::BoxCaption());
    QCOMPARE(answerer.m_seen[0].strNote, QStringLiteral("default No"));
    QVERIFY(m_pDlg->isVisible());
    QCOMPARE(StartButton()->text(), QStringLiteral("&Cancel"));
    const int nBefore = Progress()->value();
    QTRY_VERIFY_WITH_TIMEOUT(Progress()->value() > nBefore, 10000);

    // The close box, answered "Yes": the run stops, the window waits for it
    // and stays served, then closes.
    m_pDlg->close();
    QCOMPARE(answerer.m_seen.size(), size_t(2));
    QVERIFY(m_pDlg->isVisible());
    QTRY_VERIFY_WITH_TIMEOUT(!m_pDlg->isVisible(), 10000);
    QCOMPARE(m_pSim->ReadMemory(0x1000 + 4080, 16), std::vector<uint8_t>(16, 0xFF));
    QVERIFY(m_pSim->InIapMode());
    const QString strLog = LogText(m_pDlg.get());
    QVERIFY2(strLog.contains(QString::fromUtf8(kStoppedLine)), qPrintable(strLog));
    QVERIFY(!strLog.contains(QLatin1String("successfully")));
    // Closed: the settings saved and the port left open by the stopped run released.
    QVERIFY(m_pEnv->IniText().find("FrameLen=777\r\n") != std::string::npos);
    QVERIFY(PortReleased());
}

void CDownloadTests::ClosingWhenIdleAsksNothing()
{
    OpenDialog();
    CBoxAnswerer answerer;
    QTest::keyClick(m_pDlg.get(), Qt::Key_Escape);
    QVERIFY(!m_pDlg->isVisible());
    QVERIFY(answerer.m_seen.empty());
}

void CDownloadTests::UnpluggedDeviceEndsTheRunWithARedLine()
{
    OpenDialog();
    SetFile(Pattern(512));
    // The line goes away in the middle of the writes, as an unplugged adapter would.
    ConfigureSim([](CSimConfig& c) { c.m_vecFaults.push_back({0xC2, EFaultKind::kVanish, 0, 20}); });
    QTest::mouseClick(StartButton(), Qt::LeftButton);
    const QString strLine = QStringLiteral("## Command 0xC2: the port is gone (unplugged, or the far end closed).");
    // The run may be over before the test looks: wait for its last line.
    QTRY_VERIFY_WITH_TIMEOUT(LogText(m_pDlg.get()).contains(QLatin1String("++  Write error:")), 10000);
    QTRY_COMPARE_WITH_TIMEOUT(StartButton()->text(), QStringLiteral("&Start Downloading"), 10000);
    const QString strLog = LogText(m_pDlg.get());
    QVERIFY2(strLog.contains(strLine + QLatin1Char('\n')), qPrintable(strLog));
    QVERIFY(strLog.endsWith(QLatin1String("++  Write error:Addr=001020H,Offset=0x001020,Len=10H\n")));
    QVERIFY(!strLog.contains(QLatin1String("successfully")));
    QVERIFY(!Progress()->isVisible());

    CLogPanel* pLog = LogOf(m_pDlg.get());
    QTextCursor cursor(pLog->document());
    cursor.setPosition(strLog.indexOf(strLine) + 1);
    QCOMPARE(cursor.charFormat().foreground().color(), QColor(255, 0, 0));
}

void CDownloadTests::LongFirstLineOfAHexFileLeavesTheWindowServed_data()
{
    QTest::addColumn<int>("nMegabytes");
    QTest::newRow("1 MB") << 1;
    QTest::newRow("50 MB") << 50;
}

void CDownloadTests::LongFirstLineOfAHexFileLeavesTheWindowServed()
{
    QFETCH(int, nMegabytes);
    OpenDialog();
    std::string strFile(static_cast<size_t>(nMegabytes) * 1000 * 1000, '7');
    strFile += "\r\n" + HexFile(0x1000, Pattern(32));
    const std::string strPath = m_pEnv->m_dir.Write("long-line.hex", strFile);
    strFile = std::string();
    Ctrl<QLineEdit>(m_pDlg.get(), "m_editFilePath")->setText(QString::fromStdString(strPath));

    // A timer on the UI thread: the longest gap between its ticks is the
    // longest time the window stood still.
    QElapsedTimer sinceTick;
    qint64 nLongestMs = 0;
    QTimer ticker;
    connect(&ticker, &QTimer::timeout, this, [&] { nLongestMs = std::max(nLongestMs, sinceTick.restart()); });
    ticker.start(10);
    sinceTick.start();
    QElapsedTimer run;
    run.start();
    QTest::mouseClick(StartButton(), Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(LogText(m_pDlg.get()).contains(QLatin1String(". (L1)\n")), 60000);
    QTRY_COMPARE_WITH_TIMEOUT(StartButton()->text(), QStringLiteral("&Start Downloading"), 10000);
    nLongestMs = std::max(nLongestMs, sinceTick.elapsed());
    qInfo("%d MB first line: the run took %lld ms, the UI thread stood still for at most %lld ms", nMegabytes,
          static_cast<long long>(run.elapsed()), static_cast<long long>(nLongestMs));

    // The reader's red line shows, and the log keeps within its limit.
    const QString strLog = LogText(m_pDlg.get());
    QVERIFY(strLog.contains(QLatin1String("##  Invalid format: 7777")));
    QVERIFY(!strLog.contains(QLatin1String("successfully")));
    QVERIFY(LogOf(m_pDlg.get())->CharacterCount() <= CLogPanel::kLogLimit);
    // Only a freeze of many seconds fails here; the figure is printed above.
    QVERIFY2(nLongestMs < 20000, qPrintable(QString::number(nLongestMs)));
}

QTEST_MAIN(CDownloadTests)
#include "download_tests.moc"
