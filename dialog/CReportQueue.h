#pragma once
// The engine's reports on their way to the dialog model. Calls come from the
// run's worker or from the UI thread; all of them reach the model on the UI
// thread, in the order they were made. Log pieces and progress steps go over
// in batches; a box or a question blocks its caller until the operator has
// answered. On the UI thread itself everything happens at once.
//
// Standard C++ only: a toolkit gives two hooks, one that asks its UI thread
// to call Flush (a posted message, a queued invocation) and one that tells
// whether the caller is on that thread.
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "download/LoaderView.h"

class CDialogModel;

class CReportQueue : public CLoaderView {
public:
    struct SHooks {
        // Asks the UI thread to call Flush soon; false when it cannot yet (no
        // window to post to), in which case PostPending asks again later.
        std::function<bool()> postFlush;
        std::function<bool()> isUiThread;
    };

    explicit CReportQueue(SHooks hooks);
    ~CReportQueue() override;
    CReportQueue(const CReportQueue&) = delete;
    CReportQueue& operator=(const CReportQueue&) = delete;

    // The model the reports reach; until it is set they wait in the queue.
    void SetModel(CDialogModel* pModel);
    // Asks for a flush when reports wait (the window the hook posts to exists now).
    void PostPending();
    // UI thread: carries out everything queued so far.
    void Flush();
    // The dialog is going away: nothing more reaches the model, and a caller
    // waiting for an answer gets "No" at once.
    void Detach();

    void AppendLog(const std::string& strText, int nColour) override;
    void ShowMessageBox(const std::string& strText) override;
    bool AskYesNo(const std::string& strText) override;
    void BeginProgress(int nCount) override;
    void StepProgress() override;
    void ShowProgress(bool bShow) override;
    void OnRunStateChanged(bool bRunning) override;
    void OnPortButtonState(bool bOpen) override;

private:
    enum class EKind { kLog, kBeginProgress, kStepProgress, kShowProgress, kRunState, kPortState, kBox, kQuestion };
    struct SAnswer {
        bool bDone = false;
        bool bYes = false;
    };
    struct SReport {
        EKind kind;
        std::string strText;
        int n = 0;
        std::shared_ptr<SAnswer> answer;
    };

    void Post(SReport report);
    bool Ask(EKind kind, const std::string& strText);
    bool ShowBox(EKind kind, const std::string& strText);
    void Apply(const SReport& report, int nSteps);

    const SHooks m_hooks;
    std::mutex m_mutex;
    std::condition_variable m_cvAnswered;
    std::deque<SReport> m_queue;
    CDialogModel* m_pModel = nullptr;
    bool m_bFlushPosted = false;
    bool m_bDetached = false;
};
