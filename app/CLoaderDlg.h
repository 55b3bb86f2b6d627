#pragma once
// The desktop dialog: a thin view over the engine. It lays out the
// controls, exchanges their values with its members, hands the engine a
// snapshot of them when the operator acts, and shows what the engine reports.
#include <string>
#include <vector>

#include <QDialog>

#include "app/CQtLoaderView.h"
#include "app/LogPanel.h"
#include "app/PortComboBox.h"
#include "settings/Settings.h"
#include "download/CLoader.h"
#include "settings/ProfileFile.h"

class QCheckBox;
class QComboBox;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QRadioButton;
class QScrollArea;
class QTimer;
class QUrl;

class CLoaderDlg : public QDialog {
    Q_OBJECT
public:
    explicit CLoaderDlg(QWidget* pParent = nullptr);
    ~CLoaderDlg() override;

    // Moves values between the controls and the members: true reads the
    // controls (stopping at the first edit without an integer, which gets a
    // box and the focus), false writes the members into the controls.
    bool UpdateData(bool bSaveAndValidate = true);

    // The log and the progress bar, on the UI thread.
    void AppendLog(const std::string& strText, int nColour);
    void AppendLogs(const std::vector<CLogPiece>& pieces);
    void BeginProgress(int nCount);
    void StepProgress(int nSteps = 1);
    void ShowProgress(bool bShow);
    // The start button's and the port button's texts.
    void OnRunStateChanged(bool bRunning);
    void OnPortButtonState(bool bOpen);
    // Modal boxes with the program's caption.
    void ShowMessage(const std::string& strText);
    bool AskQuestion(const std::string& strText);

    // What the engine reports through; any thread may call it.
    CLoaderView& View() { return m_view; }
    // The executable's name without extension.
    static QString BoxCaption();

    // The start button, also the Enter key.
    void OnOK();
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
    void InitDialog();
    void OnSelectFile();
    // One local file dropped becomes the path; anything else is refused in the log.
    void OnDropFiles(const QList<QUrl>& urls);
    void OnOpenClosePort();
    void OnAutoSend();
    void OnAutoSendTimer();
    void OnReceive();
    void OnTimer();
    void OnManualSend();
    void OnClear();
    void OnParamChange();
    void OnBurnTypeFirmware();
    void OnBurnTypeProgram();
    // The question before a close stops a run; true for "Yes".
    bool AskToStopAndClose();
    void OnCloseTimer();
    void FinishClose();
    // Saves the settings and the port map, closes the port button's port.
    void OnDestroy();

    void ApplySettings(const CSettings& settings);
    CSettings CurrentSettings() const;
    // Texts of the line settings: the combos' own texts for a run, the
    // selected items' texts for the port button.
    CPortChoice PortChoice(bool bTypedTexts) const;
    void RefreshPortItems();
    int TimerInterval() const;
    bool ReadInt(QLineEdit* pEdit, int& nValue, bool bReport);
    // The reading half of UpdateData; see ReadControlsQuietly.
    bool ReadControls(bool bReport);
    // Reads every control without a box: an edit without an integer keeps
    // its member's value, the others are read all the same.
    void ReadControlsQuietly();

    QScrollArea* m_scroll = nullptr;
    QWidget* m_pPage = nullptr;  // holds every control
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

    // The exchanged members.
    std::string m_strFilePath;
    int m_nFrameLen = 1024;
    int m_nTimeInterval = 1000;
    int m_nRepeatTimes = 1;
    std::string m_strSend;
    int m_nVerMajor = 0;
    int m_nVerMinor = 0;
    int m_nVerPatch = 0;
    int m_nBurnType = 0;
    int m_bChipTypeCheck = 0;

    CSettings m_settings;
    bool m_bExchanging = false;
    bool m_bReceiving = false;
    bool m_bAutoSending = false;
    bool m_bClosing = false;
    bool m_bAskingToClose = false;
    bool m_bDestroyed = false;

    // The view outlives the engine: a finishing worker still reports to it.
    CQtLoaderView m_view;
    CLoader m_loader;
    // The settings file this dialog reads and writes.
    CProfileFile m_profile;
};
