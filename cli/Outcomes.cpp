#include "cli/Outcomes.h"

#include <sstream>

namespace {

constexpr SOutcome kOutcomes[] = {
    {EOutcome::kSuccess, "success", kExitSuccess,
     "the image was written, verified without difference (verify: the device holds the file; read: the file "
     "was written), and the device left IAP mode"},
    {EOutcome::kUsage, "usage", kExitUsage,
     "usage error: an unknown option or subcommand, a missing file argument, malformed text (version, permitted "
     "versions, port, port filter, range, address), one device named twice, AUTOCHECK among several ports; ranges "
     "that are empty or overlap, a read's file whose ending names no format or a .bin for several ranges; --address "
     "missing for a raw binary file or given for another format; or a report that cannot be written"},
    {EOutcome::kFile, "file", kExitFile,
     "the file: not found, not readable, rejected by its reader, holding no data, or of no format it reads; found "
     "before any device is touched; for read, the file read into could not be written"},
    {EOutcome::kConnection, "connection", kExitConnection,
     "the connection: a port that is not there (a COMn nothing stands for, a path that leads nowhere) or does not "
     "open; entering IAP mode or the query refused (a refused identify is no end: the query decides); version not "
     "permitted; downgrade declined; for ports, a port search that failed"},
    {EOutcome::kWrite, "write", kExitWrite, "a block write failed"},
    {EOutcome::kVerify, "verify", kExitVerify, "the verify pass found differences or could not read the device"},
    {EOutcome::kDisconnect, "disconnect", kExitDisconnect, "the device did not leave IAP mode"},
    {EOutcome::kCancelled, "cancelled", kExitCancelled, "cancelled (Ctrl-C)"},
    {EOutcome::kRead, "read", kExitRead,
     "read: a read command failed or went unanswered; no file was written (verify counts this as 6)"},
};

// The help's width: continuation lines start under the text.
constexpr size_t kHelpWidth = 96;
constexpr const char* kContinuation = "     ";

}  // namespace

const SOutcome& OutcomeInfo(EOutcome outcome)
{
    for (const SOutcome& entry : kOutcomes) {
        if (entry.outcome == outcome)
            return entry;
    }
    return kOutcomes[static_cast<size_t>(EOutcome::kConnection)];
}

EOutcome OutcomeOf(ERunEnd end)
{
    switch (end) {
    case ERunEnd::kSuccess: return EOutcome::kSuccess;
    case ERunEnd::kConnectionFailed: return EOutcome::kConnection;
    case ERunEnd::kFileNotFound:
    case ERunEnd::kUnknownFileKind:
    case ERunEnd::kLoadFailed: return EOutcome::kFile;
    case ERunEnd::kWriteFailed: return EOutcome::kWrite;
    case ERunEnd::kVerifyFailed: return EOutcome::kVerify;
    case ERunEnd::kDisconnectFailed: return EOutcome::kDisconnect;
    case ERunEnd::kCancelled: return EOutcome::kCancelled;
    case ERunEnd::kReadFailed: return EOutcome::kRead;
    case ERunEnd::kOutputFailed: return EOutcome::kFile;
    }
    return EOutcome::kConnection;
}

EOutcome OutcomeOfExitStatus(int nExitStatus)
{
    for (const SOutcome& entry : kOutcomes) {
        if (entry.nExitStatus == nExitStatus)
            return entry.outcome;
    }
    return EOutcome::kUsage;
}

ERunEnd EndAfterStop(ERunEnd end, bool bStopRequested)
{
    return bStopRequested && end != ERunEnd::kSuccess ? ERunEnd::kCancelled : end;
}

int ExitStatusOf(ERunEnd end)
{
    return OutcomeInfo(OutcomeOf(end)).nExitStatus;
}

std::string ExitStatusHelp()
{
    std::string strHelp = "Exit status of download, read and verify (with several ports or --watch: the highest of\n"
                          "theirs, 0 when a watch saw no device):\n";
    for (const SOutcome& entry : kOutcomes) {
        std::string strLine = "  " + std::to_string(entry.nExitStatus) + "  ";
        std::istringstream words(entry.pHelp);
        bool bFirst = true;
        for (std::string strWord; words >> strWord; bFirst = false) {
            if (!bFirst && strLine.size() + 1 + strWord.size() > kHelpWidth) {
                strHelp += strLine + "\n";
                strLine = kContinuation;
            } else if (!bFirst) {
                strLine += " ";
            }
            strLine += strWord;
        }
        strHelp += strLine + "\n";
    }
    return strHelp;
}
