// The part of the signal watcher that is the same on every system: which
// function a signal calls, and when it ends the program instead.
#include "cli/CSignalWatcher.h"

void CSignalWatcher::OnFirstSignal(std::function<void()> onFirst)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_onFirst = std::move(onFirst);
}

void CSignalWatcher::BeforeQuitting(std::function<void()> onQuit)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_onQuit = std::move(onQuit);
}

void CSignalWatcher::Signalled()
{
    // Held while onFirst runs, so that OnFirstSignal(nullptr) returns only
    // once nothing the function uses is still in use here.
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_nCount.fetch_add(1) > 0 || !m_onFirst) {
        if (m_onQuit)
            m_onQuit();
        QuitNow();
    }
    // The pending question first: it may hold what onFirst needs.
    WakePendingQuestion();
    m_onFirst();
}
