#pragma once
// Ctrl-C, SIGTERM and SIGHUP (on Windows: Ctrl-C, Ctrl-Break and the console closing)
// for the whole life of vantrel-cli. On POSIX these signals are blocked in
// every thread and taken by a thread of this object, so no system call
// anywhere is cut short by them; on Windows the console's control handler
// runs on a thread of its own anyway. Either way: before a run the first one
// ends the program at once (nothing holds a device); during a run it asks the
// run to stop before its next block and answers a pending question No; a
// second one ends the program at once, after what BeforeQuitting asks.
#include <atomic>
#include <functional>
#include <mutex>
#include <thread>

class CSignalWatcher {
public:
    // nExitStatus: what the program exits with when a signal ends it.
    explicit CSignalWatcher(int nExitStatus);
    ~CSignalWatcher();
    CSignalWatcher(const CSignalWatcher&) = delete;
    CSignalWatcher& operator=(const CSignalWatcher&) = delete;

    // From now on the first signal calls onFirst instead of ending the
    // program; an empty function restores that, and returns only after a
    // call in progress has finished.
    void OnFirstSignal(std::function<void()> onFirst);
    // Called before a signal ends the program at once (the second one, or
    // the first before OnFirstSignal): what must not be lost, such as the
    // results of the runs that have ended. An empty function removes it.
    void BeforeQuitting(std::function<void()> onQuit);
    // Readable once a signal has come: a blocking wait (the question) polls
    // it. -1 on Windows, where Ctrl-C itself ends a console read.
    int InterruptFd() const { return m_fdInterrupt[0]; }
    bool Interrupted() const { return m_nCount.load() > 0; }

    // One termination request: ends the program, or calls the function set.
    void Signalled();

private:
    // The platform's halves: the watcher thread (POSIX), waking a pending
    // question (POSIX; a Windows console read ends by Ctrl-C itself), and
    // the way out that skips what could hang.
    void Watch();
    void WakePendingQuestion();
    [[noreturn]] void QuitNow();

    const int m_nExitStatus;
    int m_fdInterrupt[2] = {-1, -1};
    std::mutex m_mutex;
    std::function<void()> m_onFirst;
    std::function<void()> m_onQuit;
    std::atomic<int> m_nCount {0};
    std::atomic<bool> m_bDone {false};
    std::thread m_thread;
};

// Blocks SIGINT, SIGTERM and SIGHUP in the calling thread and every thread it starts
// later; call first thing in main. Nothing to do on Windows.
void BlockTerminationSignals();
