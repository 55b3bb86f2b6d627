#pragma once
// vantrel-sim as a process of its own for the command line's tests, serving
// the device on a pseudo-terminal reached through a link in the test's folder.
#include <csignal>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/ChildProcess.h"
#include "common/TempDir.h"
#include "serial/CSerialLink.h"

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
    std::vector<uint8_t> StopAndDump(uint32_t nAddress, size_t nLength)
    {
        m_pProcess->Signal(SIGTERM);
        EXPECT_EQ(m_pProcess->Wait(5000), 0) << m_pProcess->Err();
        std::ifstream file(m_strDump, std::ios::binary);
        std::vector<uint8_t> memory((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        if (memory.size() < nAddress + nLength)
            return {};
        return std::vector<uint8_t>(memory.begin() + nAddress, memory.begin() + static_cast<long>(nAddress + nLength));
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
