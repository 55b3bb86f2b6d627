#pragma once
// What the dialog tests share: a settings file of the test's own in a scratch
// folder, a fresh dialog on it, the dialog's controls by name, and an
// operator who answers the boxes the dialog raises.
#include <filesystem>
#include <stdlib.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QTimer>
#include <QtTest>

#include "app/CLoaderDlg.h"
#include "app/LogPanel.h"
#include "settings/ProfileFile.h"
#include "common/TempDir.h"
#include "serial/ComPortMap.h"

// Calls poll every few milliseconds while events are processed (also inside
// a dialog's or a menu's own event loop), as long as it lives.
class CPoller : public QObject {
public:
    explicit CPoller(std::function<void()> poll) : m_poll(std::move(poll))
    {
        connect(&m_timer, &QTimer::timeout, this, [this] { m_poll(); });
        m_timer.start(10);
    }

private:
    std::function<void()> m_poll;
    QTimer m_timer;
};

// The operator at the message boxes: answers each one with the next answer
// given (the last one repeating), noting its caption and text and, through
// m_onBox, anything else the test wants to know at that moment.
class CBoxAnswerer : public QObject {
public:
    struct CSeen {
        QString strCaption;
        QString strText;
        QString strNote;
    };

    explicit CBoxAnswerer(std::vector<QMessageBox::StandardButton> answers = {QMessageBox::Ok})
        : m_answers(std::move(answers))
    {
        connect(&m_timer, &QTimer::timeout, this, [this] { Poll(); });
        m_timer.start(10);
    }

    std::vector<CSeen> m_seen;
    std::function<QString()> m_onBox;

private:
    void Poll()
    {
        auto* pBox = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!pBox || !pBox->isVisible() || pBox == m_pLast)
            return;
        m_pLast = pBox;
        m_seen.push_back({pBox->windowTitle(), pBox->text(), m_onBox ? m_onBox() : QString()});
        const size_t nAnswer = std::min(m_seen.size(), m_answers.size()) - 1;
        QAbstractButton* pButton = pBox->button(m_answers[nAnswer]);
        if (pButton)
            pButton->click();
    }

    std::vector<QMessageBox::StandardButton> m_answers;
    QPointer<QMessageBox> m_pLast;
    QTimer m_timer;
};

// A scratch folder holding the settings file, and the settings layer's
// process-wide state started afresh as in a new process.
class CGuiEnv {
public:
    CGuiEnv()
    {
        ::setenv("VANTREL_INI", IniPath().c_str(), 1);
        ::setenv("XDG_CONFIG_HOME", m_dir.Path("config").c_str(), 1);
        // The machine's own serial ports stay out of the port search.
        std::filesystem::create_directories(m_dir.Path("sys/class/tty"));
        ::setenv("VANTREL_SYSFS", m_dir.Path("sys").c_str(), 1);
    }
    ~CGuiEnv() {}

    std::string IniPath() const { return m_dir.Path("vantrel.Ini"); }
    std::string IniText() const
    {
        QFile file(QString::fromStdString(IniPath()));
        return file.open(QIODevice::ReadOnly) ? file.readAll().toStdString() : std::string();
    }
    // A used settings file: the given "Port:" keys over the defaults, the
    // permitted versions, and COM numbers pinned to paths.
    void WriteIni(const std::string& strPortKeys, const std::string& strSupport,
                  const std::vector<std::pair<int, std::string>>& pins) const
    {
        std::string strText = "[Port:]\r\nUsedTimes=1\r\n" + strPortKeys;
        for (const char* pDefault : {"StopBit=0", "PortNum=0", "DataBit=3", "CsBit=2", "BaudRate=7", "SendType=1",
                                     "FrameLen=1024", "RepeatTimes=1", "TimeInterval=1000"}) {
            const std::string strKey = std::string(pDefault).substr(0, std::string(pDefault).find('=') + 1);
            if (("\r\n" + strPortKeys).find("\r\n" + strKey) == std::string::npos)
                strText += std::string(pDefault) + "\r\n";
        }
        strText += "[update]\r\nsupportversion=" + strSupport + "\r\n[Ports]\r\n";
        for (const auto& [nNumber, strPath] : pins)
            strText += "COM" + std::to_string(nNumber) + "=" + strPath + "\r\n";
        m_dir.Write("vantrel.Ini", strText);
    }

    CTempDir m_dir;
};

template <class T>
T* Ctrl(QWidget* pDlg, const char* pName)
{
    T* pWidget = pDlg->findChild<T*>(QString::fromLatin1(pName));
    if (!pWidget)
        qFatal("no control %s", pName);
    return pWidget;
}

inline CLogPanel* LogOf(QWidget* pDlg)
{
    return Ctrl<CLogPanel>(pDlg, "m_richLog");
}

inline QString LogText(QWidget* pDlg)
{
    return LogOf(pDlg)->toPlainText();
}

// The named control that holds the focus (an editable combo's own edit
// stands for the combo).
inline QString FocusName()
{
    for (QWidget* pWidget = QApplication::focusWidget(); pWidget; pWidget = pWidget->parentWidget()) {
        if (pWidget->objectName().startsWith(QLatin1String("m_")))
            return pWidget->objectName();
    }
    return QString();
}

inline std::unique_ptr<CLoaderDlg> ShowDialog()
{
    auto pDlg = std::make_unique<CLoaderDlg>();
    pDlg->show();
    if (!QTest::qWaitForWindowActive(pDlg.get()))
        qWarning("the dialog did not become active");
    return pDlg;
}
