#include "serial/posix/SystemLine.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

bool SetBaudRate(int fd, int nBaudRate)
{
    if (nBaudRate <= 0)
        return false;
    struct termios2 tio {};
    if (ioctl(fd, TCGETS2, &tio) != 0)
        return false;
    // BOTHER takes the rate as a number, so 10417 bit/s works where the
    // driver can divide its clock that finely.
    tio.c_cflag &= ~CBAUD;
    tio.c_cflag |= BOTHER;
    tio.c_ispeed = static_cast<speed_t>(nBaudRate);
    tio.c_ospeed = static_cast<speed_t>(nBaudRate);
    tio.c_cflag &= ~(CBAUD << IBSHIFT);
    tio.c_cflag |= BOTHER << IBSHIFT;
    return ioctl(fd, TCSETS2, &tio) == 0;
}
