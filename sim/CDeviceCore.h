#pragma once
// The device itself, without any I/O: parses the request stream, carries out
// commands on a 16 MiB memory and forms the replies, faults included. Not
// thread-safe; the simulator serialises every call.
#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "sim/SimConfig.h"

class CDeviceCore {
public:
    CDeviceCore();

    // Takes versions, statuses and faults; restarts the fault counters.
    void Configure(const CSimConfig& config);
    // Forgets a partly received frame (a new line starts clean).
    void ResetStream() { m_nHave = 0; }
    // True while part of a frame has been received.
    bool MidFrame() const { return m_nHave > 0; }

    // Parses the stream and appends every reply to out. Returns the bytes
    // consumed: fewer than nLength only when a vanish fault closed the line.
    int Feed(const uint8_t* pData, int nLength, std::vector<uint8_t>& out);
    // True once after a vanish fault hit.
    bool TakeVanishRequest();

    bool InIapMode() const { return m_bIapMode; }
    int CommandCount() const { return m_nCommands; }
    int LeaveCount() const { return m_nLeaves; }
    // Write commands (C2, C3) received, whatever their outcome.
    int WriteCommandCount() const { return m_nWriteCommands; }
    std::vector<std::vector<uint8_t>> ReceivedFrames() const;
    void ClearReceivedFrames();

    std::vector<uint8_t> ReadMemory(uint32_t nAddress, size_t nLength) const;
    void WriteMemory(uint32_t nAddress, const uint8_t* pData, size_t nLength);
    bool DumpMemory(const std::string& strPath, uint32_t nStart, uint32_t nLength) const;

private:
    // Room for the longest reply: status, 256 data bytes, closing byte.
    static constexpr int kMaxReply = 258;

    void HandleFrame(const uint8_t* pFrame, int nLength, std::vector<uint8_t>& out);
    int BuildIapReply(const uint8_t* pFrame, bool bRefuse, bool bMalformed);
    int BuildFlashReply(const uint8_t* pFrame, int nLength, bool bRefuse, bool bMalformed);
    uint8_t NaturalFlashStatus(const uint8_t* pFrame, int nLength) const;
    bool WriteRefused(uint32_t nAddress, int nCount) const;
    uint8_t ReadBack(uint32_t nAddress) const;
    void Trace(const char* pWhat, const uint8_t* pData, int nLength) const;

    std::vector<uint8_t> m_vecMemory;
    uint32_t m_nAddress = 0;
    bool m_bIapMode = false;
    bool m_bVanish = false;

    // Parser state for a frame split across reads.
    uint8_t m_abFrame[10] = {};
    int m_nHave = 0;
    int m_nNeed = 0;
    uint8_t m_abReply[kMaxReply] = {};

    int m_nCommands = 0;
    int m_nLeaves = 0;
    int m_nWriteCommands = 0;
    int m_nSinceConfig = 0;
    std::array<int, 256> m_anSeen {};  // frames per code since Configure
    // Received frames back to back; m_vecFrameEnds marks where each ends.
    std::vector<uint8_t> m_vecFrameBytes;
    std::vector<size_t> m_vecFrameEnds;

    // The configuration in the shape the hot path wants.
    CSimVersion m_appVersion;
    CSimVersion m_fwVersion;
    std::array<int, 256> m_anStatus {};  // -1: no override
    std::array<bool, 256> m_abFaulty {};
    std::vector<CSimFault> m_vecFaults;
    std::vector<uint32_t> m_vecRefused;  // sorted
    std::map<uint32_t, CCorruptByte> m_mapCorrupt;
    int m_nSilentAfter = -1;
    bool m_bFlashNeedsIapMode = false;
    bool m_bEraseOnEnter = false;
    bool m_bRecordFrames = true;
    bool m_bTrace = false;
    bool m_bEcho = false;
};
