#pragma once
// What vantrel-cli asks of the console it runs in: the only part of the
// command line that differs by platform (cli/posix, cli/win32).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

enum class EStdStream { kInput, kOutput, kError };

// The arguments after the program's name, as UTF-8 (Windows hands a
// program its arguments in the ANSI code page otherwise).
std::vector<std::string> CommandLineArguments(int argc, char** argv);
// Sets the console up for UTF-8 output; call before anything is printed.
// What it and EnableOutputColour/EnableProgressRedraw change in the console
// is put back at exit, or by RestoreConsole on a way out that skips exit.
void PrepareConsole();
void RestoreConsole();
// Whether the stream is an interactive terminal (a console on Windows).
bool IsTerminal(EStdStream stream);
// The width of the terminal the stream shows on, in columns; 0 when it is
// not a terminal or does not say.
int TerminalColumns(EStdStream stream);
// Whether standard output is known to be read by nobody (a pipe whose reader
// has gone, a terminal hung up) without writing to it.
bool StandardOutputClosed();
// Whether standard output can show colour sequences, turning them on where
// the console needs it (virtual-terminal processing on Windows). Never on a
// file or a pipe, nor against NO_COLOR or TERM=dumb.
bool EnableOutputColour();
// Whether the environment asks for no colour (NO_COLOR set to anything, or
// TERM=dumb); the one rule both systems' EnableOutputColour keep.
// Whether TERM=dumb says the terminal takes no sequences at all.
inline bool TerminalIsDumb()
{
    const char* pTerm = std::getenv("TERM");
    return pTerm && std::strcmp(pTerm, "dumb") == 0;
}
inline bool ColourRefusedByEnvironment()
{
    const char* pNoColour = std::getenv("NO_COLOR");
    return (pNoColour && *pNoColour) || TerminalIsDumb();
}
// Whether standard output takes the sequences that move the cursor and clear
// to the end of the line ("\033[3D\033[K"), turning them on where the console
// needs it: only on a terminal, never on TERM=dumb nor a legacy console.
bool EnableOutputSequences();
// Whether standard error takes the sequences that redraw the progress lines
// ("\r\033[K", "\033[1A"), turning them on where the console needs it:
// only on a terminal, and never on a console that shows them as text.
bool EnableProgressRedraw();
// One line from standard input, without its line end; false when the input
// ends first, or when fdInterrupt (-1: none) becomes readable, or the
// operator interrupts the read.
bool ReadReplyLine(int fdInterrupt, std::string& strReply);

// Standard input for the monitor. On a terminal, BeginKeyInput puts it into
// key mode: each key arrives as typed, unechoed, Ctrl-C and Ctrl-] as bytes
// rather than as a signal or not at all. EndKeyInput, RestoreConsole and the
// program's exit put back the mode it found. False, changing nothing, when
// standard input is no terminal: it is then read as it comes.
bool BeginKeyInput();
void EndKeyInput();
enum class EInputRead { kData, kNothing, kEnd };
// Waits at most nTimeoutMs for standard input and appends what has come,
// as UTF-8; kEnd once it has ended (closed, end of file, the terminal gone).
EInputRead ReadInput(int nTimeoutMs, std::string& strInput);

struct SFileCloser {
    void operator()(std::FILE* pFile) const { std::fclose(pFile); }
};
using CFilePtr = std::unique_ptr<std::FILE, SFileCloser>;
// A regular file opened for appending, created when missing; null with the
// system's reason, or "not a regular file" (a FIFO would hold the caller).
CFilePtr OpenAppendFile(const std::string& strPath, std::string& strError);

// A line of the tool's own on standard error ("vantrel-cli: TEXT"), the one
// way every note and error of the command line is written.
inline void WriteToolLine(const std::string& strText)
{
    std::fprintf(stderr, "vantrel-cli: %s\n", strText.c_str());
}
