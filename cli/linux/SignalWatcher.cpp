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

void CSignalWatcher::Watch()
{
    const sigset_t set = TerminationSignals();
    const timespec tick {0, 50 * 1000 * 1000};
    while (!m_bDone) {
        if (sigtimedwait(&set, nullptr, &tick) >= 0)
            Signalled();
    }
}

void CSignalWatcher::WakePendingQuestion()
{
    if (m_fdInterrupt[1] >= 0)
        (void)!::write(m_fdInterrupt[1], "!", 1);
}

void CSignalWatcher::QuitNow()
{
    // _exit skips the exit handlers: the terminal is put back here.
    RestoreConsole();
    ::_exit(m_nExitStatus);
}
