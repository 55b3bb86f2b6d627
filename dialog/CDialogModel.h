#pragma once
// The dialog without its widgets: what the operator's presses do, what the
// controls are read as, which texts and states follow, the terminal's timers,
// the log's limit, and the settings kept between runs. It owns the engine and
// the settings file; a view owns the model and drives it from its handlers.
//
// Threads. Everything here runs on the view's UI thread. The engine reports
// from its run's worker thread through the CLoaderView the view gives the
// model: that object must carry each call over to the UI thread, in the
// order the calls were made, and there call the report function of the same
// name below (Qt: a queued invocation; Win32: a message posted to the dialog
// window). Runs of log pieces may go over as one AppendLogs call, and runs of
// progress steps as one StepProgress call. ShowMessageBox and AskYesNo block
// the calling worker until the answer is back. Called on the UI thread
// itself, the object first carries out what is queued, then the call. It must
// outlive the model, and before the view goes away it must stop delivering
// (a waiting question then answers "No") and the view must call Shutdown.
//
// What the buttons do, by state (idle; port held by the port button; a run
// in progress; a run asked to stop and still finishing):
//   start     idle, port held: reads the controls (a bad edit gets its box and
//             the focus, and the run still starts with what was read) and
//             starts a run; running: asks the run to stop; stopping: nothing.
//             The run's reports turn the text to kCancelText and back.
//   port      idle: reads the controls (a bad edit stops here), opens the
//             chosen port, saves the settings, kClosePortText; port held:
//             closes it, kOpenPortText; running, stopping: nothing.
//   send      sends the send edit's text once, as code page 936 or as
//             hexadecimal pairs by the send-mode box; nothing while running.
//   receive   switches polling on or off (kStopReceiveText / kReceiveText):
//             on, the receive timer runs with the interval edit's period (at
//             least kMinTimerMs); each tick appends what has arrived in black
//             (nothing while a run holds the port) and starts the period again
//             from the interval as it is then.
//   auto send switches repeated sending on or off (kStopSendText /
//             kAutoSendText): on, it sends at once and then on every tick.
//   close     idle: saves and closes; running: asks kStopAndCloseQuestion
//             (default No); Yes stops the run and closes once it has finished,
//             the window served meanwhile. A run that ends while the question
//             is up takes the question down and closes, as Yes would have.
#include <string>
#include <vector>

#include "dialog/DialogControls.h"
#include "dialog/DialogLog.h"
#include "dialog/DialogView.h"
#include "download/CLoader.h"
#include "settings/ProfileFile.h"
#include "settings/Settings.h"

// The shortest period the terminal's timers use; a period of 0 would spin.
inline constexpr int kMinTimerMs = 10;
// How often a close waiting for a stopped run looks again.
inline constexpr int kCloseCheckMs = 50;

// The terminal timers' period for an interval edit's value.
int TimerPeriod(int nTimeInterval);

class CDialogModel {
public:
    // reports: the view's object that carries the engine's calls to the UI
    // thread; only kept here, not called before InitDialog.
    CDialogModel(CDialogView& view, CLoaderView& reports);
    CDialogModel(const CDialogModel&) = delete;
    CDialogModel& operator=(const CDialogModel&) = delete;

    // The controls exist: the port search, the settings file, the first values.
    void InitDialog();
    // The window goes away without a close (its reports no longer delivered):
    // stops a run and waits for it, and unless a close has done so already,
    // saves the settings and the port map and releases the port.
    void Shutdown();

    // The operator.
    void OnStartButton();  // also the Enter key outside the send edit
    void OnSelectFile();
    void OnOpenClosePort();
    void OnAutoSend();
    void OnReceive();
    void OnManualSend();  // also the Enter key in the send edit
    void OnClear();
    // Any edit's text changed, by the operator or by the program.
    void OnEditChanged(EControl eEdit);
    // A burn-type radio was clicked: the chip-type check follows it.
    void OnBurnTypeClicked(int nBurnType);
    // Files dropped on the dialog: one local file of a format the readers
    // take becomes the path; anything else is refused in the log. A raw binary file, chosen or dropped, has
    // its load address asked for (see AskLoadAddress).
    void OnDropFiles(const std::vector<CDroppedItem>& items);
    // Esc and the close box.
    void OnCloseRequest();
    void OnTimer(ETimer eTimer);

    // The engine's reports, on the UI thread.
    void AppendLogs(const std::vector<CLogPiece>& pieces);
    void BeginProgress(int nCount);
    void StepProgress(int nSteps);
    void ShowProgress(bool bShow);
    void OnRunStateChanged(bool bRunning);
    void OnPortButtonState(bool bOpen);
    void ShowMessageBox(const std::string& strText);
    bool AskYesNo(const std::string& strText);

    // Moves values between the controls and the model: true reads the
    // controls (stopping at the first edit without an integer, which gets a
    // box and the focus), false shows the values in the controls.
    bool UpdateData(bool bSaveAndValidate = true);

    const CDialogValues& Values() const { return m_values; }
    const CLogContent& Log() const { return m_log; }
    CLoader& Loader() { return m_loader; }

private:
    // Reads every control without a box: an edit without an integer keeps
    // its value, the others are read all the same.
    void ReadControlsQuietly();
    CSettings CurrentSettings() const;
    void RefreshPortItems();
    // For a raw binary file: asks where it loads, the last answer offered,
    // until the answer is an address or the box is cancelled (the address
    // known before stays then). An answer is kept in the settings file.
    void AskLoadAddress(const std::string& strPath);
    void OnReceiveTimer();
    void OnAutoSendTimer();
    void OnCloseTimer();
    void FinishClose();
    // Saves the settings and the port map, closes the port button's port.
    void OnDestroy();

    CDialogView& m_view;
    CLoaderView& m_reports;
    CDialogValues m_values;
    CSettings m_settings;
    CLogContent m_log;
    int m_nProgressMax = 100;
    int m_nProgressPos = 0;
    bool m_bExchanging = false;
    bool m_bReceiving = false;
    bool m_bAutoSending = false;
    bool m_bClosing = false;
    bool m_bAskingToClose = false;
    bool m_bRunEndedWhileAsking = false;
    bool m_bDestroyed = false;
    CLoader m_loader;
    // The settings file this dialog reads and writes.
    CProfileFile m_profile;
};
