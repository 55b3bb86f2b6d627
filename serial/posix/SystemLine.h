#pragma once
// What each system does its own way on an open tty; serial/<system>/ has the
// code. The portable part (serial/posix/) calls these after termios.

// Sets any bit rate on an open tty, non-standard ones included. On Linux kept
// in a file of its own because the kernel's termios2 header clashes with the
// C library's termios.
bool SetBaudRate(int fd, int nBaudRate);
// USB adapters deliver a reply in 1 ms instead of 16 with low latency on;
// a tty without the setting (a pseudo-terminal) is left as it is.
void SetLowLatency(int fd);
