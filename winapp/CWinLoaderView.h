#pragma once
// The engine's view inside the Win32 dialog. Calls may come from the run's
// worker or from the UI thread; all of them reach the dialog model on the UI
// thread, in the order they were made: the worker's calls are queued and a
// private message asks the dialog to carry them out. Log pieces and progress
// steps go over in batches; a box or a question blocks its caller until the
// operator has answered. On the UI thread itself everything happens at once.
// (The Qt dialog's CQtLoaderView keeps the same queue; only the way a flush
// reaches the UI thread differs.)
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

#include <windows.h>

#include "download/LoaderView.h"

class CDialogModel;

// Posted to the dialog when reports wait in the queue.
inline constexpr UINT kFlushReportsMessage = WM_APP + 1;

class CWinLoaderView : public CLoaderView {
public:
    // Made on the UI thread; reports reach model once a window is given.
    explicit CWinLoaderView(CDialogModel*& pModel);
    ~CWinLoaderView() override;
    CWinLoaderView(const CWinLoaderView&) = delete;
    CWinLoaderView& operator=(const CWinLoaderView&) = delete;

    // The dialog window the flush message goes to.
    void SetWindow(HWND hWnd);

    void AppendLog(const std::string& strText, int nColour) override;
    void ShowMessageBox(const std::string& strText) override;
    bool AskYesNo(const std::string& strText) override;
    void BeginProgress(int nCount) override;
    void StepProgress() override;
    void ShowProgress(bool bShow) override;
    void OnRunStateChanged(bool bRunning) override;
    void OnPortButtonState(bool bOpen) override;

    // UI thread: carries out everything queued so far.
    void Flush();
    // The window is going away: nothing more reaches the model, and a caller
    // waiting for an answer gets "No" at once.
    void Detach();

private:
    enum class EKind { kLog, kBeginProgress, kStepProgress, kShowProgress, kRunState, kPortState, kBox, kQuestion };
    struct CAnswer {
        bool bDone = false;
        bool bYes = false;
    };
    struct CEvent {
        EKind kind;
        std::string strText;
        int n = 0;
        std::shared_ptr<CAnswer> answer;
    };

    bool OnUiThread() const;
    void Post(CEvent event);
    bool Ask(EKind kind, const std::string& strText);
    bool ShowBox(EKind kind, const std::string& strText);
    void Apply(const CEvent& event, int nSteps);

    CDialogModel*& m_pModel;
    const DWORD m_nUiThread;
    HWND m_hWnd = nullptr;
    std::mutex m_mutex;
    std::condition_variable m_cvAnswered;
    std::deque<CEvent> m_queue;
    bool m_bFlushPosted = false;
    bool m_bDetached = false;
};
