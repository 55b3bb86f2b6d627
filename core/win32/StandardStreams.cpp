// What every program does first, on Windows.
#include "core/StandardStreams.h"

#include <fcntl.h>
#include <io.h>

void OpenStandardStreams()
{
    for (int fd = 0; fd <= 2; ++fd) {
        // A descriptor with no handle behind it (-2 for one the program was
        // started without) counts as closed.
        if (::_get_osfhandle(fd) >= 0)
            continue;
        // The runtime gives the lowest free descriptor, which is this one.
        const int nNull = ::_wopen(L"NUL", (fd == 0 ? _O_RDONLY : _O_WRONLY) | _O_BINARY | _O_NOINHERIT);
        if (nNull >= 0 && nNull != fd) {
            ::_dup2(nNull, fd);
            ::_close(nNull);
        }
    }
}

void IgnoreBrokenPipes()
{
    // Windows has no SIGPIPE: a write to a closed pipe fails with an error
    // and the program goes on.
}
