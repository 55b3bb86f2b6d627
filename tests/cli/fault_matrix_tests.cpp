// Every phase of a run crossed with every fault the device can show, through
// vantrel-cli against the simulated device: the exact lines, the exit status,
// the port released, an end in bounded time, and the device still usable by
// the next run.
#include <signal.h>

#include <chrono>
#include <cstdlib>
#include <ostream>
#include <thread>

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

class FaultMatrixBase : public ::testing::Test {
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

    std::vector<std::string> CliArgs(int nWindow) const
    {
        std::vector<std::string> args = {"download",           m_strFile,           "--port",
                                         m_dir.Path("ttyDEV"), "--support-version", "*.*.*"};
        if (nWindow > 1)
            args.insert(args.end(), {"--window", std::to_string(nWindow)});
        return args;
    }
    int RunCli(std::string& strOut, int nWindow = 1)
    {
        CChildProcess cli(VANTREL_CLI_EXE, CliArgs(nWindow));
        const int nExit = cli.Wait(20000);
        strOut = cli.Out();
        return nExit;
    }
    void ExpectStrictRunGoesThrough(CSimConfig config)
    {
        config.m_vecFaults.clear();
        config.m_vecCorrupt.clear();
        config.m_nBaudRate = 0;
        m_sim.Configure(config);
        std::string strFollowUp;
        EXPECT_EQ(RunCli(strFollowUp), 0) << strFollowUp;
        EXPECT_EQ(m_sim.ReadMemory(0x100, m_data.size()), m_data);
        EXPECT_FALSE(m_sim.InIapMode());
    }

    CTempDir m_dir;
    CDeviceSimulator m_sim;
    std::string m_strFile;
    std::vector<uint8_t> m_data;
};

// Each cell runs strict, and with 16 flash commands sent ahead (more than a
// block's nine, so the window spans blocks).
class FaultMatrix : public FaultMatrixBase, public ::testing::WithParamInterface<std::tuple<CCell, int>> {};

// A reply that never comes, or comes short, cannot be told from the next
// one when commands are sent ahead (replies carry no tag): the failure shows
// at the first reply found missing or wrong, and a vanished line may take
// the replies before it along. The class of the end stays.
bool SameLogAhead(const CSimFault& fault)
{
    const bool bFlash = fault.m_nCode == 0xC1 || fault.m_nCode == 0xC2 || fault.m_nCode == 0xCA;
    return !bFlash || (fault.m_eKind != EFaultKind::kSilent && fault.m_eKind != EFaultKind::kCut &&
                       fault.m_eKind != EFaultKind::kVanish);
}

TEST_P(FaultMatrix, EndsCleanlyAndTheDeviceStaysUsable)
{
    const auto& [cell, nWindow] = GetParam();
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
    const int nExit = RunCli(strOut, nWindow);
    // One limit of 2000 ms at most per failed exchange, the device's waits,
    // and room for a loaded machine.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(9));
    EXPECT_EQ(nExit, cell.nExit) << strOut;
    if (nWindow == 1 || SameLogAhead(cell.fault)) {
        EXPECT_EQ(strOut, Expand(cell.pLog, m_strFile));
    } else {
        // The same kind of end: a write error line, or a failed verify pass.
        const char* pEnd = cell.nExit == 5 ? "++  Write error:Addr=" : "## Download failed:";
        EXPECT_NE(strOut.find(pEnd), std::string::npos) << strOut;
        EXPECT_EQ(strOut.find("successfully"), std::string::npos) << strOut;
    }

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
    ExpectStrictRunGoesThrough(config);
}

using FaultMatrixDevice = FaultMatrixBase;

TEST_F(FaultMatrixDevice, BufferSmallerThanTheWindowFailsTruthfullyAndAStrictRunThenWorks)
{
    // 16 commands sent at once; while the device programs a write for 2 ms
    // some 23 bytes arrive, and 8 fit: the rest is lost.
    CSimConfig config = m_sim.Config();
    config.m_nBaudRate = 115200;
    config.m_nRxBuffer = 8;
    config.m_nWriteUs = 2000;
    m_sim.Configure(config);
    std::string strOut;
    const int nExit = RunCli(strOut, 16);
    EXPECT_TRUE(nExit == 5 || nExit == 6) << nExit << strOut;
    EXPECT_EQ(strOut.find("successfully"), std::string::npos) << strOut;
    EXPECT_GT(m_sim.LostBytes(), 0);
    // The same device, buffer and programming time as they are.
    CChildProcess strict(VANTREL_CLI_EXE, CliArgs(1));
    EXPECT_EQ(strict.Wait(20000), 0) << strict.Out();
    EXPECT_EQ(m_sim.ReadMemory(0x100, m_data.size()), m_data);
    EXPECT_FALSE(m_sim.InIapMode());
}

TEST_F(FaultMatrixDevice, CtrlCInAWindowReadsWhatIsDueAndExitsCancelled)
{
    // Through an FTDI adapter every window waits 16 ms for its replies: a
    // 4 KiB image takes long enough to be interrupted while writing.
    std::vector<uint8_t> data(4096);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<uint8_t>(i * 7 + 3);
    m_strFile = m_dir.Write("large.hex", HexFile(0x100, data));
    CSimConfig config = m_sim.Config();
    config.m_eAdapter = EAdapter::kFtdi;
    m_sim.Configure(config);
    CChildProcess cli(VANTREL_CLI_EXE, CliArgs(16));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (m_sim.CommandCount() < 100 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    cli.Signal(SIGINT);
    EXPECT_EQ(cli.Wait(20000), 8) << cli.Out();
    EXPECT_NE(cli.Out().find("## Download stopped before it finished"), std::string::npos) << cli.Out();
    EXPECT_LT(m_sim.CommandCount(), 4096 / 16 * 9);
    // Nothing left on the line: a strict run on the same device goes through.
    m_data = data;
    config.m_eAdapter = EAdapter::kNone;
    ExpectStrictRunGoesThrough(config);
}

std::string CellName(const ::testing::TestParamInfo<std::tuple<CCell, int>>& info)
{
    const int nWindow = std::get<1>(info.param);
    return std::string(std::get<0>(info.param).pName) + (nWindow > 1 ? "Window" + std::to_string(nWindow) : "");
}

const CCell kCells[] = {
#include "fault_matrix_cells.inc"
};

INSTANTIATE_TEST_SUITE_P(Cell, FaultMatrix, ::testing::Combine(::testing::ValuesIn(kCells), ::testing::Values(1, 16)),
                         CellName);

}  // namespace
