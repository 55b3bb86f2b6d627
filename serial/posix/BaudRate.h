#pragma once
// Sets any bit rate on an open tty, non-standard ones included. Kept apart
// because the kernel's termios2 header clashes with the C library's termios.
bool SetBaudRate(int fd, int nBaudRate);
