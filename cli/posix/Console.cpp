// The console on POSIX: a terminal, its descriptors and poll.
#include "cli/Console.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

std::vector<std::string> CommandLineArguments(int argc, char** argv)
{
    return std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc);
}

namespace {

// The terminal's mode before key input, to be put back on every way out.
std::mutex g_keyMutex;
bool g_bKeyMode = false;
termios g_before {};

int StreamFd(EStdStream stream)
{
    return stream == EStdStream::kInput ? STDIN_FILENO : stream == EStdStream::kOutput ? STDOUT_FILENO : STDERR_FILENO;
}

}  // namespace

void PrepareConsole()
{
    // Only key input changes the terminal; it is put back at exit too.
    std::atexit(RestoreConsole);
}

void RestoreConsole()
{
    EndKeyInput();
}

bool BeginKeyInput()
{
    std::lock_guard<std::mutex> lock(g_keyMutex);
    termios before {};
    if (g_bKeyMode || ::isatty(STDIN_FILENO) == 0 || ::tcgetattr(STDIN_FILENO, &before) != 0)
        return g_bKeyMode;
    termios keys = before;
    // No line editing, echo or signals from keys; Ctrl-S and Ctrl-Q are keys
    // too, and Enter stays a carriage return. Output is left as it was.
    keys.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ISIG | IEXTEN);
    keys.c_iflag &= ~static_cast<tcflag_t>(IXON | ICRNL | INLCR | IGNCR);
    keys.c_cc[VMIN] = 1;
    keys.c_cc[VTIME] = 0;
    if (::tcsetattr(STDIN_FILENO, TCSANOW, &keys) != 0)
        return false;
    g_before = before;
    g_bKeyMode = true;
    return true;
}

void EndKeyInput()
{
    std::lock_guard<std::mutex> lock(g_keyMutex);
    if (!g_bKeyMode)
        return;
    ::tcsetattr(STDIN_FILENO, TCSANOW, &g_before);
    g_bKeyMode = false;
}

EInputRead ReadInput(int nTimeoutMs, std::string& strInput)
{
    pollfd pfd {STDIN_FILENO, POLLIN, 0};
    const int nReady = ::poll(&pfd, 1, nTimeoutMs);
    if (nReady == 0 || (nReady < 0 && errno == EINTR))
        return EInputRead::kNothing;
    if (nReady < 0)
        return EInputRead::kEnd;
    char buffer[512];
    const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
    if (n < 0 && (errno == EINTR || errno == EAGAIN))
        return EInputRead::kNothing;
    if (n <= 0)
        return EInputRead::kEnd;
    strInput.append(buffer, static_cast<size_t>(n));
    return EInputRead::kData;
}

CFilePtr OpenAppendFile(const std::string& strPath, std::string& strError)
{
    // Without waiting: a FIFO would open only once somebody reads it.
    const int fd = ::open(strPath.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0644);
    if (fd < 0) {
        strError = std::strerror(errno);
        return nullptr;
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        strError = "not a regular file";
        return nullptr;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    CFilePtr pFile(::fdopen(fd, "ab"));
    if (!pFile) {
        strError = std::strerror(errno);
        ::close(fd);
    }
    return pFile;
}

bool IsTerminal(EStdStream stream)
{
    return ::isatty(StreamFd(stream)) != 0;
}

int TerminalColumns(EStdStream stream)
{
    winsize size {};
    return ::ioctl(StreamFd(stream), TIOCGWINSZ, &size) == 0 ? size.ws_col : 0;
}

bool StandardOutputClosed()
{
    // A pipe without readers polls as an error, a hung-up terminal or a
    // socket closed by its peer as a hang-up; a file never does.
    pollfd pfd {STDOUT_FILENO, POLLOUT, 0};
    return ::poll(&pfd, 1, 0) > 0 && (pfd.revents & (POLLERR | POLLHUP)) != 0;
}

bool EnableOutputColour()
{
    if (ColourRefusedByEnvironment())
        return false;
    return IsTerminal(EStdStream::kOutput);
}

bool EnableOutputSequences()
{
    return IsTerminal(EStdStream::kOutput) && !TerminalIsDumb();
}

bool EnableProgressRedraw()
{
    return IsTerminal(EStdStream::kError);
}

bool ReadReplyLine(int fdInterrupt, std::string& strReply)
{
    strReply.clear();
    for (;;) {
        pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {fdInterrupt, POLLIN, 0}};
        const int nReady = ::poll(fds, fdInterrupt >= 0 ? 2 : 1, -1);
        if (nReady < 0 && errno == EINTR)
            continue;
        if (nReady < 0 || (fdInterrupt >= 0 && fds[1].revents))
            return false;
        char c = 0;
        const ssize_t n = ::read(STDIN_FILENO, &c, 1);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n <= 0)
            return !strReply.empty();
        if (c == '\n')
            return true;
        strReply += c;
    }
}
