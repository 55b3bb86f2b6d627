#include "cli/CSignalWatcher.h"

#include "cli/Console.h"

#include <csignal>
#include <ctime>

#include <fcntl.h>
#include <unistd.h>

namespace {

sigset_t TerminationSignals()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    // A closed terminal or SSH session: the boards stop before their next
    // block as on Ctrl-C, not in the middle of a write.
    sigaddset(&set, SIGHUP);
    return set;
}

}  // namespace

void BlockTerminationSignals()
{
    const sigset_t set = TerminationSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

CSignalWatcher::CSignalWatcher(int nExitStatus) : m_nExitStatus(nExitStatus)
{
    if (::pipe2(m_fdInterrupt, O_CLOEXEC) != 0)
        m_fdInterrupt[0] = m_fdInterrupt[1] = -1;
    m_thread = std::thread([this] { Watch(); });
}

CSignalWatcher::~CSignalWatcher()
{
    m_bDone = true;
    m_thread.join();
    for (int fd : m_fdInterrupt) {
        if (fd >= 0)
            ::close(fd);
    }
}

void CSignalWatcher::OnFirstSignal(std::function<void()> onFirst)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_onFirst = std::move(onFirst);
}

void CSignalWatcher::Watch()
{
    const sigset_t set = TerminationSignals();
    const timespec tick {0, 50 * 1000 * 1000};
    while (!m_bDone) {
        if (sigtimedwait(&set, nullptr, &tick) >= 0)
            Signalled();
    }
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
        // _exit skips the exit handlers: the terminal is put back here.
        RestoreConsole();
        ::_exit(m_nExitStatus);
    }
    // The pending question first: it may hold what onFirst needs.
    if (m_fdInterrupt[1] >= 0)
        (void)!::write(m_fdInterrupt[1], "!", 1);
    m_onFirst();
}
