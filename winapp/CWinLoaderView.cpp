#include "winapp/CWinLoaderView.h"

#include <vector>

#include "dialog/CDialogModel.h"

CWinLoaderView::CWinLoaderView(CDialogModel*& pModel) : m_pModel(pModel), m_nUiThread(::GetCurrentThreadId()) {}

CWinLoaderView::~CWinLoaderView()
{
    Detach();
}

void CWinLoaderView::SetWindow(HWND hWnd)
{
    bool bPending = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_hWnd = hWnd;
        bPending = !m_queue.empty();
    }
    if (bPending && hWnd)
        ::PostMessageW(hWnd, kFlushReportsMessage, 0, 0);
}

bool CWinLoaderView::OnUiThread() const
{
    return ::GetCurrentThreadId() == m_nUiThread;
}

void CWinLoaderView::Post(CEvent event)
{
    const bool bUiThread = OnUiThread();
    HWND hWnd = nullptr;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_bDetached)
            return;
        m_queue.push_back(std::move(event));
        if (!bUiThread) {
            if (m_bFlushPosted || !m_hWnd)
                return;
            m_bFlushPosted = true;
            hWnd = m_hWnd;
        }
    }
    if (bUiThread)
        Flush();
    else
        ::PostMessageW(hWnd, kFlushReportsMessage, 0, 0);
}

void CWinLoaderView::Flush()
{
    // One batch at a time is taken from the queue; what follows stays queued,
    // so a flush nested in a box's message loop keeps the order too.
    for (;;) {
        std::vector<CLogPiece> pieces;
        CEvent event {EKind::kLog, {}, 0, nullptr};
        int nSteps = 0;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_bDetached || m_queue.empty() || !m_pModel) {
                if (m_bDetached)
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
            m_pModel->AppendLogs(pieces);
        else
            Apply(event, nSteps);
    }
}

void CWinLoaderView::Apply(const CEvent& event, int nSteps)
{
    switch (event.kind) {
    case EKind::kLog: break;
    case EKind::kBeginProgress: m_pModel->BeginProgress(event.n); break;
    case EKind::kStepProgress: m_pModel->StepProgress(nSteps); break;
    case EKind::kShowProgress: m_pModel->ShowProgress(event.n != 0); break;
    case EKind::kRunState: m_pModel->OnRunStateChanged(event.n != 0); break;
    case EKind::kPortState: m_pModel->OnPortButtonState(event.n != 0); break;
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

bool CWinLoaderView::ShowBox(EKind kind, const std::string& strText)
{
    if (kind == EKind::kQuestion)
        return m_pModel->AskYesNo(strText);
    m_pModel->ShowMessageBox(strText);
    return true;
}

bool CWinLoaderView::Ask(EKind kind, const std::string& strText)
{
    if (OnUiThread()) {
        Flush();  // what was logged before the box shows before it
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_bDetached || !m_pModel)
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

void CWinLoaderView::Detach()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_bDetached = true;
    m_hWnd = nullptr;
    m_queue.clear();
    m_cvAnswered.notify_all();
}

void CWinLoaderView::AppendLog(const std::string& strText, int nColour)
{
    if (!strText.empty())
        Post({EKind::kLog, strText, nColour, nullptr});
}

void CWinLoaderView::ShowMessageBox(const std::string& strText)
{
    Ask(EKind::kBox, strText);
}

bool CWinLoaderView::AskYesNo(const std::string& strText)
{
    return Ask(EKind::kQuestion, strText);
}

void CWinLoaderView::BeginProgress(int nCount)
{
    Post({EKind::kBeginProgress, {}, nCount, nullptr});
}

void CWinLoaderView::StepProgress()
{
    Post({EKind::kStepProgress, {}, 0, nullptr});
}

void CWinLoaderView::ShowProgress(bool bShow)
{
    Post({EKind::kShowProgress, {}, bShow ? 1 : 0, nullptr});
}

void CWinLoaderView::OnRunStateChanged(bool bRunning)
{
    Post({EKind::kRunState, {}, bRunning ? 1 : 0, nullptr});
}

void CWinLoaderView::OnPortButtonState(bool bOpen)
{
    Post({EKind::kPortState, {}, bOpen ? 1 : 0, nullptr});
}
