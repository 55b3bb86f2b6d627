#include "cli/PortResults.h"

#include <algorithm>

#include <fmt/format.h>

namespace {

EOutcome ResultOutcome(const SPortResult& result)
{
    return result.bStarted ? OutcomeOf(result.end) : OutcomeOfExitStatus(result.nRefusedStatus);
}

}  // namespace

const char* ResultClass(const SPortResult& result)
{
    return OutcomeInfo(ResultOutcome(result)).pWord;
}

int ResultExitStatus(const SPortResult& result)
{
    return OutcomeInfo(ResultOutcome(result)).nExitStatus;
}

int HighestExitStatus(const std::vector<SPortResult>& results)
{
    int nExit = kExitSuccess;
    for (const SPortResult& result : results)
        nExit = std::max(nExit, ResultExitStatus(result));
    return nExit;
}

std::string SummaryTable(const std::vector<SPortResult>& results)
{
    size_t nPortWidth = 4;
    for (const SPortResult& result : results)
        nPortWidth = std::max(nPortWidth, result.strPort.size());
    std::string strTable =
        fmt::format("{:<{}}  {:<10}  {:>9}  {:>8}  {}\n", "port", nPortWidth, "result", "bytes", "seconds", "device");
    for (const SPortResult& result : results) {
        strTable += fmt::format("{:<{}}  {:<10}  {:>9}  {:>8.1f}  {}\n", result.strPort, nPortWidth,
                                ResultClass(result), result.nBytes, result.dSeconds,
                                result.strDeviceVersion.empty() ? "-" : result.strDeviceVersion);
    }
    return strTable;
}

std::string SummaryText(const std::vector<SPortResult>& results)
{
    if (results.empty())
        return "no device was plugged in";
    std::string strTable = SummaryTable(results);
    strTable.pop_back();  // the console ends the line
    return strTable;
}
