#include <linux/serial.h>
#include <sys/ioctl.h>

#include "serial/posix/SystemLine.h"

void SetLowLatency(int fd)
{
    serial_struct serial {};
    if (::ioctl(fd, TIOCGSERIAL, &serial) == 0 && !(serial.flags & ASYNC_LOW_LATENCY)) {
        serial.flags |= ASYNC_LOW_LATENCY;
        ::ioctl(fd, TIOCSSERIAL, &serial);
    }
}
