#pragma once
// vantrel-cli run against vantrel-sim (SimProcess.h): the programs as a production line runs them.
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/ChildProcess.h"
#include "common/TempDir.h"
#include "serial/CSerialLink.h"
#include "SimProcess.h"

using Bytes = std::vector<uint8_t>;

inline Bytes Pattern(size_t nLength)
{
    Bytes data(nLength);
    for (size_t i = 0; i < nLength; ++i)
        data[i] = static_cast<uint8_t>(i * 7 + 3);
    return data;
}

struct CCliResult {
    int nExit;
    std::string strOut;
    std::string strErr;
};

inline CCliResult RunCli(const std::vector<std::string>& args, int nTimeoutMs = 30000)
{
    ::setenv("VANTREL_INI", VANTREL_TEST_INI, 1);
    CChildProcess cli(VANTREL_CLI_EXE, args);
    const int nExit = cli.Wait(nTimeoutMs);
    return {nExit, cli.Out(), cli.Err()};
}
