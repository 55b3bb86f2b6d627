// The console on POSIX: a terminal, its descriptors and poll.
#include "cli/Console.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

std::vector<std::string> CommandLineArguments(int argc, char** argv)
{
    return std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc);
}

// A terminal's settings are left as they are: nothing to put back.
void PrepareConsole() {}

namespace {

int StreamFd(EStdStream stream)
{
    return stream == EStdStream::kInput ? STDIN_FILENO : stream == EStdStream::kOutput ? STDOUT_FILENO : STDERR_FILENO;
}

}  // namespace

void RestoreConsole() {}

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
