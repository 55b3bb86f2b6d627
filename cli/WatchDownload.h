#pragma once
// Flash on plug: a download into every serial device plugged in while the
// command runs, each once until it is unplugged, several at once.
#include <string>

#include "cli/CPortConsole.h"
#include "cli/CSignalWatcher.h"
#include "cli/CliCommands.h"

struct SWatchOptions {
    std::string strPortFilter;     // a glob over the device paths; empty: every device
    bool bIncludePresent = false;  // also the devices present at the start
};

// Watches for devices until Ctrl-C, downloads options' file into each new
// one, prints a result line per device with the running count (in JSON a
// result event with the counts), appends its report row at once when
// strReport is given, and ends with the summary. A pinned path of the
// settings file that appears counts as a device plugged in. Returns the
// highest exit status of the devices' (0 with none), at least 2 when the
// report could not be written, which also ends the watch: no board is
// flashed unrecorded.
int RunWatchDownload(const CDownloadOptions& options, const SWatchOptions& watch, EAnswer answer, EConsoleFormat format,
                     const std::string& strReport, CSignalWatcher& signals);
