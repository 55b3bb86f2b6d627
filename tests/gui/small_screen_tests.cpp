// The dialog on a screen smaller than itself, as 2x scale on a 1280 x 1024
// monitor gives (640 x 512 logical pixels): the window fits the screen and
// every control can be scrolled into view, by Tab as by the scroll bars.
// Run on the offscreen platform with tests/gui/small-screen.json.
#include <QGuiApplication>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>

#include "tests/gui/GuiFixture.h"

class CSmallScreenTests : public QObject {
    Q_OBJECT
private slots:
    void WindowFitsAndTabBringsEveryControlIntoView();
};

void CSmallScreenTests::WindowFitsAndTabBringsEveryControlIntoView()
{
    const QRect available = QGuiApplication::primaryScreen()->availableGeometry();
    QCOMPARE(available.size(), QSize(640, 512));
    CGuiEnv env;
    auto pDlg = ShowDialog();
    qInfo("dialog %d x %d on a screen of %d x %d", pDlg->width(), pDlg->height(), available.width(),
          available.height());
    // Room is left for a title bar and borders.
    QVERIFY(pDlg->width() + 16 <= available.width());
    QVERIFY(pDlg->height() + 40 <= available.height());
    auto* pPage = Ctrl<QWidget>(pDlg.get(), "m_page");
    QVERIFY(pPage->width() > pDlg->width());

    // Tab goes round every control; each one it lands on is in view, as
    // much of it as the window can show.
    auto* pScroll = Ctrl<QScrollArea>(pDlg.get(), "m_scroll");
    QWidget* pViewport = pScroll->viewport();
    const auto inView = [pViewport](QWidget* pWidget) {
        if (!pViewport->isAncestorOf(pWidget))
            return false;
        const QRect shown = pViewport->rect() & QRect(pWidget->mapTo(pViewport, QPoint(0, 0)), pWidget->size());
        return shown.width() >= std::min(pWidget->width(), pViewport->width()) &&
               shown.height() >= std::min(pWidget->height(), pViewport->height());
    };
    QWidget* pFirst = Ctrl<QPushButton>(pDlg.get(), "m_btnStart");
    pFirst->setFocus(Qt::TabFocusReason);
    QStringList visited;
    for (int i = 0; i < 40; ++i) {
        QWidget* pFocus = QApplication::focusWidget();
        QVERIFY(pFocus);
        QTRY_VERIFY2(inView(pFocus), qPrintable(pFocus->objectName() + QLatin1Char(' ') + FocusName()));
        visited << FocusName();
        QTest::keyClick(pFocus, Qt::Key_Tab);
        if (QApplication::focusWidget() == pFirst)
            break;
    }
    for (const char* pName : {"m_btnStart", "m_btnSelectFile", "m_btnManualSend", "m_editVerPatch", "m_richLog"})
        QVERIFY2(visited.contains(QLatin1String(pName)), pName);

    // The scroll bars reach the far corner too.
    pScroll->horizontalScrollBar()->setValue(pScroll->horizontalScrollBar()->maximum());
    pScroll->verticalScrollBar()->setValue(pScroll->verticalScrollBar()->maximum());
    QVERIFY(inView(Ctrl<QPushButton>(pDlg.get(), "m_btnSelectFile")));
}

QTEST_MAIN(CSmallScreenTests)
#include "small_screen_tests.moc"
