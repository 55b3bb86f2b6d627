#pragma once
// The engine's view inside the dialog. Calls may come from the run's worker
// or from the UI thread; all of them reach the dialog model on the UI thread,
// in the order they were made. Log pieces and progress steps are queued and
// carried out in batches; a box or a question blocks its caller until the
// operator has answered. On the UI thread itself everything happens at once.
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

#include <QObject>

#include "download/LoaderView.h"

class CLoaderDlg;

class CQtLoaderView : public QObject, public CLoaderView {
    Q_OBJECT
public:
    explicit CQtLoaderView(CLoaderDlg& dlg);
    ~CQtLoaderView() override;

    void AppendLog(const std::string& strText, int nColour) override;
    void ShowMessageBox(const std::string& strText) override;
    bool AskYesNo(const std::string& strText) override;
    void BeginProgress(int nCount) override;
    void StepProgress() override;
    void ShowProgress(bool bShow) override;
    void OnRunStateChanged(bool bRunning) override;
    void OnPortButtonState(bool bOpen) override;

    // UI thread: carries out everything queued so far.
    Q_INVOKABLE void Flush();
    // The dialog is going away: nothing more reaches the model, and a caller
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

    CLoaderDlg& m_dlg;
    std::mutex m_mutex;
    std::condition_variable m_cvAnswered;
    std::deque<CEvent> m_queue;
    bool m_bFlushPosted = false;
    bool m_bDetached = false;
};
