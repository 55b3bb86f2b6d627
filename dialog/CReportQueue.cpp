#include "dialog/CReportQueue.h"

#include <vector>

#include "dialog/CDialogModel.h"

CReportQueue::CReportQueue(SHooks hooks) : m_hooks(std::move(hooks)) {}

CReportQueue::~CReportQueue()
{
    Detach();
}

void CReportQueue::SetModel(CDialogModel* pModel)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_pModel = pModel;
}

void CReportQueue::PostPending()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_bDetached || m_queue.empty() || m_bFlushPosted)
            return;
        m_bFlushPosted = true;
    }
    if (!m_hooks.postFlush()) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bFlushPosted = false;
    }
}

void CReportQueue::Post(SReport report)
{
    const bool bUiThread = m_hooks.isUiThread();
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_bDetached)
            return;
        m_queue.push_back(std::move(report));
        if (!bUiThread) {
            if (m_bFlushPosted)
                return;
            m_bFlushPosted = true;
        }
    }
    if (bUiThread) {
        Flush();
    } else if (!m_hooks.postFlush()) {
        // Nowhere to post to yet: PostPending asks once there is.
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bFlushPosted = false;
    }
}

void CReportQueue::Flush()
{
    // One batch at a time is taken from the queue; what follows stays queued,
    // so a flush nested in a box's event loop keeps the order too.
    for (;;) {
        std::vector<CLogPiece> pieces;
        SReport report {EKind::kLog, {}, 0, nullptr};
        int nSteps = 0;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_bDetached)
                m_queue.clear();
            if (m_queue.empty() || !m_pModel) {
                m_bFlushPosted = false;
                return;
            }
            while (!m_queue.empty() && m_queue.front().kind == EKind::kLog) {
                pieces.push_back({std::move(m_queue.front().strText), m_queue.front().n});
                m_queue.pop_front();
            }
            if (pieces.empty()) {
                report = std::move(m_queue.front());
                m_queue.pop_front();
                nSteps = 1;
                while (report.kind == EKind::kStepProgress && !m_queue.empty() &&
                       m_queue.front().kind == EKind::kStepProgress) {
                    ++nSteps;
                    m_queue.pop_front();
                }
            }
        }
        if (!pieces.empty())
            m_pModel->AppendLogs(pieces);
        else
            Apply(report, nSteps);
    }
}

void CReportQueue::Apply(const SReport& report, int nSteps)
{
    switch (report.kind) {
    case EKind::kLog: break;
    case EKind::kBeginProgress: m_pModel->BeginProgress(report.n); break;
    case EKind::kStepProgress: m_pModel->StepProgress(nSteps); break;
    case EKind::kShowProgress: m_pModel->ShowProgress(report.n != 0); break;
    case EKind::kRunState: m_pModel->OnRunStateChanged(report.n != 0); break;
    case EKind::kPortState: m_pModel->OnPortButtonState(report.n != 0); break;
    case EKind::kBox:
    case EKind::kQuestion: {
        const bool bYes = ShowBox(report.kind, report.strText);
        std::lock_guard<std::mutex> lock(m_mutex);
        report.answer->bYes = bYes;
        report.answer->bDone = true;
        m_cvAnswered.notify_all();
        break;
    }
    }
}

bool CReportQueue::ShowBox(EKind kind, const std::string& strText)
{
    if (kind == EKind::kQuestion)
        return m_pModel->AskYesNo(strText);
    m_pModel->ShowMessageBox(strText);
    return true;
}

bool CReportQueue::Ask(EKind kind, const std::string& strText)
{
    if (m_hooks.isUiThread()) {
        Flush();  // what was logged before the box shows before it
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_bDetached || !m_pModel)
                return false;
        }
        return ShowBox(kind, strText);
    }
    auto answer = std::make_shared<SAnswer>();
    Post({kind, strText, 0, answer});
    std::unique_lock<std::mutex> lock(m_mutex);
    m_cvAnswered.wait(lock, [&] { return answer->bDone || m_bDetached; });
    return answer->bDone && answer->bYes;
}

void CReportQueue::Detach()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_bDetached = true;
    m_queue.clear();
    m_cvAnswered.notify_all();
}

void CReportQueue::AppendLog(const std::string& strText, int nColour)
{
    if (!strText.empty())
        Post({EKind::kLog, strText, nColour, nullptr});
}

void CReportQueue::ShowMessageBox(const std::string& strText)
{
    Ask(EKind::kBox, strText);
}

bool CReportQueue::AskYesNo(const std::string& strText)
{
    return Ask(EKind::kQuestion, strText);
}

void CReportQueue::BeginProgress(int nCount)
{
    Post({EKind::kBeginProgress, {}, nCount, nullptr});
}

void CReportQueue::StepProgress()
{
    Post({EKind::kStepProgress, {}, 0, nullptr});
}

void CReportQueue::ShowProgress(bool bShow)
{
    Post({EKind::kShowProgress, {}, bShow ? 1 : 0, nullptr});
}

void CReportQueue::OnRunStateChanged(bool bRunning)
{
    Post({EKind::kRunState, {}, bRunning ? 1 : 0, nullptr});
}

void CReportQueue::OnPortButtonState(bool bOpen)
{
    Post({EKind::kPortState, {}, bOpen ? 1 : 0, nullptr});
}
