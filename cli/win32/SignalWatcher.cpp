// Ctrl-C on Windows: the console calls its control handler on a thread of
// its own, so no watcher thread is needed.
#include "cli/CSignalWatcher.h"

#include "cli/Console.h"

#include <atomic>
#include <cstdlib>

#include <windows.h>

namespace {

// The console's handler is process-wide by nature; it reaches the one
// watcher through this pointer, set for the watcher's life only.
std::atomic<CSignalWatcher*> g_pWatcher {nullptr};

BOOL WINAPI OnConsoleControl(DWORD nEvent)
{
    switch (nEvent) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT: {
        CSignalWatcher* pWatcher = g_pWatcher.load();
        if (pWatcher == nullptr)
            return FALSE;
        pWatcher->Signalled();
        return TRUE;
    }
    default: return FALSE;
    }
}

}  // namespace

void BlockTerminationSignals() {}

CSignalWatcher::CSignalWatcher(int nExitStatus) : m_nExitStatus(nExitStatus)
{
    g_pWatcher.store(this);
    ::SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

CSignalWatcher::~CSignalWatcher()
{
    ::SetConsoleCtrlHandler(OnConsoleControl, FALSE);
    g_pWatcher.store(nullptr);
}

void CSignalWatcher::WakePendingQuestion() {}

void CSignalWatcher::QuitNow()
{
    std::fflush(nullptr);
    // ExitProcess skips the exit handlers: the console is put back here.
    RestoreConsole();
    ::ExitProcess(static_cast<UINT>(m_nExitStatus));
}

void CSignalWatcher::Watch() {}
