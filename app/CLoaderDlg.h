#pragma once
// The desktop dialog: a thin Qt view over the dialog model. It lays out the
// controls, turns them into the model's plain values and back, hands the
// operator's input to the model, and carries out what the model asks of a view.
#include <string>
#include <vector>

#include <QDialog>

#include "app/LogPanel.h"
#include "app/PortComboBox.h"
#include "dialog/CDialogModel.h"
#include "dialog/CReportQueue.h"

class QCheckBox;
class QComboBox;
class QLineEdit;
class QMessageBox;
class QProgressBar;
class QPushButton;
class QRadioButton;
class QScrollArea;
class QTimer;
class QUrl;

class CLoaderDlg : public QDialog, private CDialogView {
    Q_OBJECT
public:
    explicit CLoaderDlg(QWidget* pParent = nullptr);
    ~CLoaderDlg() override;

    // The log, on the UI thread: the engine's pieces as they reach the model.
    void AppendLog(const std::string& strText, int nColour);

    // What the engine reports through; any thread may call it.
    CLoaderView& View() { return m_view; }
    // Where the engine's reports go once on the UI thread.
    CDialogModel& Model() { return m_model; }
    // UI thread: carries out the engine's reports waiting in the queue.
    Q_INVOKABLE void FlushQueuedReports();
    // The executable's name without extension.
    static QString BoxCaption();

    // The start button, also the Enter key.
    void accept() override;
    // Esc and the close box: a run is stopped first, the window staying responsive.
    void reject() override;

protected:
    void contextMenuEvent(QContextMenuEvent* pEvent) override;
    // Enter in the send edit, and files dropped on the path edit.
    bool eventFilter(QObject* pObject, QEvent* pEvent) override;
    void dragEnterEvent(QDragEnterEvent* pEvent) override;
    void dropEvent(QDropEvent* pEvent) override;

private:
    void CreateControls();
    // The window's size: the page's, or what a smaller screen has room for.
    void FitToScreen();
    void OnDropFiles(const QList<QUrl>& urls);
    QWidget* Control(EControl eControl) const;
    QTimer* Timer(ETimer eTimer) const;

    // CDialogView
    CDialogControls ReadControls() const override;
    void WriteFields(const CDialogFields& fields) override;
    void SelectComboItems(const CComboSelection& combos) override;
    void SetPortItems(const std::vector<std::string>& items) override;
    void SetControlText(EControl eControl, const std::string& strText) override;
    void EnableControl(EControl eControl, bool bEnable) override;
    void FocusControl(EControl eControl) override;
    void ShowBox(const std::string& strText, EBoxIcon eIcon) override;
    bool AskQuestion(const std::string& strText, bool bDefaultYes) override;
    void DismissQuestion() override;
    bool ChooseFile(const std::string& strCurrent, std::string& strChosen) override;
    bool AskText(const std::string& strQuestion, const std::string& strOffered, std::string& strAnswer) override;
    void StartTimer(ETimer eTimer, int nMs) override;
    void StopTimer(ETimer eTimer) override;
    void ClearLog() override;
    void AppendToLog(const CLogAppend& append) override;
    void SetProgressRange(int nMax) override;
    void SetProgressPos(int nPos) override;
    void ShowProgress(bool bShow) override;
    void FlushReports() override;
    void CloseWindow() override;

    QScrollArea* m_scroll = nullptr;
    QWidget* m_pPage = nullptr;          // holds every control
    QMessageBox* m_pQuestion = nullptr;  // the question AskQuestion has up
    QPushButton* m_btnStart = nullptr;
    CPortComboBox* m_cbPort = nullptr;
    QPushButton* m_btnSelectFile = nullptr;
    CLogPanel* m_richLog = nullptr;
    QProgressBar* m_progress = nullptr;
    QLineEdit* m_editFilePath = nullptr;
    QComboBox* m_cbBaudRate = nullptr;
    QComboBox* m_cbDataBits = nullptr;
    QComboBox* m_cbParity = nullptr;
    QComboBox* m_cbStopBits = nullptr;
    QPushButton* m_btnOpenPort = nullptr;
    QLineEdit* m_editFrameLen = nullptr;
    QLineEdit* m_editRepeatTimes = nullptr;
    QLineEdit* m_editTimeInterval = nullptr;
    QLineEdit* m_editSend = nullptr;
    QPushButton* m_btnAutoSend = nullptr;
    QPushButton* m_btnReceive = nullptr;
    QPushButton* m_btnClear = nullptr;
    QComboBox* m_cbSendMode = nullptr;
    QPushButton* m_btnManualSend = nullptr;
    QRadioButton* m_radioFirmware = nullptr;
    QRadioButton* m_radioEmulator = nullptr;
    QRadioButton* m_radioProgram = nullptr;
    QLineEdit* m_editVerMajor = nullptr;
    QLineEdit* m_editVerMinor = nullptr;
    QLineEdit* m_editVerPatch = nullptr;
    QCheckBox* m_checkChipType = nullptr;
    QTimer* m_timerReceive = nullptr;
    QTimer* m_timerAutoSend = nullptr;
    QTimer* m_timerClose = nullptr;

    // The queue outlives the model and its engine: a finishing worker still
    // reports to it.
    CReportQueue m_view;
    CDialogModel m_model;
};
