// The console on POSIX: a terminal, its descriptors and poll.
#include "cli/Console.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <poll.h>
#include <unistd.h>

std::vector<std::string> CommandLineArguments(int argc, char** argv)
{
    return std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc);
}

// A terminal's settings are left as they are: nothing to put back.
void PrepareConsole() {}

void RestoreConsole() {}

bool IsTerminal(EStdStream stream)
{
    const int fd = stream == EStdStream::kInput    ? STDIN_FILENO
                   : stream == EStdStream::kOutput ? STDOUT_FILENO
                                                   : STDERR_FILENO;
    return ::isatty(fd) != 0;
}

bool EnableOutputColour()
{
    const char* pNoColour = std::getenv("NO_COLOR");
    const char* pTerm = std::getenv("TERM");
    if ((pNoColour && *pNoColour) || (pTerm && std::strcmp(pTerm, "dumb") == 0))
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
