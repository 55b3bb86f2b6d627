#pragma once
// The monitor: what a device sends, shown as the dialog's terminal shows it,
// and what the operator types, sent a line at a time.
#include <string>

#include "cli/CliCommands.h"
#include "cli/Console.h"

class CSignalWatcher;

struct CMonitorOptions {
    bool bHex = false;
    std::string strLineEnd = "\r\n";
    bool bTimestamps = false;
    std::string strLog;  // also appends what is shown here; empty for none
};

// The port a monitor opens: its device path, its COM number (0 when named
// by path) and the name the operator knows it by.
struct CMonitorPort {
    std::string strPath;
    int nNumber = 0;
    std::string strName;
    int nBaudRate = 0;
};

// Opens options.strLog for appending, or gives null without a log; false
// with the reason in strError when it cannot be had.
bool OpenMonitorLog(const CMonitorOptions& options, CFilePtr& pLog, std::string& strError);

// Monitors the port until Ctrl-] or Ctrl-C (a key on a terminal, else the
// signal), SIGTERM or SIGHUP, or the end of standard input (once what the
// device sends has gone quiet). 0 when it ended so; kExitConnection when the
// port cannot be opened or goes away.
int MonitorPort(const CMonitorPort& port, const CMonitorOptions& options, std::FILE* pLog, CSignalWatcher& signals);

// `vantrel-cli monitor`: the port and bit rate as a download takes them.
int RunMonitor(const CDownloadOptions& portOptions, const CMonitorOptions& options, CSignalWatcher& signals);

// The port a download's resolved inputs name; no name for AUTOCHECK, which
// names no one port.
CMonitorPort MonitorPortOf(const CRunInputs& inputs, const CComPortMap& comPorts);
