#pragma once
// What every program does first, before it opens anything: a shell may start
// it with standard input, output or error closed, and a reader at the end of
// a pipe may go away.

// Opens /dev/null on each of descriptors 0, 1 and 2 that is closed, so that
// no port or file we open later takes its place: log text would otherwise be
// written into the device, or an answer read from it.
void OpenStandardStreams();

// A closed pipe on standard output or error gives a failed write (EPIPE)
// instead of killing the process: the device protocol must finish whatever
// happens to our output.
void IgnoreBrokenPipes();
