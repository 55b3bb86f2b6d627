// vantrel-cli against the reference bootloader running in simavr
// (vantrel-avr-sim): real page programming, a real receive buffer, a real
// application that resets into the bootloader. Each test starts its own
// device with its own flash file and reads that file back once the device
// has stopped.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/ChildProcess.h"
#include "common/HexWriter.h"
#include "common/TempDir.h"
#include "core/LogSink.h"
#include "download/FirmwareReader.h"

namespace {

constexpr uint32_t kFlashSize = 32 * 1024;
constexpr uint32_t kBootStart = 0x7000;
const std::string kFirmwareDir = VANTREL_AVR_FIRMWARE_DIR;

std::string Firmware(const std::string& strName)
{
    return kFirmwareDir + "/" + strName;
}

std::vector<uint8_t> ReadFile(const std::string& strPath)
{
    std::ifstream file(strPath, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

void WriteText(const std::string& strPath, const std::string& strText)
{
    std::ofstream(strPath, std::ios::binary) << strText;
}

class CNoLog : public CLogSink {
public:
    void AppendLog(const std::string&, int) override {}
};

// Erased flash with a HEX file's bytes in it: what a device holds after a
// correct download of that file into an empty application section.
std::vector<uint8_t> FlashWith(const std::string& strHex, std::vector<uint8_t> vecFlash = {})
{
    if (vecFlash.empty())
        vecFlash.assign(kFlashSize, 0xFF);
    FirmwareImage image;
    CNoLog log;
    EXPECT_EQ(LoadHexFile(strHex, image, log), 1) << strHex;
    for (const FirmwareBlock& block : image) {
        for (int i = 0; i < block.length; ++i)
            vecFlash.at(static_cast<size_t>(block.address) + static_cast<size_t>(i)) = block.data[i];
    }
    return vecFlash;
}

// The boot section as the bootloader was burned: its binary at 0x7000, the
// rest erased.
std::vector<uint8_t> BootSection()
{
    std::vector<uint8_t> vecBoot(kFlashSize - kBootStart, 0xFF);
    const std::vector<uint8_t> vecBinary = ReadFile(Firmware("avr-bootloader.bin"));
    EXPECT_GT(vecBinary.size(), 256u);
    EXPECT_LE(vecBinary.size(), vecBoot.size());
    std::copy(vecBinary.begin(), vecBinary.end(), vecBoot.begin());
    return vecBoot;
}

std::vector<uint8_t> Slice(const std::vector<uint8_t>& vec, uint32_t nFrom, uint32_t nTo)
{
    return std::vector<uint8_t>(vec.begin() + nFrom, vec.begin() + nTo);
}

// One device: vantrel-avr-sim with the bootloader, a flash file and a link.
class CAvrDevice {
public:
    CAvrDevice(const CTempDir& dir, const std::string& strApp = {}, const std::string& strFlashName = "flash.bin")
        : m_strFlash(dir.Path(strFlashName)), m_strLink(dir.Path("line"))
    {
        std::vector<std::string> args {"--boot", Firmware("avr-bootloader.elf"), "--flash", m_strFlash, "--link",
                                       m_strLink};
        if (!strApp.empty()) {
            args.push_back("--app");
            args.push_back(strApp);
        }
        m_pProcess = std::make_unique<CChildProcess>(VANTREL_AVR_SIM_EXE, args);
        // The slave's path comes once the line and its link are there.
        m_bStarted = m_pProcess->WaitForOutput("/dev/pts/");
    }

    bool Started() const { return m_bStarted; }
    const std::string& Link() const { return m_strLink; }

    // Reads the line itself until strText came, or gives up after a long
    // bound; all that was read.
    std::string ReadLineUntil(const std::string& strText, int nLimitMs = 8000) const
    {
        std::string strSeen;
        const int fd = ::open(m_strLink.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0)
            return strSeen;
        termios tio {};
        if (::tcgetattr(fd, &tio) == 0) {
            ::cfmakeraw(&tio);
            ::tcsetattr(fd, TCSANOW, &tio);
        }
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(nLimitMs);
        while (strSeen.find(strText) == std::string::npos && std::chrono::steady_clock::now() < deadline) {
            pollfd pfd {fd, POLLIN, 0};
            if (::poll(&pfd, 1, 100) <= 0)
                continue;
            char buffer[256];
            const ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n > 0)
                strSeen.append(buffer, static_cast<size_t>(n));
        }
        ::close(fd);
        return strSeen;
    }

    // Waits until the device has said something more on the line, without
    // reading it: it stays there for whoever opens the line next.
    bool WaitForUnreadText(int nLimitMs = 8000) const
    {
        const int fd = ::open(m_strLink.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0)
            return false;
        pollfd pfd {fd, POLLIN, 0};
        const bool bReady = ::poll(&pfd, 1, nLimitMs) == 1 && (pfd.revents & POLLIN);
        ::close(fd);
        return bReady;
    }

    // Stops the device as a user would (SIGTERM, or Ctrl-C's SIGINT) and
    // gives its flash file.
    std::vector<uint8_t> StopAndDump(int nSignal = SIGTERM)
    {
        m_pProcess->Signal(nSignal);
        EXPECT_EQ(m_pProcess->Wait(), 0) << m_pProcess->Err();
        return ReadFile(m_strFlash);
    }

private:
    std::string m_strFlash;
    std::string m_strLink;
    std::unique_ptr<CChildProcess> m_pProcess;
    bool m_bStarted = false;
};

struct CCliRun {
    int nExit = -1;
    std::string strOut;
    std::string strErr;
};

// A download by vantrel-cli as the README gives it for this device.
CCliRun Download(const std::string& strLink, const std::string& strHex, const std::string& strVersion,
                 std::vector<std::string> vecExtra = {})
{
    std::vector<std::string> args {"download", strHex,        "--port", strLink,     "--baud",
                                   "115200",   "--burn-type", "2",      "--version", strVersion};
    args.insert(args.end(), vecExtra.begin(), vecExtra.end());
    CChildProcess cli(VANTREL_CLI_EXE, args);
    CCliRun run;
    run.nExit = cli.Wait(60000);
    run.strOut = cli.Out();
    run.strErr = cli.Err();
    return run;
}

class AvrDevice : public ::testing::Test {
protected:
    void SetUp() override { ::setenv("VANTREL_INI", VANTREL_TEST_INI, 1); }

    CTempDir m_dir;
};

TEST_F(AvrDevice, FirstDownloadWritesTheHexLeavesTheBootloaderAndStartsTheApplication)
{
    const std::string strApp = Firmware("avr-example-app-1.0.0.hex");
    CAvrDevice device(m_dir);
    ASSERT_TRUE(device.Started());

    const CCliRun run = Download(device.Link(), strApp, "1.0.0");
    EXPECT_EQ(run.nExit, 0) << run.strOut << run.strErr;
    // An empty device reports no application version.
    EXPECT_NE(run.strOut.find("0.0.0"), std::string::npos) << run.strOut;
    EXPECT_NE(run.strOut.find("Download successfully."), std::string::npos) << run.strOut;

    // After leave the application runs and says so on the line.
    const std::string strLine = device.ReadLineUntil("Vantrel example application 1.0.0\r\n");
    EXPECT_NE(strLine.find("Vantrel example application 1.0.0\r\n"), std::string::npos) << strLine;

    const std::vector<uint8_t> vecFlash = device.StopAndDump();
    ASSERT_EQ(vecFlash.size(), kFlashSize);
    const std::vector<uint8_t> vecExpected = FlashWith(strApp);
    EXPECT_EQ(Slice(vecFlash, 0, kBootStart), Slice(vecExpected, 0, kBootStart));
    EXPECT_EQ(Slice(vecFlash, kBootStart, kFlashSize), BootSection());
}

// Flash, then monitor: the application just written prints its banner, and
// vantrel-cli shows it from the same port until Ctrl-C.
TEST_F(AvrDevice, DownloadThenMonitorShowsTheNewApplicationsBanner)
{
    CAvrDevice device(m_dir);
    ASSERT_TRUE(device.Started());
    CChildStreams streams;
    streams.bInputPipe = true;  // a user who types nothing; its end would end the monitor
    CChildProcess cli(VANTREL_CLI_EXE,
                      {"download", Firmware("avr-example-app-1.0.0.hex"), "--port", device.Link(), "--baud", "115200",
                       "--burn-type", "2", "--version", "1.0.0", "--monitor"},
                      streams);
    ASSERT_TRUE(cli.WaitForOutput("Download successfully.", 60000)) << cli.Out() << cli.Err();
    EXPECT_TRUE(cli.WaitForOutput("Vantrel example application 1.0.0", 10000)) << cli.Out() << cli.Err();
    cli.Signal(SIGINT);
    EXPECT_EQ(cli.Wait(10000), 0) << cli.Out() << cli.Err();
}

TEST_F(AvrDevice, NewerVersionOverARunningApplicationGoesThroughItsResetIntoTheBootloader)
{
    const std::string strOld = Firmware("avr-example-app-1.0.0.hex");
    const std::string strNew = Firmware("avr-example-app-1.1.0.hex");
    CAvrDevice device(m_dir, strOld);
    ASSERT_TRUE(device.Started());
    // The old application is running: its banner comes every second.
    const std::string strBefore = device.ReadLineUntil("application 1.0.0\r\n");
    ASSERT_NE(strBefore.find("application 1.0.0\r\n"), std::string::npos) << strBefore;
    // And its next banner waits on the line when the download opens it.
    ASSERT_TRUE(device.WaitForUnreadText());

    const CCliRun run = Download(device.Link(), strNew, "1.1.0");
    EXPECT_EQ(run.nExit, 0) << run.strOut << run.strErr;
    // The application answered identify with its own version; enter was
    // accepted, so the bootloader took the query and the writes.
    EXPECT_NE(run.strOut.find("##  the cmdcheckid is ok!"), std::string::npos) << run.strOut;
    EXPECT_NE(run.strOut.find("1.0.0 !"), std::string::npos) << run.strOut;
    EXPECT_NE(run.strOut.find("Download successfully."), std::string::npos) << run.strOut;

    const std::string strAfter = device.ReadLineUntil("application 1.1.0\r\n");
    EXPECT_NE(strAfter.find("application 1.1.0\r\n"), std::string::npos) << strAfter;

    const std::vector<uint8_t> vecFlash = device.StopAndDump();
    ASSERT_EQ(vecFlash.size(), kFlashSize);
    // Every byte of the new file, and of the old one only what the new one
    // did not cover.
    const std::vector<uint8_t> vecExpected = FlashWith(strNew, FlashWith(strOld));
    EXPECT_EQ(Slice(vecFlash, 0, kBootStart), Slice(vecExpected, 0, kBootStart));
    EXPECT_EQ(Slice(vecFlash, kBootStart, kFlashSize), BootSection());
}

TEST_F(AvrDevice, WriteIntoTheBootSectionIsRefusedAndTheRunFailsWithTheBootloaderIntact)
{
    // 64 bytes from 0x6FE0: the last two blocks lie in the boot section.
    std::vector<uint8_t> vecData(64);
    for (size_t i = 0; i < vecData.size(); ++i)
        vecData[i] = static_cast<uint8_t>(0x40 + i);
    const std::string strHex = m_dir.Path("into-boot.hex");
    WriteText(strHex, HexFile(0x6FE0, vecData));
    CAvrDevice device(m_dir);
    ASSERT_TRUE(device.Started());

    const CCliRun run = Download(device.Link(), strHex, "1.0.0");
    EXPECT_EQ(run.nExit, 5) << run.strOut << run.strErr;
    // The first block of the boot section is the one refused.
    EXPECT_NE(run.strOut.find("Write error:Addr=007000H"), std::string::npos) << run.strOut;
    EXPECT_EQ(run.strOut.find("Download successfully."), std::string::npos) << run.strOut;

    const std::vector<uint8_t> vecFlash = device.StopAndDump();
    ASSERT_EQ(vecFlash.size(), kFlashSize);
    EXPECT_EQ(Slice(vecFlash, kBootStart, kFlashSize), BootSection());
}

TEST_F(AvrDevice, PartialPagesKeepTheirOtherBytes)
{
    // Two pages of a pattern already in flash (an application section with
    // no program at 0, so the bootloader stays), then a file with a few
    // bytes in the first page and a run across the boundary of the two.
    constexpr uint32_t kBase = 0x4000;
    std::vector<uint8_t> vecPattern(256);
    for (size_t i = 0; i < vecPattern.size(); ++i)
        vecPattern[i] = static_cast<uint8_t>(i * 7 + 3);
    const std::string strPattern = m_dir.Path("pattern.hex");
    WriteText(strPattern, HexFile(kBase, vecPattern));

    const std::vector<uint8_t> vecFew {0x11, 0x22, 0x33, 0x44};
    const std::vector<uint8_t> vecAcross {0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7, 0xA8};
    std::string strFirst = HexFile(kBase + 0x05, vecFew);
    strFirst.erase(strFirst.rfind(":00000001FF"));  // one file: a single end record
    const std::string strPartial = m_dir.Path("partial.hex");
    WriteText(strPartial, strFirst + HexFile(kBase + 0x7C, vecAcross));

    CAvrDevice device(m_dir, strPattern);
    ASSERT_TRUE(device.Started());
    const CCliRun run = Download(device.Link(), strPartial, "1.0.0");
    EXPECT_EQ(run.nExit, 0) << run.strOut << run.strErr;

    const std::vector<uint8_t> vecFlash = device.StopAndDump();
    ASSERT_EQ(vecFlash.size(), kFlashSize);
    // The file's bytes as the reader makes blocks of them (a block's bytes
    // that the file leaves out are written as FF), over the pattern; the
    // blocks cover only part of each page.
    const std::vector<uint8_t> vecBefore = FlashWith(strPattern);
    const std::vector<uint8_t> vecExpected = FlashWith(strPartial, vecBefore);
    const std::vector<uint8_t> vecWritten = FlashWith(strPartial);
    for (uint32_t nPage : {kBase, kBase + 128}) {
        const auto nCovered =
            128 - std::count(vecWritten.begin() + nPage, vecWritten.begin() + nPage + 128, uint8_t {0xFF});
        EXPECT_GT(nCovered, 0) << std::hex << nPage;
        EXPECT_LT(nCovered, 64) << std::hex << nPage;
    }
    EXPECT_EQ(Slice(vecFlash, kBase, kBase + 256), Slice(vecExpected, kBase, kBase + 256));
    for (size_t i = 0; i < vecFew.size(); ++i)
        EXPECT_EQ(vecFlash[kBase + 0x05 + i], vecFew[i]) << i;
    // Bytes of the pattern outside the file's blocks survived in both pages.
    EXPECT_EQ(Slice(vecFlash, kBase + 0x10, kBase + 0x70), Slice(vecPattern, 0x10, 0x70));
    EXPECT_EQ(Slice(vecFlash, kBase + 0x90, kBase + 0x100), Slice(vecPattern, 0x90, 0x100));
    // Nothing else changed: the pages around stay erased.
    EXPECT_EQ(Slice(vecFlash, kBase - 128, kBase), std::vector<uint8_t>(128, 0xFF));
    EXPECT_EQ(Slice(vecFlash, kBase + 256, kBase + 384), std::vector<uint8_t>(128, 0xFF));
}

TEST_F(AvrDevice, SendingAheadWorksUpToTheReceiveRingAndBeyondItFailsTruthfully)
{
    // The bootloader's ring holds 64 bytes: 16 write commands of 4 bytes
    // fit; more are lost while a page is programmed or a reply goes out,
    // a command then fails its checksum and the run stops there. A strict
    // run afterwards writes the whole file.
    const std::string strApp = Firmware("avr-example-app-1.0.0.hex");
    const std::vector<uint8_t> vecExpected = FlashWith(strApp);
    CAvrDevice device(m_dir);
    ASSERT_TRUE(device.Started());

    struct Case {
        const char* pWindow;
        int nExit;
    };
    for (const Case& c : {Case {"16", 0}, Case {"32", 5}, Case {"1", 0}}) {
        // The same version again: the question is answered Yes.
        const CCliRun run = Download(device.Link(), strApp, "1.0.0", {"--window", c.pWindow, "--yes"});
        EXPECT_EQ(run.nExit, c.nExit) << "window " << c.pWindow << "\n" << run.strOut << run.strErr;
        if (c.nExit != 0) {
            EXPECT_NE(run.strOut.find("Write error"), std::string::npos) << run.strOut;
        }
    }
    const std::vector<uint8_t> vecFlash = device.StopAndDump();
    ASSERT_EQ(vecFlash.size(), kFlashSize);
    EXPECT_EQ(Slice(vecFlash, 0, kBootStart), Slice(vecExpected, 0, kBootStart));
    EXPECT_EQ(Slice(vecFlash, kBootStart, kFlashSize), BootSection());
}

TEST_F(AvrDevice, FlashFileCarriesTheMemoryIntoTheNextRun)
{
    // A device with the application, stopped by Ctrl-C; a new one on the
    // same flash file, given no application, starts it after its quiet time.
    const std::string strApp = Firmware("avr-example-app-1.1.0.hex");
    std::vector<uint8_t> vecFirst;
    {
        CAvrDevice device(m_dir, strApp, "board ä 板.bin");
        ASSERT_TRUE(device.Started());
        vecFirst = device.StopAndDump(SIGINT);
    }
    ASSERT_EQ(vecFirst.size(), kFlashSize);
    EXPECT_EQ(Slice(vecFirst, 0, kBootStart), Slice(FlashWith(strApp), 0, kBootStart));
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(m_dir.Path("line"))));

    CAvrDevice device(m_dir, {}, "board ä 板.bin");
    ASSERT_TRUE(device.Started());
    const std::string strLine = device.ReadLineUntil("application 1.1.0\r\n");
    EXPECT_NE(strLine.find("application 1.1.0\r\n"), std::string::npos) << strLine;
    EXPECT_EQ(device.StopAndDump(), vecFirst);
}

TEST_F(AvrDevice, HostRefusesFirmwareThatDoesNotFit)
{
    // An application reaching into the boot section, and a bootloader ELF
    // that is not one: the host says why and does not start.
    const std::string strIntoBoot = m_dir.Path("into-boot.hex");
    WriteText(strIntoBoot, HexFile(0x6FF8, std::vector<uint8_t>(16, 0x5A)));
    const std::string strNotHex = m_dir.Path("not-a-hex.hex");
    WriteText(strNotHex, "/dev/pts/0\n");
    const std::string strNotElf = m_dir.Path("not-an-elf.elf");
    WriteText(strNotElf, "not an ELF file\n");
    struct Case {
        std::vector<std::string> args;
        std::string strReason;
    };
    const Case cases[] = {
        {{"--boot", Firmware("avr-bootloader.elf"), "--app", strIntoBoot}, "reaches into the boot section"},
        {{"--boot", Firmware("avr-bootloader.elf"), "--app", strNotHex}, "not an Intel HEX file"},
        {{"--boot", strNotElf}, "not a firmware ELF"},
        {{"--boot", Firmware("avr-example-app-1.0.0.elf")}, "not linked into the boot section"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = c.args;
        args.insert(args.end(), {"--flash", m_dir.Path("refused.bin")});
        CChildProcess host(VANTREL_AVR_SIM_EXE, args);
        EXPECT_EQ(host.Wait(), 1) << c.strReason;
        EXPECT_NE(host.Err().find(c.strReason), std::string::npos) << host.Err();
        EXPECT_FALSE(std::filesystem::exists(m_dir.Path("refused.bin"))) << c.strReason;
    }
}

}  // namespace
