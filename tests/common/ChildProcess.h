#pragma once
// Runs one of our programs as a child process with its output captured, for
// end-to-end tests: read its output as it comes, signal it, wait for it.
#include <chrono>
#include <csignal>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

// The exit status a child still running has.
constexpr int kChildRunning = -2;

// Waits for pid to end, taking its output with pump(ms) meanwhile and all
// of it after; nExit (kChildRunning until then) becomes its exit status,
// 128 + the signal when one killed it. -1 when it did not end in time.
template <class TPump>
int WaitForChild(pid_t pid, int& nExit, int nTimeoutMs, TPump pump)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(nTimeoutMs);
    while (nExit == kChildRunning) {
        int nStatus = 0;
        if (::waitpid(pid, &nStatus, WNOHANG) == pid) {
            nExit = WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : 128 + WTERMSIG(nStatus);
            break;
        }
        if (std::chrono::steady_clock::now() > deadline)
            return -1;
        pump(20);
    }
    while (pump(0)) {
    }
    return nExit;
}

// Where the child's standard streams go when not to the usual places
// (input from /dev/null, output and error captured): a path to open (a
// pseudo-terminal, a FIFO), or closed, as a shell's "<&-" leaves them.
struct CChildStreams {
    std::string strInputPath = "/dev/null";
    std::string strOutputPath;  // empty: captured
    std::string strErrorPath;   // empty: captured
    bool bCloseInput = false;
    bool bInputPipe = false;  // a pipe the test writes (WriteInput) and closes (CloseInput)
    bool bCloseOutput = false;
    bool bCloseError = false;
};

class CChildProcess {
public:
    // Starts strProgram with the arguments; standard input is /dev/null.
    CChildProcess(const std::string& strProgram, const std::vector<std::string>& args)
        : CChildProcess(strProgram, args, CChildStreams())
    {}
    CChildProcess(const std::string& strProgram, const std::vector<std::string>& args, const CChildStreams& streams)
    {
        int outPipe[2] = {-1, -1};
        int errPipe[2] = {-1, -1};
        int inPipe[2] = {-1, -1};
        if (::pipe2(outPipe, O_CLOEXEC) != 0 || ::pipe2(errPipe, O_CLOEXEC) != 0 ||
            (streams.bInputPipe && ::pipe2(inPipe, O_CLOEXEC) != 0))
            return;
        std::vector<std::string> argv {strProgram};
        argv.insert(argv.end(), args.begin(), args.end());
        std::vector<char*> pointers;
        for (std::string& arg : argv)
            pointers.push_back(arg.data());
        pointers.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        if (streams.bCloseInput)
            posix_spawn_file_actions_addclose(&actions, STDIN_FILENO);
        else if (streams.bInputPipe)
            posix_spawn_file_actions_adddup2(&actions, inPipe[0], STDIN_FILENO);
        else
            posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, streams.strInputPath.c_str(), O_RDWR, 0);
        if (streams.bCloseOutput)
            posix_spawn_file_actions_addclose(&actions, STDOUT_FILENO);
        else if (!streams.strOutputPath.empty())
            posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, streams.strOutputPath.c_str(), O_WRONLY, 0);
        else
            posix_spawn_file_actions_adddup2(&actions, outPipe[1], STDOUT_FILENO);
        if (streams.bCloseError)
            posix_spawn_file_actions_addclose(&actions, STDERR_FILENO);
        else if (!streams.strErrorPath.empty())
            posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, streams.strErrorPath.c_str(), O_WRONLY, 0);
        else
            posix_spawn_file_actions_adddup2(&actions, errPipe[1], STDERR_FILENO);
        if (::posix_spawn(&m_pid, strProgram.c_str(), &actions, nullptr, pointers.data(), environ) != 0)
            m_pid = -1;
        posix_spawn_file_actions_destroy(&actions);
        ::close(outPipe[1]);
        ::close(errPipe[1]);
        if (streams.bInputPipe) {
            ::close(inPipe[0]);
            m_in = inPipe[1];
        }
        m_out = outPipe[0];
        m_err = errPipe[0];
    }
    ~CChildProcess()
    {
        if (m_pid > 0 && m_nExit == kChildRunning) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, nullptr, 0);
        }
        CloseInput();
        if (m_out >= 0)
            ::close(m_out);
        if (m_err >= 0)
            ::close(m_err);
    }
    CChildProcess(const CChildProcess&) = delete;
    CChildProcess& operator=(const CChildProcess&) = delete;

    bool Started() const { return m_pid > 0; }
    // Stops reading standard output, as "| head" does once it has its lines.
    void CloseOutput()
    {
        if (m_out >= 0)
            ::close(m_out);
        m_out = -1;
    }
    void Signal(int nSignal) const { ::kill(m_pid, nSignal); }
    // With bInputPipe: writes to the child's standard input, and ends it.
    bool WriteInput(const std::string& strText) const
    {
        return m_in >= 0 && ::write(m_in, strText.data(), strText.size()) == static_cast<ssize_t>(strText.size());
    }
    void CloseInput()
    {
        if (m_in >= 0)
            ::close(m_in);
        m_in = -1;
    }

    // Reads output until strText has appeared on standard output, or the
    // time is up; true when it appeared.
    bool WaitForOutput(const std::string& strText, int nTimeoutMs = 10000)
    {
        return WaitForText(m_strOut, strText, nTimeoutMs);
    }
    // The same on standard error.
    bool WaitForError(const std::string& strText, int nTimeoutMs = 10000)
    {
        return WaitForText(m_strErr, strText, nTimeoutMs);
    }
    // Waits for the end and gives the exit status (128 + signal when killed);
    // -1 when it did not end in time.
    int Wait(int nTimeoutMs = 30000)
    {
        return WaitForChild(m_pid, m_nExit, nTimeoutMs, [this](int nPumpMs) { return Pump(nPumpMs); });
    }
    const std::string& Out() const { return m_strOut; }
    const std::string& Err() const { return m_strErr; }

private:
    bool WaitForText(const std::string& strStream, const std::string& strText, int nTimeoutMs)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(nTimeoutMs);
        while (strStream.find(strText) == std::string::npos) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0 || !Pump(static_cast<int>(left.count())))
                return strStream.find(strText) != std::string::npos;
        }
        return true;
    }

    // Takes what either stream has; false once both are closed or nothing came.
    bool Pump(int nTimeoutMs)
    {
        pollfd fds[2] = {{m_out, POLLIN, 0}, {m_err, POLLIN, 0}};
        if (m_out < 0 && m_err < 0)
            return false;
        if (::poll(fds, 2, nTimeoutMs) <= 0)
            return false;
        bool bGot = false;
        int* pFds[2] = {&m_out, &m_err};
        std::string* pTexts[2] = {&m_strOut, &m_strErr};
        for (int i = 0; i < 2; ++i) {
            if (!(fds[i].revents & (POLLIN | POLLHUP)))
                continue;
            char buffer[4096];
            const ssize_t n = ::read(*pFds[i], buffer, sizeof buffer);
            if (n > 0) {
                pTexts[i]->append(buffer, static_cast<size_t>(n));
                bGot = true;
            } else {
                ::close(*pFds[i]);
                *pFds[i] = -1;
            }
        }
        return bGot || m_out >= 0 || m_err >= 0;
    }

    pid_t m_pid = -1;
    int m_in = -1;
    int m_out = -1;
    int m_err = -1;
    int m_nExit = kChildRunning;
    std::string m_strOut;
    std::string m_strErr;
};
