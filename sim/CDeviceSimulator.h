#pragma once
// The simulated device on a pseudo-terminal: a serving thread owned by this
// object answers the host on the slave side. Every public method may be
// called from any thread while it serves.
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sim/CDeviceCore.h"
#include "core/CUniqueFd.h"
#include "sim/SimConfig.h"

class CDeviceSimulator {
public:
    explicit CDeviceSimulator(const CSimConfig& config = CSimConfig());
    ~CDeviceSimulator();  // stops
    CDeviceSimulator(const CDeviceSimulator&) = delete;
    CDeviceSimulator& operator=(const CDeviceSimulator&) = delete;

    // Creates the pseudo-terminal (and link) and starts serving. Memory and
    // counters carry over from an earlier Start; the line starts fresh.
    bool Start(std::string* pError = nullptr);
    // Stops serving, closes the line, removes the link. Never blocks on the host.
    void Stop();
    bool IsRunning() const;
    std::string SlavePath() const;

    // Takes effect at once; fault counters and the silent-after count restart.
    // A new link path only takes effect at the next Start.
    void Configure(const CSimConfig& config);
    CSimConfig Config() const;

    // Every complete command frame received, in order, garbage left out.
    std::vector<std::vector<uint8_t>> ReceivedFrames() const;
    void ClearReceivedFrames();
    // Commands received since construction (bad checksums included).
    int CommandCount() const;
    // Leave-IAP commands carried out.
    int LeaveCount() const;
    bool InIapMode() const;

    // The memory as stored (read-back faults do not show here).
    std::vector<uint8_t> ReadMemory(uint32_t nAddress, size_t nLength) const;
    void WriteMemory(uint32_t nAddress, const std::vector<uint8_t>& vecData);
    bool DumpMemory(const std::string& strPath) const;
    bool DumpMemory(const std::string& strPath, uint32_t nStart, uint32_t nLength) const;

    // Closes the line now: the host sees the far end gone. Waits until done.
    void Vanish();
    bool Vanished() const;
    // Queues bytes for the host as if the device had sent them unasked.
    void SendRaw(const std::vector<uint8_t>& vecData);
    // Waits until every queued byte is written and the host has read it all.
    bool Flush(int nTimeoutMs);
    // Bytes lost because the device's receive buffer was full.
    int LostBytes() const;

private:
    struct CTimedByte {
        int64_t m_nDue;
        uint8_t m_nByte;
    };

    void Serve();
    void Wake();
    void ReceiveFromLine(int64_t nNow);
    void ProcessDueBytes(int64_t nNow);
    void Schedule(size_t nFrom, int64_t nStart);
    void WriteDueBytes(int64_t nNow);
    size_t PendingTx() const { return m_vecTx.size() - m_nTxHead; }
    void CloseLine();
    void ApplyTiming(const CSimConfig& config);
    int64_t Release(int64_t nAtUart, size_t nIndex);
    void HandleDeviceByte(int64_t nAt);
    // Queues the application's banner when it is due.
    void SendBanner(int64_t nNow);

    mutable std::mutex m_mutex;
    std::condition_variable m_cvLineClosed;
    CSimConfig m_config;
    CDeviceCore m_core;

    CUniqueFd m_fdMaster;
    CUniqueFd m_fdSlave;
    CUniqueFd m_fdWake;
    std::string m_strSlavePath;
    std::string m_strLinkMade;
    std::thread m_thread;
    bool m_bStopRequested = false;
    bool m_bVanishRequested = false;
    bool m_bVanished = false;

    // Bytes waiting for the host; with line-time emulation each has a due time.
    std::vector<uint8_t> m_vecTx;
    std::vector<int64_t> m_vecTxDue;
    size_t m_nTxHead = 0;
    // Line-time emulation: received bytes wait until they would have arrived.
    std::deque<CTimedByte> m_dqRx;
    int64_t m_nByteNs = 0;  // 0: no line time
    int64_t m_nRxFree = 0;  // when each line is next idle
    int64_t m_nTxFree = 0;
    // Any of line time, an adapter or the device's limits: every byte has a
    // due time, and received bytes pass through the device's buffer.
    bool m_bTimed = false;
    // Received bytes in the device's buffer, not yet handled, with their arrival.
    std::deque<CTimedByte> m_dqDevice;
    int64_t m_nBusyUntil = 0;    // the device programs flash until then
    int64_t m_nLastHandled = 0;  // when the device last took a byte
    int m_nLostBytes = 0;
    // The FTDI packet being gathered: its bytes, and when the timer sends it.
    int m_nPacketBytes = 0;
    int64_t m_nPacketDeadline = 0;
    // The application's banner: the leaves it has answered, and when it is
    // next due (INT64_MAX: not running).
    int m_nBannerLeaves = 0;
    int64_t m_nBannerDue = INT64_MAX;
};
