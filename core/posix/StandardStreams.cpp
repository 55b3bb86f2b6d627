#include "core/StandardStreams.h"

#include <csignal>

#include <fcntl.h>
#include <unistd.h>

void OpenStandardStreams()
{
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1)
            continue;
        // open() takes the lowest free descriptor, which is this one.
        const int nNull = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        if (nNull >= 0 && nNull != fd) {
            ::dup2(nNull, fd);
            ::close(nNull);
        }
    }
}

void IgnoreBrokenPipes()
{
    std::signal(SIGPIPE, SIG_IGN);
}
