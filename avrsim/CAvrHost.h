#pragma once
// One ATmega328P in simavr: its flash kept in a file, its UART on a
// pseudo-terminal at the bit rate the firmware sets, its clock held to real
// time unless told to run free.
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "core/CUniqueFd.h"

struct avr_t;
struct avr_irq_t;

struct CAvrHostOptions {
    std::string m_strBoot;           // the bootloader's ELF, placed where it was linked
    std::string m_strApp;            // optional: an Intel HEX written over the flash at start
    std::string m_strFlash;          // optional: the flash file, read at start and written at the end
    std::string m_strLink;           // optional: a symbolic link to the line
    bool m_bFreeRun = false;         // as fast as the machine goes, not held to real time
    double m_dStopAfterSeconds = 0;  // of simulated time; 0: until a signal
};

class CAvrHost {
public:
    static constexpr uint32_t kFlashSize = 32 * 1024;
    static constexpr uint32_t kBootStart = 0x7000;
    static constexpr uint32_t kFrequency = 16000000;

    CAvrHost();
    ~CAvrHost();
    CAvrHost(const CAvrHost&) = delete;
    CAvrHost& operator=(const CAvrHost&) = delete;

    // Builds the device and its line; false with a reason in strError.
    bool Start(const CAvrHostOptions& options, std::string& strError);
    // Runs until a signal (SIGINT, SIGTERM, blocked by the caller) or the
    // simulated time is up; false when the firmware crashed.
    bool Run();
    // Writes the flash file; false with a reason.
    bool SaveFlash(std::string& strError) const;

    const std::string& SlavePath() const { return m_strSlavePath; }
    uint64_t Cycles() const;
    double WallSeconds() const { return m_dWallSeconds; }
    uint64_t LostBytes() const { return m_nLost; }

private:
    static void OnOutput(avr_irq_t* pIrq, uint32_t nValue, void* pParam);
    static uint64_t OnCharacterTime(avr_t* pAvr, uint64_t nWhen, void* pParam);
    static void OnSpmControl(avr_t* pAvr, uint16_t nAddress, uint8_t nValue, void* pParam);
    static uint64_t OnSpmDone(avr_t* pAvr, uint64_t nWhen, void* pParam);

    bool LoadBoot(const std::string& strPath, std::string& strError);
    bool LoadApp(const std::string& strPath, std::string& strError);
    uint64_t CharacterCycles() const;
    void PumpLine();
    void AfterInstruction();

    CAvrHostOptions m_options;
    avr_t* m_pAvr = nullptr;
    avr_irq_t* m_pInput = nullptr;
    CUniqueFd m_master;
    CUniqueFd m_slave;
    std::string m_strSlavePath;
    bool m_bLinkMade = false;
    std::deque<uint8_t> m_dqToDevice;
    std::vector<uint8_t> m_vecToHost;
    uint64_t m_nLost = 0;
    bool m_bSpmPending = false;  // a page erase or write asked for, its spm not yet run
    double m_dWallSeconds = 0;
};
