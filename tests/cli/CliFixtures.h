#pragma once
// vantrel-sim as its own process on a pseudo-terminal, and vantrel-cli run
// against it: the programs as a production line runs them.
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

using Bytes = std::vector<uint8_t>;

inline Bytes Pattern(size_t nLength)
{
    Bytes data(nLength);
    for (size_t i = 0; i < nLength; ++i)
        data[i] = static_cast<uint8_t>(i * 7 + 3);
    return data;
}

// vantrel-sim on its own pseudo-terminal, reached through a link in the test's folder.
class CSimProcess {
public:
    CSimProcess(const CTempDir& dir, std::vector<std::string> args)
        : m_strLink(dir.Path("ttyDEV")), m_strDump(dir.Path("memory.bin"))
    {
        // The line as a freshly plugged adapter has it: the CLI must make it raw.
        args.insert(args.end(), {"--tty-defaults", "--link", m_strLink, "--dump", m_strDump, "--quiet"});
        m_pProcess = std::make_unique<CChildProcess>(VANTREL_SIM_EXE, args);
        m_bReady = m_pProcess->WaitForOutput("\n", 5000);
    }
    bool Ready() const { return m_bReady; }
    const std::string& Link() const { return m_strLink; }
    // Stops the simulator and gives its memory.
    Bytes StopAndDump(uint32_t nAddress, size_t nLength)
    {
        m_pProcess->Signal(SIGTERM);
        EXPECT_EQ(m_pProcess->Wait(5000), 0) << m_pProcess->Err();
        std::ifstream file(m_strDump, std::ios::binary);
        Bytes memory((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        if (memory.size() < nAddress + nLength)
            return {};
        return Bytes(memory.begin() + nAddress, memory.begin() + static_cast<long>(nAddress + nLength));
    }
    bool PortReleased() const
    {
        CSerialLink link;
        link.SetLineParameters(115200, 0, 0, 8, 0);
        return link.Open(0, m_strLink) == 1;
    }

private:
    std::string m_strLink;
    std::string m_strDump;
    std::unique_ptr<CChildProcess> m_pProcess;
    bool m_bReady = false;
};

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
