// Every phase of a run crossed with every fault the device can show, through
// vantrel-cli against the simulated device: the exact lines, the exit status,
// the port released, an end in bounded time, and the device still usable by
// the next run.
#include <chrono>
#include <cstdlib>
#include <ostream>

#include <gtest/gtest.h>

#include "common/ChildProcess.h"
#include "common/HexWriter.h"
#include "common/TempDir.h"
#include "serial/CSerialLink.h"
#include "sim/CDeviceSimulator.h"

namespace {

struct CCell {
    const char* pName;
    CSimFault fault;  // m_nCode 0: a wrong byte in memory instead
    int nExit;
    const char* pLog;  // the whole log; %F stands for the file path
};

// Three blocks at 0x100: the run sends identify, enter, query, 3 x (C1 + 8 x C2),
// then 3 x (C1 + CA), then leave. The cells are in fault_matrix_cells.inc.

std::string Expand(const std::string& strPattern, const std::string& strFile)
{
    std::string strText = strPattern;
    for (size_t n = strText.find("%F"); n != std::string::npos; n = strText.find("%F"))
        strText.replace(n, 2, strFile);
    return strText;
}

// Names the cell in test listings instead of dumping its bytes.
void PrintTo(const CCell& cell, std::ostream* pStream)
{
    *pStream << cell.pName;
}

class FaultMatrix : public ::testing::TestWithParam<CCell> {
protected:
    void SetUp() override
    {
        ::setenv("VANTREL_INI", VANTREL_TEST_INI, 1);
        CSimConfig config;
        config.m_strLinkPath = m_dir.Path("ttyDEV");
        m_sim.Configure(config);
        ASSERT_TRUE(m_sim.Start());
        std::vector<uint8_t> data(48);
        for (size_t i = 0; i < data.size(); ++i)
            data[i] = static_cast<uint8_t>(0x40 + i);
        m_data = data;
        m_strFile = m_dir.Write("firmware.hex", HexFile(0x100, data));
    }

    int RunCli(std::string& strOut)
    {
        CChildProcess cli(VANTREL_CLI_EXE,
                          {"download", m_strFile, "--port", m_dir.Path("ttyDEV"), "--support-version", "*.*.*"});
        const int nExit = cli.Wait(20000);
        strOut = cli.Out();
        return nExit;
    }

    CTempDir m_dir;
    CDeviceSimulator m_sim;
    std::string m_strFile;
    std::vector<uint8_t> m_data;
};

TEST_P(FaultMatrix, EndsCleanlyAndTheDeviceStaysUsable)
{
    const CCell& cell = GetParam();
    CSimConfig config = m_sim.Config();
    if (cell.fault.m_nCode == 0)
        config.m_vecCorrupt.push_back({0x115, true, 0});
    else
        config.m_vecFaults.push_back(cell.fault);
    // Stray bytes push the reply's tail behind the failure: on a line with
    // real character times it is still arriving when the next request goes.
    if (cell.fault.m_eKind == EFaultKind::kGarbage)
        config.m_nBaudRate = 115200;
    m_sim.Configure(config);

    std::string strOut;
    const auto start = std::chrono::steady_clock::now();
    const int nExit = RunCli(strOut);
    // One limit of 2000 ms at most per failed exchange, the device's waits,
    // and room for a loaded machine.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(9));
    EXPECT_EQ(nExit, cell.nExit) << strOut;
    EXPECT_EQ(strOut, Expand(cell.pLog, m_strFile));

    // The line is free again; a device that vanished comes back on a new line.
    if (m_sim.Vanished()) {
        m_sim.Stop();
        ASSERT_TRUE(m_sim.Start());
    }
    CSerialLink link;
    link.SetLineParameters(115200, 0, 0, 8, 0);
    EXPECT_EQ(link.Open(0, m_dir.Path("ttyDEV")), 1);
    link.Close();

    // The next run on the same device goes through.
    config.m_vecFaults.clear();
    config.m_vecCorrupt.clear();
    config.m_nBaudRate = 0;
    m_sim.Configure(config);
    std::string strFollowUp;
    EXPECT_EQ(RunCli(strFollowUp), 0) << strFollowUp;
    EXPECT_EQ(m_sim.ReadMemory(0x100, m_data.size()), m_data);
    EXPECT_FALSE(m_sim.InIapMode());
}

std::string CellName(const ::testing::TestParamInfo<CCell>& info)
{
    return info.param.pName;
}

const CCell kCells[] = {
#include "fault_matrix_cells.inc"
};

INSTANTIATE_TEST_SUITE_P(Cell, FaultMatrix, ::testing::ValuesIn(kCells), CellName);

}  // namespace
