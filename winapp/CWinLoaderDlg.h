#pragma once
// The Win32 dialog: a thin view over the dialog model on the template
// IDD_VANTREL_DIALOG. It turns the controls into the model's plain values
// and back, hands the operator's input to the model, and carries out what
// the model asks of a view. The engine's reports come over from its worker
// through a CReportQueue, whose flush is a message posted to the window.
#include <atomic>
#include <string>
#include <vector>

#include <windows.h>
#include <shellapi.h>

#include "dialog/CDialogModel.h"
#include "dialog/CReportQueue.h"

// Posted to the dialog when the engine's reports wait in the queue.
inline constexpr UINT kFlushReportsMessage = WM_APP + 1;

class CWinLoaderDlg : private CDialogView {
public:
    CWinLoaderDlg();
    ~CWinLoaderDlg() override;
    CWinLoaderDlg(const CWinLoaderDlg&) = delete;
    CWinLoaderDlg& operator=(const CWinLoaderDlg&) = delete;

    // Shows the dialog and returns once it has closed (on the thread that
    // made this object: the thread's messages drive it).
    INT_PTR DoModal(HINSTANCE hInstance, HWND hParent = nullptr);
    // The dialog window while it is open, else null; any thread may ask.
    HWND Window() const { return m_hWnd.load(); }
    CDialogModel& Model() { return m_model; }

private:
    static INT_PTR CALLBACK DialogProc(HWND hWnd, UINT nMessage, WPARAM wParam, LPARAM lParam);
    INT_PTR OnMessage(UINT nMessage, WPARAM wParam, LPARAM lParam);
    void OnInitDialog();
    bool OnCommand(int nId, int nCode);
    void OnDropFiles(HDROP hDrop);
    void ShowAbout();
    HWND Control(EControl eControl) const;

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

    HINSTANCE m_hInstance = nullptr;
    std::atomic<HWND> m_hWnd {nullptr};
    const DWORD m_nUiThread;
    // The queue outlives the model and its engine: a finishing worker still
    // reports to it.
    CReportQueue m_reports;
    CDialogModel m_model;
};
