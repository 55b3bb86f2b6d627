#pragma once
// Why a serial device did not open, in words an operator can act on.
#include <string>

#include <sys/types.h>

// The reason for an open(2) that failed with nErrno on strPath.
std::string OpenErrorReason(const std::string& strPath, int nErrno);
// The reason for a device that another program holds; names that program
// where /proc shows it.
std::string HeldByReason(const std::string& strPath, dev_t device);
// Why the open descriptor fd must not be used as a serial port (the console,
// our own terminal, a pseudo-terminal master, not a tty at all); empty when
// it may. Asked before any line setting is touched.
std::string NotSerialReason(int fd);
