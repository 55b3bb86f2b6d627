// The dialog itself, driven as an operator would: its first start and a start
// on a used settings file, the data exchange, the log panel, the port button
// and the terminal against a bare pseudo-terminal pinned to COM3.
#include <thread>

#include <QAbstractItemView>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QContextMenuEvent>
#include <QFileDialog>
#include <QInputDialog>
#include <QLabel>
#include <QMenu>
#include <QMimeData>
#include <QProgressBar>
#include <QRadioButton>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTextBlock>

#include "app/DialogLayout.h"
#include "common/PtyPair.h"
#include "core/Version.h"
#include "tests/gui/GuiFixture.h"

namespace {

std::vector<uint8_t> Bytes(const QByteArray& data)
{
    return std::vector<uint8_t>(data.begin(), data.end());
}

}  // namespace

class CDialogTests : public QObject {
    Q_OBJECT
private slots:
    void FirstStartShowsTheDefaults();
    void UsedSettingsFillTheControlsAndAreSavedOnClose();
    void PortBoxShowsTheComNameWholeAndAsMuchOfThePathAsFits();
    void DialogUnitsComeFromTheFontSizeSoTheDialogFitsSmallScreens();
    void ReadingExchangeStopsAtTheFirstEditWithoutAnInteger();
    void ChipTypeCheckFollowsTheBurnType();
    void LogShowsColoursAndLineEndsAndKeepsTheNewestInView();
    void LogDropsTheOldestTextPastItsLimit();
    void LongLinesKeepTheirNewestPartWithoutStallingTheWindow_data();
    void LongLinesKeepTheirNewestPartWithoutStallingTheWindow();
    void WorkerThreadsReachTheLogInOrderAndBoxesBlockThem();
    void PortButtonOpensAndClosesThePinnedPort();
    void TerminalSendsHexAndCodePage936Bytes();
    void TerminalReceivesIntoTheLogWhileSwitchedOn();
    void AutoSendRepeatsUntilSwitchedOff();
    void AboutBoxFromTheContextMenu();
    void EnterSendsFromTheSendEditAndPressesTheDefaultButtonElsewhere();
    void ButtonsShowFocusAndHover();
    void FileButtonPutsTheChosenFileIntoThePathEdit();
    void DroppedFileBecomesThePath();
    void DroppedRawBinaryAsksForItsLoadAddress();
};

void CDialogTests::FirstStartShowsTheDefaults()
{
    CGuiEnv env;
    auto pDlg = ShowDialog();
    QCOMPARE(pDlg->windowTitle(), QStringLiteral("Vantrel"));
    const CDialogUnits du(pDlg->font());
    QCOMPARE(pDlg->size(), du.Size(506, 366));
    QCOMPARE(pDlg->minimumSize(), pDlg->maximumSize());
    QVERIFY(!(pDlg->windowFlags() & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint)));
    QCOMPARE(Ctrl<QPushButton>(pDlg.get(), "m_btnStart")->geometry(), du.Rect(13, 324, 93, 20));
    QCOMPARE(LogOf(pDlg.get())->geometry(), du.Rect(7, 184, 492, 131));

    auto* pPort = Ctrl<QComboBox>(pDlg.get(), "m_cbPort");
    QCOMPARE(pPort->count(), 13);
    QCOMPARE(pPort->currentIndex(), 0);
    QVERIFY(pPort->currentText().startsWith(QLatin1String("COM1")));
    QCOMPARE(pPort->itemText(12), QStringLiteral("AUTOCHECK"));
    QCOMPARE(Ctrl<QComboBox>(pDlg.get(), "m_cbBaudRate")->currentText(), QStringLiteral("115200"));
    QCOMPARE(Ctrl<QComboBox>(pDlg.get(), "m_cbDataBits")->currentText(), QStringLiteral("8"));
    QCOMPARE(Ctrl<QComboBox>(pDlg.get(), "m_cbParity")->currentText(), QStringLiteral("None"));
    QCOMPARE(Ctrl<QComboBox>(pDlg.get(), "m_cbStopBits")->currentText(), QStringLiteral("1"));
    QCOMPARE(Ctrl<QComboBox>(pDlg.get(), "m_cbSendMode")->currentText(), QStringLiteral("按16进制"));
    QCOMPARE(Ctrl<QLineEdit>(pDlg.get(), "m_editFrameLen")->text(), QStringLiteral("1024"));
    QCOMPARE(Ctrl<QLineEdit>(pDlg.get(), "m_editRepeatTimes")->text(), QStringLiteral("1"));
    QCOMPARE(Ctrl<QLineEdit>(pDlg.get(), "m_editTimeInterval")->text(), QStringLiteral("1000"));
    QCOMPARE(Ctrl<QLineEdit>(pDlg.get(), "m_editFilePath")->text(), QString());
    QVERIFY(Ctrl<QRadioButton>(pDlg.get(), "m_radioFirmware")->isChecked());
    QVERIFY(!Ctrl<QCheckBox>(pDlg.get(), "m_checkChipType")->isEnabled());
    QVERIFY(!Ctrl<QProgressBar>(pDlg.get(), "m_progress")->isVisible());
    QCOMPARE(Ctrl<QPushButton>(pDlg.get(), "m_btnStart")->text(), QStringLiteral("&Start Downloading"));
    QCOMPARE(Ctrl<QPushButton>(pDlg.get(), "m_btnOpenPort")->text(), QStringLiteral("打开串口"));

    const QString strLog = LogText(pDlg.get());
    QVERIFY2(strLog.startsWith(QLatin1String("-- Find serial port:\n")), qPrintable(strLog));
    QVERIFY(strLog.endsWith(QLatin1String("-- -------------------------------------------------\n")));
    // A first start writes the defaults.
    QVERIFY(env.IniText().find("UsedTimes=1") != std::string::npos);

    // Focus starts on the start button; Tab visits every push button, combo,
    // edit and the log, and skips radios, labels, groups, the progress bar
    // and the check box while it is disabled.
    QCOMPARE(FocusName(), QStringLiteral("m_btnStart"));
    const QStringList expected = {"m_cbPort",       "m_btnSelectFile", "m_richLog",         "m_editFilePath",
                                  "m_cbBaudRate",   "m_cbDataBits",    "m_cbParity",        "m_cbStopBits",
                                  "m_btnOpenPort",  "m_editFrameLen",  "m_editRepeatTimes", "m_editTimeInterval",
                                  "m_editSend",     "m_btnAutoSend",   "m_btnReceive",      "m_btnClear",
                                  "m_cbSendMode",   "m_btnManualSend", "m_editVerMajor",    "m_editVerMinor",
                                  "m_editVerPatch", "m_btnStart"};
    QStringList visited;
    for (int i = 0; i < expected.size(); ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        visited << FocusName();
    }
    QCOMPARE(visited, expected);
    QTest::mouseClick(Ctrl<QRadioButton>(pDlg.get(), "m_radioProgram"), Qt::LeftButton);
    Ctrl<QLineEdit>(pDlg.get(), "m_editVerPatch")->setFocus();
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    QCOMPARE(FocusName(), QStringLiteral("m_checkChipType"));
}

void CDialogTests::UsedSettingsFillTheControlsAndAreSavedOnClose()
{
    CGuiEnv env;
    const std::string strPinned = env.m_dir.Path("pinned-tty");
    env.WriteIni("StopBit=2\r\nPortNum=12\r\nDataBit=0\r\nCsBit=4\r\nBaudRate=99\r\nSendType=0\r\n"
                 "FrameLen=512\r\nRepeatTimes=3\r\nTimeInterval=250\r\n",
                 "1.2.*", {{3, strPinned}});
    auto pDlg = ShowDialog();
    auto* pPort = Ctrl<QComboBox>(pDlg.get(), "m_cbPort");
    auto* pBaud = Ctrl<QComboBox>(pDlg.get(), "m_cbBaudRate");
    QCOMPARE(pPort->currentText(), QStringLiteral("AUTOCHECK"));
    QCOMPARE(pPort->itemText(2), QStringLiteral("COM3  ") + QString::fromStdString(strPinned));
    QCOMPARE(pBaud->currentIndex(), -1);  // out of range: nothing selected
    QCOMPARE(pBaud->currentText(), QString());
    QCOMPARE(Ctrl<QComboBox>(pDlg.get(), "m_cbDataBits")->currentText(), QStringLiteral("5"));
    QCOMPARE(Ctrl<QComboBox>(pDlg.get(), "m_cbParity")->currentText(), QStringLiteral("Space"));
    QCOMPARE(Ctrl<QComboBox>(pDlg.get(), "m_cbStopBits")->currentText(), QStringLiteral("2"));
    QCOMPARE(Ctrl<QComboBox>(pDlg.get(), "m_cbSendMode")->currentText(), QStringLiteral("按ASCII码"));
    QCOMPARE(Ctrl<QLineEdit>(pDlg.get(), "m_editFrameLen")->text(), QStringLiteral("512"));
    QCOMPARE(Ctrl<QLineEdit>(pDlg.get(), "m_editRepeatTimes")->text(), QStringLiteral("3"));
    QCOMPARE(Ctrl<QLineEdit>(pDlg.get(), "m_editTimeInterval")->text(), QStringLiteral("250"));
    // The port search lists the pinned path under its number.
    const QString strLog = LogText(pDlg.get());
    QVERIFY2(strLog.contains(QStringLiteral("\nCOM3  ") + QString::fromStdString(strPinned) + QLatin1Char('\n')),
             qPrintable(strLog));

    // The operator picks another rate and another port, types a frame length
    // (an edit that exchanges nothing as it changes), then closes with Esc.
    pBaud->setCurrentIndex(2);
    pPort->setCurrentIndex(4);
    auto* pFrameLen = Ctrl<QLineEdit>(pDlg.get(), "m_editFrameLen");
    pFrameLen->setFocus();
    QTest::keyClick(pFrameLen, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClicks(pFrameLen, QStringLiteral("2000"));
    QTest::keyClick(pDlg.get(), Qt::Key_Escape);
    QVERIFY(!pDlg->isVisible());
    const std::string strIni = env.IniText();
    for (const char* pLine : {"BaudRate=2\r\n", "PortNum=4\r\n", "StopBit=2\r\n", "DataBit=0\r\n", "CsBit=4\r\n",
                              "SendType=0\r\n", "FrameLen=2000\r\n", "RepeatTimes=3\r\n", "TimeInterval=250\r\n"})
        QVERIFY2(strIni.find(pLine) != std::string::npos, pLine);
    QVERIFY(strIni.find("COM3=" + strPinned + "\r\n") != std::string::npos);
}

void CDialogTests::PortBoxShowsTheComNameWholeAndAsMuchOfThePathAsFits()
{
    CGuiEnv env;
    const QString strPath = QString::fromStdString(
        env.m_dir.Path("a rather long folder name/串口 设备/ttyVANTREL-simulated-device-0123456789"));
    env.WriteIni("PortNum=2\r\n", "", {{3, strPath.toStdString()}});
    auto pDlg = ShowDialog();
    auto* pPort = Ctrl<CPortComboBox>(pDlg.get(), "m_cbPort");
    const QFontMetrics metrics = pPort->fontMetrics();
    const QRect textRect = pPort->TextRect();
    QVERIFY(pPort->rect().contains(textRect));

    const QString strFull = QStringLiteral("COM3  ") + strPath;
    QCOMPARE(pPort->itemText(2), strFull);
    QCOMPARE(pPort->toolTip(), strFull);
    QCOMPARE(pPort->itemData(2, Qt::ToolTipRole).toString(), strFull);
    // Closed: the name whole, then the path's beginning and end around "…".
    const QString strClosed = pPort->ClosedText();
    QVERIFY2(strClosed.startsWith(QLatin1String("COM3  /")), qPrintable(strClosed));
    QVERIFY2(strClosed.contains(QChar(0x2026)) && strClosed.endsWith(strPath.right(1)), qPrintable(strClosed));
    QVERIFY(metrics.horizontalAdvance(strClosed) <= textRect.width());

    // Items without a path show whole, AUTOCHECK too; the tooltip follows.
    for (int nIndex : {0, 12}) {
        pPort->setCurrentIndex(nIndex);
        QCOMPARE(pPort->ClosedText(), pPort->itemText(nIndex));
        QVERIFY(metrics.horizontalAdvance(pPort->ClosedText()) <= textRect.width());
        QCOMPARE(pPort->toolTip(), pPort->itemText(nIndex));
    }

    // Open: the list is as wide as the longest item.
    pPort->showPopup();
    QTRY_VERIFY(pPort->view()->isVisible());
    QVERIFY2(pPort->view()->viewport()->width() >= metrics.horizontalAdvance(strFull),
             qPrintable(QString::number(pPort->view()->viewport()->width())));
    pPort->hidePopup();
}

void CDialogTests::DialogUnitsComeFromTheFontSizeSoTheDialogFitsSmallScreens()
{
    // The template's 宋体 9 pt at 96 dpi: a 12 px font, 506 × 366 units.
    QFont font12 = DialogFont();
    font12.setPixelSize(12);
    QCOMPARE(CDialogUnits(font12).Size(506, 366), QSize(759, 549));
    QFont font18 = DialogFont();
    font18.setPixelSize(18);
    QCOMPARE(CDialogUnits(font18).Size(506, 366), QSize(1139, 824));

    CGuiEnv env;
    auto pDlg = ShowDialog();
    QCOMPARE(CDialogUnits(pDlg->font()).m_nBaseY, QFontInfo(pDlg->font()).pixelSize());
    qInfo("dialog %d x %d logical pixels at %d dpi", pDlg->width(), pDlg->height(), pDlg->logicalDpiY());
    // With room for a title bar, it fits a screen of 1024 × 700 logical pixels.
    QVERIFY(pDlg->width() <= 1024);
    QVERIFY(pDlg->height() + 40 <= 700);
    // This screen has room: the page is the whole window, every control on it.
    auto* pPage = Ctrl<QWidget>(pDlg.get(), "m_page");
    QCOMPARE(pDlg->size(), pPage->size());
    QCOMPARE(pPage->mapTo(pDlg.get(), QPoint(0, 0)), QPoint(0, 0));
    for (QWidget* pChild : pPage->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly)) {
        if (!pChild->isWindow() && pChild->isVisible())
            QVERIFY2(pPage->rect().contains(pChild->geometry()), qPrintable(pChild->objectName()));
    }
}

void CDialogTests::ReadingExchangeStopsAtTheFirstEditWithoutAnInteger()
{
    CGuiEnv env;
    auto pDlg = ShowDialog();
    CBoxAnswerer answerer;
    answerer.m_onBox = [] { return FocusName(); };
    auto* pInterval = Ctrl<QLineEdit>(pDlg.get(), "m_editTimeInterval");

    // The frame length and the path edits exchange nothing as they change.
    Ctrl<QLineEdit>(pDlg.get(), "m_editFrameLen")->setText(QString());
    Ctrl<QLineEdit>(pDlg.get(), "m_editFilePath")
        ->setText(QString::fromStdString(env.m_dir.Write("x.hex", ":0100000055AA\n:00000001FF\n")));
    QCOMPARE(answerer.m_seen.size(), size_t(0));
    Ctrl<QLineEdit>(pDlg.get(), "m_editFrameLen")->setText(QStringLiteral("2048"));

    // The interval edit does: emptied, it stops the exchange with a box and
    // takes the focus; the frame length before it was read.
    pInterval->setFocus();
    QTest::keyClick(pInterval, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClick(pInterval, Qt::Key_Delete);
    QCOMPARE(answerer.m_seen.size(), size_t(1));
    QCOMPARE(answerer.m_seen[0].strText, QStringLiteral("请键入一个整数。"));
    QCOMPARE(answerer.m_seen[0].strCaption, CLoaderDlg::BoxCaption());
    QCOMPARE(pDlg->focusWidget(), pInterval);

    // A change after it reads nothing past the bad edit.
    Ctrl<QLineEdit>(pDlg.get(), "m_editRepeatTimes")->setText(QStringLiteral("5"));
    QCOMPARE(answerer.m_seen.size(), size_t(2));
    QCOMPARE(pDlg->focusWidget(), pInterval);

    // The start button, as the Enter key, reports the bad edit and still
    // runs, with the values read before it.
    QTest::keyClick(pInterval, Qt::Key_Return);
    QCOMPARE(answerer.m_seen.size(), size_t(3));
    QTRY_VERIFY2_WITH_TIMEOUT(LogText(pDlg.get()).contains(QLatin1String("## Open COM1 failed, BaudRate = 115200.")),
                              qPrintable(LogText(pDlg.get())), 10000);
    QTRY_COMPARE_WITH_TIMEOUT(Ctrl<QPushButton>(pDlg.get(), "m_btnStart")->text(), QStringLiteral("&Start Downloading"),
                              10000);

    // Closing asks nothing more: the bad edit keeps its last value, the
    // others are saved as they stand.
    pDlg->close();
    QCOMPARE(answerer.m_seen.size(), size_t(3));
    const std::string strIni = env.IniText();
    QVERIFY(strIni.find("FrameLen=2048\r\n") != std::string::npos);
    QVERIFY(strIni.find("TimeInterval=1000\r\n") != std::string::npos);
    QVERIFY(strIni.find("RepeatTimes=5\r\n") != std::string::npos);
}

void CDialogTests::ChipTypeCheckFollowsTheBurnType()
{
    CGuiEnv env;
    auto pDlg = ShowDialog();
    auto* pCheck = Ctrl<QCheckBox>(pDlg.get(), "m_checkChipType");
    QTest::mouseClick(Ctrl<QRadioButton>(pDlg.get(), "m_radioProgram"), Qt::LeftButton);
    QVERIFY(pCheck->isEnabled());
    QTest::mouseClick(pCheck, Qt::LeftButton);
    QVERIFY(pCheck->isChecked());
    for (const char* pRadio : {"m_radioEmulator", "m_radioFirmware"}) {
        QTest::mouseClick(Ctrl<QRadioButton>(pDlg.get(), "m_radioProgram"), Qt::LeftButton);
        QVERIFY(pCheck->isEnabled());
        QTest::mouseClick(Ctrl<QRadioButton>(pDlg.get(), pRadio), Qt::LeftButton);
        QVERIFY(Ctrl<QRadioButton>(pDlg.get(), pRadio)->isChecked());
        QVERIFY(!pCheck->isEnabled());
        QVERIFY(pCheck->isChecked());  // kept while disabled
    }
}

void CDialogTests::LogShowsColoursAndLineEndsAndKeepsTheNewestInView()
{
    CGuiEnv env;
    auto pDlg = ShowDialog();
    CLogPanel* pLog = LogOf(pDlg.get());
    QTest::mouseClick(Ctrl<QPushButton>(pDlg.get(), "m_btnClear"), Qt::LeftButton);
    QCOMPARE(pLog->toPlainText(), QString());

    struct CPiece {
        const char* pText;
        int nColour;
        QColor colour;
    };
    const CPiece pieces[] = {
        {"k", 0, QColor(0, 0, 0)},   {"d", 1, QColor(150, 0, 0)}, {"r", 2, QColor(255, 0, 0)},
        {"b", 3, QColor(0, 0, 250)}, {"g", 4, QColor(0, 120, 0)}, {"x", 5, QColor(0, 0, 0)},
        {"y", 77, QColor(0, 0, 0)},
    };
    for (const CPiece& piece : pieces)
        pDlg->AppendLog(piece.pText, piece.nColour);
    const QTextBlock first = pLog->document()->firstBlock();
    QCOMPARE(first.text(), QStringLiteral("kdrbgxy"));
    for (int i = 0; i < int(std::size(pieces)); ++i) {
        QTextCursor cursor(pLog->document());
        cursor.setPosition(i + 1);  // the format of the character before
        QCOMPARE(cursor.charFormat().foreground().color(), pieces[i].colour);
    }

    // "\r\n" ends a line, also when split over two appends; an operator's
    // selection does not move the text's place, and the newest stays in view.
    pDlg->AppendLog("\r\nsecond\r", 0);
    pDlg->AppendLog("\nthird\r\n", 0);
    QCOMPARE(pLog->toPlainText(), QStringLiteral("kdrbgxy\nsecond\nthird\n"));
    for (int i = 0; i < 200; ++i)
        pDlg->AppendLog("filler line\r\n", 0);
    pLog->selectAll();
    pLog->verticalScrollBar()->setValue(0);
    pDlg->AppendLog("newest", 2);
    QVERIFY(pLog->toPlainText().endsWith(QLatin1String("filler line\nnewest")));
    QVERIFY(!pLog->textCursor().hasSelection());
    QVERIFY(!pLog->document()->isModified());
    QVERIFY(pLog->verticalScrollBar()->maximum() > 0);
    QCOMPARE(pLog->verticalScrollBar()->value(), pLog->verticalScrollBar()->maximum());
}

void CDialogTests::LogDropsTheOldestTextPastItsLimit()
{
    CGuiEnv env;
    auto pDlg = ShowDialog();
    CLogPanel* pLog = LogOf(pDlg.get());
    // 3000 lines of 50 characters: 150,000 characters with their line ends.
    for (int i = 0; i < 3000; ++i)
        pDlg->View().AppendLog(
            QStringLiteral("line %1 ").arg(i, 5, 10, QLatin1Char('0')).leftJustified(49, '.').toStdString() + "\r\n",
            i % 5);
    QVERIFY(pLog->CharacterCount() <= CLogPanel::kLogLimit);
    QVERIFY(pLog->CharacterCount() > CLogPanel::kLogLimit - 50);
    const QString strText = pLog->toPlainText();
    QVERIFY(strText.startsWith(QLatin1String("line ")));  // whole lines go
    QVERIFY(strText.endsWith(QStringLiteral("line 02999 ").leftJustified(49, '.') + QLatin1Char('\n')));
    QVERIFY(!strText.contains(QLatin1String("line 00000")));
    QCOMPARE(pLog->CharacterCount(), int(strText.size() + strText.count(QLatin1Char('\n'))));

    // One piece longer than the limit: its newest part fills the log.
    std::string strHuge(CLogPanel::kLogLimit + 1000, 'a');
    strHuge.replace(strHuge.size() - 4, 4, "TAIL");
    pDlg->AppendLog(strHuge, 0);
    QCOMPARE(pLog->CharacterCount(), CLogPanel::kLogLimit);
    QVERIFY(pLog->toPlainText().endsWith(QLatin1String("aaaTAIL")));
}

void CDialogTests::LongLinesKeepTheirNewestPartWithoutStallingTheWindow_data()
{
    QTest::addColumn<qsizetype>("nLength");
    QTest::addColumn<int>("nPieces");
    QTest::newRow("1 MB line") << qsizetype(1) << 1;
    QTest::newRow("50 MB line") << qsizetype(50) << 1;
    QTest::newRow("1 MB line in 4096 pieces") << qsizetype(1) << 4096;
}

void CDialogTests::LongLinesKeepTheirNewestPartWithoutStallingTheWindow()
{
    QFETCH(qsizetype, nLength);
    QFETCH(int, nPieces);
    CGuiEnv env;
    auto pDlg = ShowDialog();
    CLogPanel* pLog = LogOf(pDlg.get());
    pDlg->AppendLog("an older line\r\n", 0);
    QCOMPARE(pLog->lineWrapMode(), QPlainTextEdit::NoWrap);

    // A line as a reader reports a file's line: megabytes of it, with a
    // Chinese character now and then, and a line end.
    std::string strLine = "##  Invalid format: ";
    const size_t nBytes = static_cast<size_t>(nLength) * 1000 * 1000;
    strLine.reserve(nBytes + 64);
    while (strLine.size() < nBytes)
        strLine += "0123456789ABCDEF\xE4\xB8\xAD:";
    strLine += ". (L1)\r\n";
    std::vector<std::string> pieces;
    const size_t nPiece = strLine.size() / static_cast<size_t>(nPieces) + 1;
    for (size_t i = 0; i < strLine.size(); i += nPiece)
        pieces.push_back(strLine.substr(i, nPiece));

    // The worker's calls queue up and reach the UI thread in one batch.
    std::thread worker([&] {
        for (const std::string& strPiece : pieces)
            pDlg->View().AppendLog(strPiece, 2);
    });
    worker.join();
    QElapsedTimer busy;
    busy.start();
    QCoreApplication::processEvents();
    pLog->viewport()->repaint();
    const qint64 nBusyMs = busy.elapsed();
    qInfo("UI thread busy for %lld ms with a %lld MB line in %d pieces", static_cast<long long>(nBusyMs),
          static_cast<long long>(nLength), nPieces);

    // The newest part fills the log; the older line had to go.
    const QString strText = pLog->toPlainText();
    QVERIFY(strText.endsWith(QStringLiteral("中:. (L1)\n")));
    QVERIFY(!strText.contains(QLatin1String("older")));
    QVERIFY(pLog->CharacterCount() <= CLogPanel::kLogLimit);
    QVERIFY(pLog->CharacterCount() > CLogPanel::kLogLimit - 8);
    QCOMPARE(pLog->CharacterCount(), int(strText.size() + strText.count(QLatin1Char('\n'))));
    QCOMPARE(pLog->document()->blockCount(), 2);  // the long line and the empty one after it
    QVERIFY(pLog->horizontalScrollBar()->maximum() > 0);
    // Red to its end.
    QTextCursor cursor(pLog->document());
    cursor.setPosition(1);
    QCOMPARE(cursor.charFormat().foreground().color(), QColor(255, 0, 0));
    // Only a freeze of many seconds fails here; the figure is printed above.
    QVERIFY2(nBusyMs < 20000, qPrintable(QString::number(nBusyMs)));

    // The next line shows after it, and the log stays within its limit.
    pDlg->AppendLog("-- next\r\n", 0);
    QVERIFY(pLog->toPlainText().endsWith(QLatin1String(". (L1)\n-- next\n")));
    QVERIFY(pLog->CharacterCount() <= CLogPanel::kLogLimit);
}

void CDialogTests::WorkerThreadsReachTheLogInOrderAndBoxesBlockThem()
{
    CGuiEnv env;
    auto pDlg = ShowDialog();
    QTest::mouseClick(Ctrl<QPushButton>(pDlg.get(), "m_btnClear"), Qt::LeftButton);
    CLoaderView& view = pDlg->View();
    constexpr int kLines = 3000;
    // One thread appends two lines per piece, the other one: pieces come out
    // whole (A's pairs stay together) and each thread's in its order.
    std::thread a([&view] {
        for (int i = 0; i < kLines; i += 2)
            view.AppendLog("A" + std::to_string(i) + "\r\nA" + std::to_string(i + 1) + "\r\n", 3);
    });
    std::thread b([&view] {
        for (int i = 0; i < kLines; ++i)
            view.AppendLog("B" + std::to_string(i) + "\r\n", 4);
    });
    a.join();
    b.join();
    QTRY_VERIFY_WITH_TIMEOUT(LogText(pDlg.get()).count(QLatin1Char('\n')) == 2 * kLines, 10000);
    int nNextA = 0;
    int nNextB = 0;
    QString strPrevious;
    for (const QString& strLine : LogText(pDlg.get()).split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        if (nNextA % 2 == 1)
            QCOMPARE(strPrevious, QStringLiteral("A%1").arg(nNextA - 1));
        if (strLine.startsWith(QLatin1Char('A')))
            QCOMPARE(strLine, QStringLiteral("A%1").arg(nNextA++));
        else
            QCOMPARE(strLine, QStringLiteral("B%1").arg(nNextB++));
        strPrevious = strLine;
    }
    QCOMPARE(nNextA, kLines);
    QCOMPARE(nNextB, kLines);

    // A box from a worker blocks it until answered; what it logged before
    // the box is shown before the box.
    std::atomic<int> nDone {0};
    CBoxAnswerer answerer({QMessageBox::Ok, QMessageBox::No, QMessageBox::Yes});
    answerer.m_onBox = [&] {
        return QStringLiteral("%1 %2")
            .arg(nDone.load())
            .arg(LogText(pDlg.get()).endsWith(QLatin1String("before\n")) ? "logged" : "not logged");
    };
    bool bFirst = true;
    bool bSecond = false;
    std::thread worker([&] {
        view.AppendLog("before\r\n", 0);
        view.ShowMessageBox("box from the worker");
        nDone = 1;
        bFirst = view.AskYesNo("first question");
        nDone = 2;
        bSecond = view.AskYesNo("second question");
        nDone = 3;
    });
    QTRY_COMPARE_WITH_TIMEOUT(nDone.load(), 3, 10000);
    worker.join();
    QCOMPARE(answerer.m_seen.size(), size_t(3));
    QCOMPARE(answerer.m_seen[0].strText, QStringLiteral("box from the worker"));
    QCOMPARE(answerer.m_seen[0].strNote, QStringLiteral("0 logged"));
    QCOMPARE(answerer.m_seen[1].strNote, QStringLiteral("1 logged"));
    QCOMPARE(answerer.m_seen[2].strNote, QStringLiteral("2 logged"));
    QVERIFY(!bFirst);
    QVERIFY(bSecond);
}

void CDialogTests::PortButtonOpensAndClosesThePinnedPort()
{
    CGuiEnv env;
    CPtyPair pty;
    env.WriteIni("PortNum=2\r\n", "", {{3, pty.SlavePath()}});
    auto pDlg = ShowDialog();
    auto* pButton = Ctrl<QPushButton>(pDlg.get(), "m_btnOpenPort");
    Ctrl<QComboBox>(pDlg.get(), "m_cbBaudRate")->setCurrentIndex(5);
    QTest::mouseClick(pButton, Qt::LeftButton);
    QVERIFY2(LogText(pDlg.get()).endsWith(QStringLiteral("串口打开正常:COM3,38400,8,N,1\n")),
             qPrintable(LogText(pDlg.get())));
    QCOMPARE(pButton->text(), QStringLiteral("关闭串口"));
    // Opening saves the settings at once.
    QVERIFY(env.IniText().find("BaudRate=5\r\n") != std::string::npos);

    QTest::mouseClick(pButton, Qt::LeftButton);
    QVERIFY(LogText(pDlg.get()).endsWith(QStringLiteral("串口关闭正常!\n")));
    QCOMPARE(pButton->text(), QStringLiteral("打开串口"));
}

void CDialogTests::TerminalSendsHexAndCodePage936Bytes()
{
    CGuiEnv env;
    CPtyPair pty;
    env.WriteIni("PortNum=2\r\n", "", {{3, pty.SlavePath()}});
    auto pDlg = ShowDialog();
    QTest::mouseClick(Ctrl<QPushButton>(pDlg.get(), "m_btnOpenPort"), Qt::LeftButton);
    auto* pSend = Ctrl<QLineEdit>(pDlg.get(), "m_editSend");
    auto* pMode = Ctrl<QComboBox>(pDlg.get(), "m_cbSendMode");
    auto* pManual = Ctrl<QPushButton>(pDlg.get(), "m_btnManualSend");

    struct CCase {
        int nMode;
        const char* pTyped;
        QByteArray expected;
    };
    const CCase cases[] = {
        {1, "41 42 0d ff", QByteArray::fromHex("41420dff")},
        {1, "0102zz03", QByteArray()},  // not hex: nothing at all, and the log says why
        {0, "中A", QByteArray::fromHex("d6d041")},
    };
    for (const CCase& c : cases) {
        pMode->setCurrentIndex(c.nMode);
        // Typed text; Chinese characters come from an input method, not keys.
        pSend->setText(QString::fromUtf8(c.pTyped));
        QTest::mouseClick(pManual, Qt::LeftButton);
        QCOMPARE(pty.Receive(100), Bytes(c.expected));
    }
    QVERIFY2(LogText(pDlg.get()).contains(QStringLiteral("## \"0102zz03\" is not hex: nothing was sent\n")),
             qPrintable(LogText(pDlg.get())));
}

void CDialogTests::TerminalReceivesIntoTheLogWhileSwitchedOn()
{
    CGuiEnv env;
    CPtyPair pty;
    env.WriteIni("PortNum=2\r\nTimeInterval=20\r\n", "", {{3, pty.SlavePath()}});
    auto pDlg = ShowDialog();
    auto* pReceive = Ctrl<QPushButton>(pDlg.get(), "m_btnReceive");
    QTest::mouseClick(Ctrl<QPushButton>(pDlg.get(), "m_btnOpenPort"), Qt::LeftButton);
    QTest::mouseClick(Ctrl<QPushButton>(pDlg.get(), "m_btnClear"), Qt::LeftButton);

    pty.Send({'h', 'e', 'l', 'l', 'o', '\r', '\n', 0xD6});
    QTest::mouseClick(pReceive, Qt::LeftButton);
    QCOMPARE(pReceive->text(), QStringLiteral("停止接收"));
    QTRY_COMPARE_WITH_TIMEOUT(LogText(pDlg.get()), QStringLiteral("hello\n"), 5000);
    pty.Send({0xD0, 'w'});  // the character's second byte comes with a later poll
    QTRY_COMPARE_WITH_TIMEOUT(LogText(pDlg.get()), QStringLiteral("hello\n中w"), 5000);

    QTest::mouseClick(pReceive, Qt::LeftButton);
    QCOMPARE(pReceive->text(), QStringLiteral("开始接收"));
    pty.Send({'z'});
    QTest::qWait(200);
    QCOMPARE(LogText(pDlg.get()), QStringLiteral("hello\n中w"));
}

void CDialogTests::AutoSendRepeatsUntilSwitchedOff()
{
    CGuiEnv env;
    CPtyPair pty;
    env.WriteIni("PortNum=2\r\nTimeInterval=20\r\n", "", {{3, pty.SlavePath()}});
    auto pDlg = ShowDialog();
    auto* pAuto = Ctrl<QPushButton>(pDlg.get(), "m_btnAutoSend");
    QTest::mouseClick(Ctrl<QPushButton>(pDlg.get(), "m_btnOpenPort"), Qt::LeftButton);
    QTest::keyClicks(Ctrl<QLineEdit>(pDlg.get(), "m_editSend"), QStringLiteral("5A"));

    QTest::mouseClick(pAuto, Qt::LeftButton);
    QCOMPARE(pAuto->text(), QStringLiteral("停止发送"));
    std::vector<uint8_t> received;
    QTRY_VERIFY_WITH_TIMEOUT(
        [&] {
            const std::vector<uint8_t> more = pty.Receive(0);
            received.insert(received.end(), more.begin(), more.end());
            return received.size() >= 4;
        }(),
        5000);
    QCOMPARE(received, std::vector<uint8_t>(received.size(), 0x5A));

    QTest::mouseClick(pAuto, Qt::LeftButton);
    QCOMPARE(pAuto->text(), QStringLiteral("自动发送"));
    pty.Receive(50);
    QTest::qWait(200);
    QVERIFY(pty.Receive(0).empty());
}

void CDialogTests::AboutBoxFromTheContextMenu()
{
    CGuiEnv env;
    auto pDlg = ShowDialog();
    QString strEntry;
    QString strCaption;
    QStringList texts;
    QSize size;
    int nMenuActions = 0;
    bool bIcon = false;
    bool bDefault = false;
    CPoller menuPoller([&] {
        auto* pMenu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        if (!pMenu)
            return;
        nMenuActions = int(pMenu->actions().size());
        pMenu->setActiveAction(pMenu->actions().front());
        strEntry = pMenu->actions().front()->text();
        QTest::keyClick(pMenu, Qt::Key_Return);
        // tried again while the menu stays open
    });
    CPoller aboutPoller([&] {
        QWidget* pModal = QApplication::activeModalWidget();
        if (!pModal || pModal == pDlg.get() || !pModal->isVisible())
            return;
        strCaption = pModal->windowTitle();
        size = pModal->size();
        texts.clear();
        for (const char* pName : {"m_staticVersion", "m_staticWhat"})
            texts << Ctrl<QLabel>(pModal, pName)->text();
        bIcon = !Ctrl<QLabel>(pModal, "m_staticIcon")->pixmap().isNull();
        auto* pOk = Ctrl<QPushButton>(pModal, "m_btnOk");
        bDefault = pOk->isDefault();
        QTest::mouseClick(pOk, Qt::LeftButton);
    });
    const QPoint at(5, 5);
    QContextMenuEvent event(QContextMenuEvent::Mouse, at, pDlg->mapToGlobal(at));
    QApplication::sendEvent(pDlg.get(), &event);  // returns once menu and box are done
    QCOMPARE(nMenuActions, 1);
    QVERIFY(bIcon);
    QVERIFY(bDefault);
    QCOMPARE(strCaption, QStringLiteral("关于 Vantrel"));
    QCOMPARE(size, CDialogUnits(pDlg->font()).Size(235, 55));
    QCOMPARE(strEntry, QStringLiteral("关于 Vantrel(&A)..."));
    QCOMPARE(texts.size(), 2);
    QCOMPARE(texts[0], QString::fromStdString(std::string("Vantrel ") + kVantrelVersion + " 版"));
    QVERIFY(!texts[1].isEmpty());
    QVERIFY(pDlg->isVisible());
}

void CDialogTests::EnterSendsFromTheSendEditAndPressesTheDefaultButtonElsewhere()
{
    CGuiEnv env;
    CPtyPair pty;
    env.WriteIni("PortNum=2\r\n", "", {{3, pty.SlavePath()}});
    auto pDlg = ShowDialog();
    QTest::mouseClick(Ctrl<QPushButton>(pDlg.get(), "m_btnOpenPort"), Qt::LeftButton);
    auto* pStart = Ctrl<QPushButton>(pDlg.get(), "m_btnStart");
    QSignalSpy starts(pStart, &QPushButton::clicked);

    // In the send edit, Enter sends what was typed and starts no run.
    auto* pSend = Ctrl<QLineEdit>(pDlg.get(), "m_editSend");
    pSend->setFocus();
    QTest::keyClicks(pSend, QStringLiteral("41 42"));
    for (Qt::Key key : {Qt::Key_Return, Qt::Key_Enter}) {
        QTest::keyClick(pSend, key);
        QCOMPARE(pty.Receive(100), Bytes(QByteArray::fromHex("4142")));
    }
    QCOMPARE(starts.count(), 0);
    QCOMPARE(pStart->text(), QStringLiteral("&Start Downloading"));
    QCOMPARE(Ctrl<QPushButton>(pDlg.get(), "m_btnOpenPort")->text(), QStringLiteral("关闭串口"));

    // In any other edit it is the default button's, as ever.
    auto* pVersion = Ctrl<QLineEdit>(pDlg.get(), "m_editVerMajor");
    pVersion->setFocus();
    QTest::keyClick(pVersion, Qt::Key_Return);
    QCOMPARE(starts.count(), 1);
    QTRY_COMPARE_WITH_TIMEOUT(pStart->text(), QStringLiteral("&Start Downloading"), 10000);
}

void CDialogTests::ButtonsShowFocusAndHover()
{
    CGuiEnv env;
    auto pDlg = ShowDialog();
    auto* pElsewhere = Ctrl<QLineEdit>(pDlg.get(), "m_editFilePath");
    const QPoint away = pElsewhere->mapTo(pDlg.get(), pElsewhere->rect().center());
    for (const char* pName : {"m_btnStart", "m_btnAutoSend", "m_btnReceive", "m_btnClear", "m_btnManualSend"}) {
        auto* pButton = Ctrl<QPushButton>(pDlg.get(), pName);
        // At rest: the focus in an edit, the mouse over it.
        pElsewhere->setFocus();
        QTest::mouseMove(pDlg.get(), away);
        QTRY_VERIFY(!pButton->underMouse());
        const QImage rest = pButton->grab().toImage();

        pButton->setFocus(Qt::TabFocusReason);
        QVERIFY(pButton->hasFocus());
        QVERIFY2(pButton->grab().toImage() != rest, pName);

        pElsewhere->setFocus();
        QTest::mouseMove(pButton, pButton->rect().center());
        QTRY_VERIFY(pButton->underMouse());
        QVERIFY2(pButton->grab().toImage() != rest, pName);
    }
}

void CDialogTests::FileButtonPutsTheChosenFileIntoThePathEdit()
{
    CGuiEnv env;
    for (const char* pFolder : {"固件 folder", "other"})
        std::filesystem::create_directories(env.m_dir.Path(pFolder));
    const QString strFile = QString::fromStdString(env.m_dir.Write("固件 folder/chosen.hex", ":00000001FF\n"));
    const QString strOther = QString::fromStdString(env.m_dir.Write("other/old.hex", ":00000001FF\n"));
    auto pDlg = ShowDialog();
    auto* pPath = Ctrl<QLineEdit>(pDlg.get(), "m_editFilePath");
    pPath->setText(strOther);
    // The button reads the controls first: an emptied frame length (an edit
    // that exchanges nothing as it changes) is reported then.
    auto* pFrameLen = Ctrl<QLineEdit>(pDlg.get(), "m_editFrameLen");
    pFrameLen->clear();
    CBoxAnswerer answerer;
    for (bool bChoose : {true, false}) {
        QString strFilter;
        QString strFolder;
        int nSeen = 0;
        // The operator types the file's path into the name edit and accepts,
        // trying again while the dialog stays open.
        CPoller poller([&] {
            auto* pFiles = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
            if (!pFiles || !pFiles->isVisible())
                return;
            ++nSeen;
            strFilter = pFiles->nameFilters().join(QLatin1Char(';'));
            strFolder = pFiles->directory().absolutePath();
            if (bChoose) {
                if (auto* pName = pFiles->findChild<QLineEdit*>(QStringLiteral("fileNameEdit")))
                    pName->setText(strFile);
                else
                    pFiles->selectFile(strFile);
                static_cast<QDialog*>(pFiles)->accept();
            } else {
                pFiles->reject();
            }
        });
        QTest::mouseClick(Ctrl<QPushButton>(pDlg.get(), "m_btnSelectFile"), Qt::LeftButton);
        QVERIFY(nSeen > 0);
        // Firmware files are offered first, every format and then each, in
        // the folder of the path shown.
        QCOMPARE(strFilter, QStringLiteral("Firmware (*.hex *.asc *.srec *.s19 *.s28 *.s37 *.mot *.bin);Intel HEX "
                                           "(*.hex);ASC (*.asc);Motorola S-record (*.srec *.s19 *.s28 *.s37 *.mot);"
                                           "raw binary (*.bin);All Files (*)"));
        QCOMPARE(strFolder, QFileInfo(bChoose ? strOther : strFile).absolutePath());
        QCOMPARE(pPath->text(), strFile);  // a cancelled choice leaves it as it was
        QCOMPARE(answerer.m_seen.size(), size_t(1));
        QCOMPARE(answerer.m_seen[0].strText, QStringLiteral("请键入一个整数。"));
        pFrameLen->setText(QStringLiteral("640"));
    }
}

void CDialogTests::DroppedFileBecomesThePath()
{
    CGuiEnv env;
    std::filesystem::create_directories(env.m_dir.Path("固件 2024"));
    const QString strFile = QString::fromStdString(env.m_dir.Write("固件 2024/app v1.2.hex", ":00000001FF\n"));
    const QString strOld = QStringLiteral("/old/path.hex");
    const QUrl local = QUrl::fromLocalFile(strFile);
    const QString strFolder = QString::fromStdString(env.m_dir.Path("固件 2024"));
    struct CCase {
        const char* pName;
        QList<QUrl> urls;
        QString strPath;  // the path edit afterwards
        QString strLine;  // the log's new last line, if any
    };
    const CCase cases[] = {
        {"one local file", {local}, strFile, QString()},
        {"two files",
         {local, local},
         strOld,
         QStringLiteral("## Drop one firmware file at a time: 2 files were dropped.")},
        {"a web address",
         {QUrl(QStringLiteral("https://example.com/fw.hex"))},
         strOld,
         QStringLiteral("## Only a local file can be dropped: https://example.com/fw.hex")},
        {"a folder", {QUrl::fromLocalFile(strFolder)}, strOld, QStringLiteral("## Not a file: ") + strFolder},
    };
    auto pDlg = ShowDialog();
    auto* pPath = Ctrl<QLineEdit>(pDlg.get(), "m_editFilePath");
    for (const CCase& c : cases) {
        // Dropped on the path edit, and on the dialog beside it.
        for (QWidget* pTarget : {static_cast<QWidget*>(pPath), static_cast<QWidget*>(pDlg.get())}) {
            pPath->setText(strOld);
            const QString strLogBefore = LogText(pDlg.get());
            QMimeData data;
            data.setUrls(c.urls);
            data.setText(c.urls.front().toString());  // as file managers offer it too
            const QPoint at = pTarget == pPath ? pPath->rect().center() : QPoint(4, 4);
            QDragEnterEvent enter(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
            QApplication::sendEvent(pTarget, &enter);
            QVERIFY2(enter.isAccepted(), c.pName);
            QDropEvent drop(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
            QApplication::sendEvent(pTarget, &drop);
            QVERIFY2(drop.isAccepted(), c.pName);
            QCOMPARE(pPath->text(), c.strPath);
            const QString strLog = LogText(pDlg.get());
            if (c.strLine.isEmpty()) {
                QCOMPARE(strLog, strLogBefore);
            } else {
                QCOMPARE(strLog, strLogBefore + c.strLine + QLatin1Char('\n'));
                QTextCursor cursor(LogOf(pDlg.get())->document());
                cursor.setPosition(strLog.size() - 2);
                QCOMPARE(cursor.charFormat().foreground().color(), QColor(255, 0, 0));
            }
        }
    }
}

void CDialogTests::DroppedRawBinaryAsksForItsLoadAddress()
{
    CGuiEnv env;
    const QString strFile = QString::fromStdString(env.m_dir.Write("应用.bin", "\x12\x34"));
    auto pDlg = ShowDialog();
    // The operator types the address into the question and accepts it.
    QString strCaption;
    QString strQuestion;
    QString strOffered;
    CPoller poller([&] {
        auto* pAsk = qobject_cast<QInputDialog*>(QApplication::activeModalWidget());
        if (!pAsk || !pAsk->isVisible() || !strQuestion.isEmpty())
            return;
        strCaption = pAsk->windowTitle();
        strQuestion = pAsk->labelText();
        strOffered = pAsk->textValue();
        pAsk->setTextValue(QStringLiteral("0x1F000"));
        pAsk->accept();
    });
    QMimeData data;
    data.setUrls({QUrl::fromLocalFile(strFile)});
    QDragEnterEvent enter(QPoint(4, 4), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(pDlg.get(), &enter);
    QDropEvent drop(QPoint(4, 4), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(pDlg.get(), &drop);
    QCOMPARE(Ctrl<QLineEdit>(pDlg.get(), "m_editFilePath")->text(), strFile);
    QCOMPARE(strCaption, QFileInfo(QCoreApplication::applicationFilePath()).completeBaseName());
    QVERIFY2(strQuestion.contains(QStringLiteral("应用.bin")), qPrintable(strQuestion));
    QCOMPARE(strOffered, QStringLiteral("0x0"));
    QVERIFY2(env.IniText().find("BinAddress=0x1F000\r\n") != std::string::npos, env.IniText().c_str());
    QVERIFY(LogText(pDlg.get()).endsWith(QStringLiteral(" loads at 0x1F000.\n")));
}

QTEST_MAIN(CDialogTests)
#include "dialog_tests.moc"
