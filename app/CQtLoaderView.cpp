#include "app/CQtLoaderView.h"

#include <vector>

#include <QThread>

#include "app/CLoaderDlg.h"

CQtLoaderView::CQtLoaderView(CLoaderDlg& dlg) : m_dlg(dlg) {}

CQtLoaderView::~CQtLoaderView()
{
    Detach();
}

bool CQtLoaderView::OnUiThread() const
{
    return QThread::currentThread() == thread();
}

void CQtLoaderView::Post(CEvent event)
{
    const bool bUiThread = OnUiThread();
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_bDetached)
            return;
        m_queue.push_back(std::move(event));
        if (!bUiThread) {
            if (m_bFlushPosted)
                return;
            m_bFlushPosted = true;
        }
    }
    if (bUiThread)
        Flush();
    else  // by name: nothing of ours crosses to the UI thread outside m_mutex
        QMetaObject::invokeMethod(this, "Flush", Qt::QueuedConnection);
}

void CQtLoaderView::Flush()
{
    // One batch at a time is taken from the queue; what follows stays queued,
    // so a flush nested in a box's event loop keeps the order too.
    for (;;) {
        std::vector<CLogPiece> pieces;
        CEvent event {EKind::kLog, {}, 0, nullptr};
        int nSteps = 0;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_bDetached || m_queue.empty()) {
                m_queue.clear();
                m_bFlushPosted = false;
                return;
            }
            while (!m_queue.empty() && m_queue.front().kind == EKind::kLog) {
                pieces.push_back({std::move(m_queue.front().strText), m_queue.front().n});
                m_queue.pop_front();
            }
            if (pieces.empty()) {
                event = std::move(m_queue.front());
                m_queue.pop_front();
                nSteps = 1;
                while (event.kind == EKind::kStepProgress && !m_queue.empty() &&
                       m_queue.front().kind == EKind::kStepProgress) {
                    ++nSteps;
                    m_queue.pop_front();
                }
            }
        }
        if (!pieces.empty())
            m_dlg.Model().AppendLogs(pieces);
        else
            Apply(event, nSteps);
    }
}

void CQtLoaderView::Apply(const CEvent& event, int nSteps)
{
    switch (event.kind) {
    case EKind::kLog: break;
    case EKind::kBeginProgress: m_dlg.Model().BeginProgress(event.n); break;
    case EKind::kStepProgress: m_dlg.Model().StepProgress(nSteps); break;
    case EKind::kShowProgress: m_dlg.Model().ShowProgress(event.n != 0); break;
    case EKind::kRunState: m_dlg.Model().OnRunStateChanged(event.n != 0); break;
    case EKind::kPortState: m_dlg.Model().OnPortButtonState(event.n != 0); break;
    case EKind::kBox:
    case EKind::kQuestion: {
        const bool bYes = ShowBox(event.kind, event.strText);
        std::lock_guard<std::mutex> lock(m_mutex);
        event.answer->bYes = bYes;
        event.answer->bDone = true;
        m_cvAnswered.notify_all();
        break;
    }
    }
}

bool CQtLoaderView::ShowBox(EKind kind, const std::string& strText)
{
    if (kind == EKind::kQuestion)
        return m_dlg.Model().AskYesNo(strText);
    m_dlg.Model().ShowMessageBox(strText);
    return true;
}

bool CQtLoaderView::Ask(EKind kind, const std::string& strText)
{
    if (OnUiThread()) {
        Flush();  // what was logged before the box shows before it
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_bDetached)
                return false;
        }
        return ShowBox(kind, strText);
    }
    auto answer = std::make_shared<CAnswer>();
    Post({kind, strText, 0, answer});
    std::unique_lock<std::mutex> lock(m_mutex);
    m_cvAnswered.wait(lock, [&] { return answer->bDone || m_bDetached; });
    return answer->bDone && answer->bYes;
}

void CQtLoaderView::Detach()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_bDetached = true;
    m_queue.clear();
    m_cvAnswered.notify_all();
}

void CQtLoaderView::AppendLog(const std::string& strText, int nColour)
{
    if (!strText.empty())
        Post({EKind::kLog, strText, nColour, nullptr});
}

void CQtLoaderView::ShowMessageBox(const std::string& strText)
{
    Ask(EKind::kBox, strText);
}

bool CQtLoaderView::AskYesNo(const std::string& strText)
{
    return Ask(EKind::kQuestion, strText);
}

void CQtLoaderView::BeginProgress(int nCount)
{
    Post({EKind::kBeginProgress, {}, nCount, nullptr});
}

void CQtLoaderView::StepProgress()
{
    Post({EKind::kStepProgress, {}, 0, nullptr});
}

void CQtLoaderView::ShowProgress(bool bShow)
{
    Post({EKind::kShowProgress, {}, bShow ? 1 : 0, nullptr});
}

void CQtLoaderView::OnRunStateChanged(bool bRunning)
{
    Post({EKind::kRunState, {}, bRunning ? 1 : 0, nullptr});
}

void CQtLoaderView::OnPortButtonState(bool bOpen)
{
    Post({EKind::kPortState, {}, bOpen ? 1 : 0, nullptr});
}
