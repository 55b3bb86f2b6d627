#include "avrsim/CAvrHost.h"

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>

extern "C" {
#include <simavr/avr_uart.h>
#include <simavr/sim_avr.h>
#include <simavr/sim_elf.h>
#include <simavr/sim_hex.h>
#include <simavr/sim_io.h>
#include <simavr/sim_irq.h>
}

#include "sim/PseudoTerminal.h"

namespace {
// Data-space addresses of the ATmega328P registers the host looks at.
constexpr uint16_t kSpmcsr = 0x57;
constexpr uint8_t kSelfProgramEnable = 0x01;
constexpr uint8_t kPageErase = 0x02;
constexpr uint8_t kPageWrite = 0x04;
constexpr uint16_t kUcsr0a = 0xC0;
constexpr uint16_t kUcsr0b = 0xC1;
constexpr uint16_t kUbrr0l = 0xC4;
constexpr uint16_t kUbrr0h = 0xC5;
constexpr uint8_t kDoubleSpeed = 0x02;  // U2X0
constexpr uint8_t kReceiverOn = 0x10;   // RXEN0
constexpr uint16_t kMcucr = 0x55;
constexpr uint8_t kVectorsInBoot = 0x02;  // IVSEL
constexpr uint32_t kVectorTableEnd = 26 * 4;

// simavr erases and writes a page at once; the chip takes 3.7 to 4.5 ms for
// each, the CPU running on in the boot section. The typical time is kept, so
// that what arrives meanwhile fills the firmware's buffer as it would.
constexpr double kSpmSeconds = 0.0041;
// Slices of simulated time between looks at the line: 1 ms.
constexpr uint64_t kSliceCycles = CAvrHost::kFrequency / 1000;
// The most the host keeps for a line nobody reads; more is dropped, oldest first.
constexpr size_t kMaxPending = 64 * 1024;

// simavr reports through this: errors go to standard error, its chatter
// (each ELF section loaded, each page written) nowhere.
void QuietLogger(avr_t*, const int nLevel, const char* pFormat, va_list args)
{
    if (nLevel <= LOG_ERROR)
        std::vfprintf(stderr, pFormat, args);
}

// An ELF as simavr's reader gives it, with the buffers it allocated.
struct CElfFirmware {
    elf_firmware_t m_firmware {};
    CElfFirmware() = default;
    CElfFirmware(const CElfFirmware&) = delete;
    CElfFirmware& operator=(const CElfFirmware&) = delete;
    ~CElfFirmware()
    {
        std::free(m_firmware.flash);
        std::free(m_firmware.eeprom);
        std::free(m_firmware.fuse);
        std::free(m_firmware.lockbits);
        for (uint32_t i = 0; m_firmware.symbol && i < m_firmware.symbolcount; ++i)
            std::free(m_firmware.symbol[i]);
        std::free(m_firmware.symbol);
    }
};
// The chunks of an Intel HEX file: their data, then the array.
struct CFreeChunks {
    void operator()(ihex_chunk_p p) const
    {
        free_ihex_chunks(p);
        std::free(p);
    }
};

bool ReadWholeFile(const std::string& strPath, std::vector<uint8_t>& vecData)
{
    std::ifstream file(strPath, std::ios::binary);
    if (!file)
        return false;
    vecData.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    return !file.bad();
}
}  // namespace

CAvrHost::CAvrHost() = default;

CAvrHost::~CAvrHost()
{
    if (m_pAvr) {
        avr_terminate(m_pAvr);
        std::free(m_pAvr);  // the core simavr copied for us; terminate keeps it
    }
    // The link goes with the line, unless another device took it over.
    if (m_bLinkMade) {
        char acTarget[256] = {};
        const ssize_t n = ::readlink(m_options.m_strLink.c_str(), acTarget, sizeof(acTarget) - 1);
        if (n > 0 && m_strSlavePath == std::string(acTarget, static_cast<size_t>(n)))
            ::unlink(m_options.m_strLink.c_str());
    }
}

bool CAvrHost::Start(const CAvrHostOptions& options, std::string& strError)
{
    m_options = options;
    avr_global_logger_set(QuietLogger);
    m_pAvr = avr_make_mcu_by_name("atmega328p");
    if (!m_pAvr) {
        strError = "simavr has no atmega328p";
        return false;
    }
    avr_init(m_pAvr);
    m_pAvr->frequency = kFrequency;
    m_pAvr->log = LOG_ERROR;  // not a line per page written

    // The flash file first (none yet: a new chip, all erased), then what is
    // burned over it: the bootloader always, the application when given.
    std::error_code error;
    if (!m_options.m_strFlash.empty() && std::filesystem::exists(m_options.m_strFlash, error)) {
        std::vector<uint8_t> vecFlash;
        if (!ReadWholeFile(m_options.m_strFlash, vecFlash)) {
            strError = m_options.m_strFlash + ": cannot be read";
            return false;
        }
        std::memcpy(m_pAvr->flash, vecFlash.data(), std::min<size_t>(vecFlash.size(), kFlashSize));
    }
    if (!LoadBoot(m_options.m_strBoot, strError))
        return false;
    if (!m_options.m_strApp.empty() && !LoadApp(m_options.m_strApp, strError))
        return false;
    m_pAvr->codeend = m_pAvr->flashend;
    // BOOTRST programmed: the reset vector is the boot section's start.
    m_pAvr->reset_pc = kBootStart;
    avr_reset(m_pAvr);
    m_pAvr->pc = kBootStart;

    uint32_t nFlags = 0;  // no console echo, no sleeping while the firmware polls
    avr_ioctl(m_pAvr, AVR_IOCTL_UART_SET_FLAGS('0'), &nFlags);
    m_pInput = avr_io_getirq(m_pAvr, AVR_IOCTL_UART_GETIRQ('0'), UART_IRQ_INPUT);
    avr_irq_register_notify(avr_io_getirq(m_pAvr, AVR_IOCTL_UART_GETIRQ('0'), UART_IRQ_OUTPUT), OnOutput, this);
    avr_register_io_write(m_pAvr, kSpmcsr, OnSpmControl, this);
    avr_cycle_timer_register(m_pAvr, CharacterCycles(), OnCharacterTime, this);

    if (!OpenPseudoTerminal(m_master, m_slave, m_strSlavePath, true, strError))
        return false;
    if (!m_options.m_strLink.empty()) {
        if (!ReplaceSymlink(m_strSlavePath, m_options.m_strLink, strError))
            return false;
        m_bLinkMade = true;
    }
    return true;
}

bool CAvrHost::LoadBoot(const std::string& strPath, std::string& strError)
{
    const auto pElf = std::make_unique<CElfFirmware>();
    const elf_firmware_t& firmware = pElf->m_firmware;
    if (elf_read_firmware(strPath.c_str(), &pElf->m_firmware) != 0 || !firmware.flash) {
        strError = strPath + ": not a firmware ELF";
        return false;
    }
    const uint32_t nBase = firmware.flashbase;
    const uint32_t nSize = firmware.flashsize;
    if (nBase < kBootStart || nBase + nSize > kFlashSize) {
        strError = strPath + ": not linked into the boot section (0x7000 to 0x7FFF)";
        return false;
    }
    std::memcpy(m_pAvr->flash + nBase, firmware.flash, nSize);
    return true;
}

bool CAvrHost::LoadApp(const std::string& strPath, std::string& strError)
{
    ihex_chunk_p pRead = nullptr;
    const int nChunks = read_ihex_chunks(strPath.c_str(), &pRead);
    const std::unique_ptr<ihex_chunk_t, CFreeChunks> chunks(pRead);
    // simavr's reader stops at the first line it cannot take and gives what
    // it had: a file with no data counts as unreadable.
    if (nChunks <= 0) {
        strError = strPath + ": not an Intel HEX file with data";
        return false;
    }
    for (int i = 0; i < nChunks; ++i) {
        const ihex_chunk_t& chunk = chunks.get()[i];
        if (chunk.baseaddr + chunk.size > kBootStart) {
            strError = strPath + ": reaches into the boot section";
            return false;
        }
    }
    for (int i = 0; i < nChunks; ++i)
        std::memcpy(m_pAvr->flash + chunks.get()[i].baseaddr, chunks.get()[i].data, chunks.get()[i].size);
    return true;
}

bool CAvrHost::SaveFlash(std::string& strError) const
{
    if (m_options.m_strFlash.empty() || !m_pAvr)
        return true;
    // A new file renamed over the old, so a kill mid-write leaves one whole.
    const std::string strTemporary = m_options.m_strFlash + ".new";
    {
        std::ofstream file(strTemporary, std::ios::binary | std::ios::trunc);
        file.write(reinterpret_cast<const char*>(m_pAvr->flash), kFlashSize);
        file.close();
        if (!file) {
            strError = strTemporary + ": cannot be written";
            return false;
        }
    }
    if (std::rename(strTemporary.c_str(), m_options.m_strFlash.c_str()) != 0) {
        strError = m_options.m_strFlash + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

uint64_t CAvrHost::Cycles() const
{
    return m_pAvr ? m_pAvr->cycle : 0;
}

uint64_t CAvrHost::CharacterCycles() const
{
    // Eleven bit times at the rate UBRR0 and U2X0 give: start, eight data,
    // stop, and the one more that simavr's UART counts per byte, so that it
    // has taken each byte before the next comes.
    const uint8_t* d = m_pAvr->data;
    const uint64_t nUbrr = ((d[kUbrr0h] & 0x0F) << 8 | d[kUbrr0l]) + 1;
    const uint64_t nPerBit = (d[kUcsr0a] & kDoubleSpeed) ? 8 : 16;
    return 11 * nPerBit * nUbrr;
}

void CAvrHost::OnOutput(avr_irq_t*, uint32_t nValue, void* pParam)
{
    auto* pHost = static_cast<CAvrHost*>(pParam);
    pHost->m_vecToHost.push_back(static_cast<uint8_t>(nValue));
}

uint64_t CAvrHost::OnCharacterTime(avr_t* pAvr, uint64_t nWhen, void* pParam)
{
    // One byte per character time reaches the UART, as the line delivers
    // them: simavr's own receive queue never fills, so what bounds sending
    // ahead is the firmware's buffer. A receiver that is off loses the byte.
    auto* pHost = static_cast<CAvrHost*>(pParam);
    if (!pHost->m_dqToDevice.empty()) {
        const uint8_t nByte = pHost->m_dqToDevice.front();
        pHost->m_dqToDevice.pop_front();
        if (pAvr->data[kUcsr0b] & kReceiverOn)
            avr_raise_irq(pHost->m_pInput, nByte);
        else
            ++pHost->m_nLost;
    }
    return nWhen + pHost->CharacterCycles();
}

void CAvrHost::OnSpmControl(avr_t*, uint16_t, uint8_t nValue, void* pParam)
{
    // Called after simavr's own handler of the register, which stores it.
    auto* pHost = static_cast<CAvrHost*>(pParam);
    if ((nValue & kSelfProgramEnable) && (nValue & (kPageErase | kPageWrite)))
        pHost->m_bSpmPending = true;
}

void CAvrHost::AfterInstruction()
{
    // simavr clears SELFPRGEN as its spm erases or writes the page at once;
    // from then on the operation is busy, as SPMCSR shows, until its time
    // is over.
    if (!m_bSpmPending || (m_pAvr->data[kSpmcsr] & kSelfProgramEnable))
        return;
    m_bSpmPending = false;
    m_pAvr->data[kSpmcsr] |= kSelfProgramEnable;
    avr_cycle_timer_register(m_pAvr, static_cast<uint64_t>(kSpmSeconds * kFrequency), OnSpmDone, this);
}

uint64_t CAvrHost::OnSpmDone(avr_t* pAvr, uint64_t, void*)
{
    pAvr->data[kSpmcsr] &= static_cast<uint8_t>(~kSelfProgramEnable);
    return 0;
}

void CAvrHost::PumpLine()
{
    uint8_t buffer[512];
    for (;;) {
        const ssize_t n = ::read(m_master.Get(), buffer, sizeof buffer);
        if (n <= 0)
            break;
        m_dqToDevice.insert(m_dqToDevice.end(), buffer, buffer + n);
    }
    if (m_dqToDevice.size() > kMaxPending)
        m_dqToDevice.erase(m_dqToDevice.begin(),
                           m_dqToDevice.begin() + static_cast<std::ptrdiff_t>(m_dqToDevice.size() - kMaxPending));
    size_t nSent = 0;
    while (nSent < m_vecToHost.size()) {
        const ssize_t n = ::write(m_master.Get(), m_vecToHost.data() + nSent, m_vecToHost.size() - nSent);
        if (n <= 0)
            break;
        nSent += static_cast<size_t>(n);
    }
    m_vecToHost.erase(m_vecToHost.begin(), m_vecToHost.begin() + static_cast<std::ptrdiff_t>(nSent));
    if (m_vecToHost.size() > kMaxPending)
        m_vecToHost.erase(m_vecToHost.begin(), m_vecToHost.end() - static_cast<std::ptrdiff_t>(kMaxPending));
}

bool CAvrHost::Run()
{
    using Clock = std::chrono::steady_clock;
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    const timespec noWait {0, 0};

    const auto start = Clock::now();
    const uint64_t nFirstCycle = m_pAvr->cycle;
    const uint64_t nStopCycle = m_options.m_dStopAfterSeconds > 0
                                    ? nFirstCycle + static_cast<uint64_t>(m_options.m_dStopAfterSeconds * kFrequency)
                                    : UINT64_MAX;
    bool bCrashed = false;
    while (m_pAvr->cycle < nStopCycle) {
        const uint64_t nSliceEnd = m_pAvr->cycle + kSliceCycles;
        while (m_pAvr->cycle < nSliceEnd) {
            const int nState = avr_run(m_pAvr);
            if (nState == cpu_Done || nState == cpu_Crashed) {
                bCrashed = true;
                break;
            }
            AfterInstruction();
            // simavr always takes interrupt vectors from address 0; with
            // IVSEL set the chip takes them from the boot section's start.
            if ((m_pAvr->data[kMcucr] & kVectorsInBoot) && m_pAvr->pc < kVectorTableEnd)
                m_pAvr->pc += kBootStart;
        }
        if (bCrashed)
            break;
        // A reset (the watchdog's) drops every cycle timer: the line's
        // comes back at once.
        if (avr_cycle_timer_status(m_pAvr, OnCharacterTime, this) == 0)
            avr_cycle_timer_register(m_pAvr, CharacterCycles(), OnCharacterTime, this);
        PumpLine();
        if (sigtimedwait(&signals, nullptr, &noWait) > 0)
            break;
        if (m_options.m_bFreeRun)
            continue;
        // Ahead of real time: wait for it, or for the host to write.
        const double dSimulated = static_cast<double>(m_pAvr->cycle - nFirstCycle) / kFrequency;
        const double dWall = std::chrono::duration<double>(Clock::now() - start).count();
        if (dSimulated > dWall) {
            pollfd pfd {m_master.Get(), POLLIN, 0};
            const auto nAheadNs = static_cast<long>((dSimulated - dWall) * 1e9);
            const timespec ahead {nAheadNs / 1000000000, nAheadNs % 1000000000};
            ::ppoll(&pfd, 1, &ahead, nullptr);
        }
    }
    m_dWallSeconds = std::chrono::duration<double>(Clock::now() - start).count();
    PumpLine();
    return !bCrashed;
}
