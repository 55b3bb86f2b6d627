#pragma once
// The outcomes of vantrel-cli in one table: each with the word the summary,
// the JSON events and the report give it, the exit status a script reads,
// and what the help says of it. Everything that shows an outcome reads it
// here.
#include <string>

#include "download/CLoader.h"

inline constexpr int kExitSuccess = 0;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitFile = 3;
inline constexpr int kExitConnection = 4;
inline constexpr int kExitWrite = 5;
inline constexpr int kExitVerify = 6;
inline constexpr int kExitDisconnect = 7;
inline constexpr int kExitCancelled = 8;
inline constexpr int kExitRead = 9;

enum class EOutcome { kSuccess, kUsage, kFile, kConnection, kWrite, kVerify, kDisconnect, kCancelled, kRead };

struct SOutcome {
    EOutcome outcome;
    const char* pWord;  // "success", "usage", "file", ...
    int nExitStatus;
    const char* pHelp;  // what the help says of it
};

const SOutcome& OutcomeInfo(EOutcome outcome);
// The outcome of a run that ended so.
EOutcome OutcomeOf(ERunEnd end);
// The outcome of the exit status a port's refusal was given before its run.
EOutcome OutcomeOfExitStatus(int nExitStatus);
// How a run ended once a stop request (Ctrl-C) reached it: a stop that ended
// the run is a cancel, whichever step it was at; a run that went through
// stands, and one that had failed before the stop keeps its own end.
ERunEnd EndAfterStop(ERunEnd end, bool bStopRequested);
// The exit status of a run that ended so.
int ExitStatusOf(ERunEnd end);
// The help's table of exit statuses, one entry per outcome.
std::string ExitStatusHelp();
