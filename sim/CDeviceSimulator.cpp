#include "sim/CDeviceSimulator.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <optional>
#include <climits>
#include <cstdio>
#include <cstring>

#include "sim/PseudoTerminal.h"

namespace {
// A host that stops reading loses replies beyond this backlog.
constexpr size_t kMaxBacklog = 4u << 20;
constexpr size_t kReadChunk = 4096;
constexpr int64_t kUsbFrameNs = 1'000'000;
// A device that can lose bytes forgets a partly received frame after this
// much quiet, as firmware's frame timer does: an overrun must not leave a
// stale half frame in front of the next host's first request.
constexpr int64_t kFrameGapNs = 20'000'000;

// The start of the next 1 ms USB frame after nAt.
int64_t NextUsbFrame(int64_t nAt)
{
    return (nAt / kUsbFrameNs + 1) * kUsbFrameNs;
}

int64_t NowNs()
{
    using namespace std::chrono;
    return duration_cast<nanoseconds>(steady_clock::now().time_since_epoch()).count();
}
}  // namespace

CDeviceSimulator::CDeviceSimulator(const CSimConfig& config) : m_config(config)
{
    m_core.Configure(config);
    ApplyTiming(config);
}

CDeviceSimulator::~CDeviceSimulator()
{
    Stop();
}

bool CDeviceSimulator::Start(std::string* pError)
{
    std::string strError;
    std::lock_guard lock(m_mutex);
    if (m_thread.joinable()) {
        if (pError)
            *pError = "already running";
        return false;
    }
    m_fdWake.Reset(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
    if (!m_fdWake.IsValid()) {
        if (pError)
            *pError = std::string("eventfd: ") + std::strerror(errno);
        return false;
    }
    if (!OpenPseudoTerminal(m_fdMaster, m_fdSlave, m_strSlavePath, !m_config.m_bTtyDefaults, strError) ||
        (!m_config.m_strLinkPath.empty() && !ReplaceSymlink(m_strSlavePath, m_config.m_strLinkPath, strError))) {
        m_fdMaster.Reset();
        m_fdSlave.Reset();
        m_fdWake.Reset();
        if (pError)
            *pError = strError;
        return false;
    }
    m_strLinkMade = m_config.m_strLinkPath;
    m_core.ResetStream();
    m_vecTx.clear();
    m_vecTxDue.clear();
    m_nTxHead = 0;
    m_dqRx.clear();
    m_dqDevice.clear();
    m_nRxFree = m_nTxFree = m_nBusyUntil = m_nLastHandled = 0;
    m_nPacketBytes = 0;
    m_bStopRequested = m_bVanishRequested = m_bVanished = false;
    m_thread = std::thread(&CDeviceSimulator::Serve, this);
    return true;
}

void CDeviceSimulator::Stop()
{
    {
        std::lock_guard lock(m_mutex);
        if (!m_thread.joinable())
            return;
        m_bStopRequested = true;
        Wake();
    }
    m_thread.join();
    std::lock_guard lock(m_mutex);
    CloseLine();
    m_fdWake.Reset();
    if (!m_strLinkMade.empty()) {
        // Only our own link goes: another simulator may have taken the name since.
        char acTarget[256];
        const ssize_t n = readlink(m_strLinkMade.c_str(), acTarget, sizeof(acTarget) - 1);
        if (n > 0 && std::string(acTarget, static_cast<size_t>(n)) == m_strSlavePath)
            unlink(m_strLinkMade.c_str());
        m_strLinkMade.clear();
    }
}

bool CDeviceSimulator::IsRunning() const
{
    std::lock_guard lock(m_mutex);
    return m_thread.joinable();
}

std::string CDeviceSimulator::SlavePath() const
{
    std::lock_guard lock(m_mutex);
    return m_strSlavePath;
}

void CDeviceSimulator::Configure(const CSimConfig& config)
{
    std::lock_guard lock(m_mutex);
    m_config = config;
    m_core.Configure(config);
    ApplyTiming(config);
    Wake();
}

CSimConfig CDeviceSimulator::Config() const
{
    std::lock_guard lock(m_mutex);
    return m_config;
}

std::vector<std::vector<uint8_t>> CDeviceSimulator::ReceivedFrames() const
{
    std::lock_guard lock(m_mutex);
    return m_core.ReceivedFrames();
}

void CDeviceSimulator::ClearReceivedFrames()
{
    std::lock_guard lock(m_mutex);
    m_core.ClearReceivedFrames();
}

int CDeviceSimulator::CommandCount() const
{
    std::lock_guard lock(m_mutex);
    return m_core.CommandCount();
}

int CDeviceSimulator::LeaveCount() const
{
    std::lock_guard lock(m_mutex);
    return m_core.LeaveCount();
}

bool CDeviceSimulator::InIapMode() const
{
    std::lock_guard lock(m_mutex);
    return m_core.InIapMode();
}

std::vector<uint8_t> CDeviceSimulator::ReadMemory(uint32_t nAddress, size_t nLength) const
{
    std::lock_guard lock(m_mutex);
    return m_core.ReadMemory(nAddress, nLength);
}

void CDeviceSimulator::WriteMemory(uint32_t nAddress, const std::vector<uint8_t>& vecData)
{
    std::lock_guard lock(m_mutex);
    m_core.WriteMemory(nAddress, vecData.data(), vecData.size());
}

bool CDeviceSimulator::DumpMemory(const std::string& strPath) const
{
    return DumpMemory(strPath, 0, kSimMemorySize);
}

bool CDeviceSimulator::DumpMemory(const std::string& strPath, uint32_t nStart, uint32_t nLength) const
{
    std::lock_guard lock(m_mutex);
    return m_core.DumpMemory(strPath, nStart, nLength);
}

void CDeviceSimulator::Vanish()
{
    std::unique_lock lock(m_mutex);
    if (!m_thread.joinable()) {
        CloseLine();
        return;
    }
    m_bVanishRequested = true;
    Wake();
    // The serving thread closes the line: it may be polling the master now.
    m_cvLineClosed.wait(lock, [this] { return m_bVanished || m_bStopRequested; });
}

bool CDeviceSimulator::Vanished() const
{
    std::lock_guard lock(m_mutex);
    return m_bVanished;
}

void CDeviceSimulator::SendRaw(const std::vector<uint8_t>& vecData)
{
    std::lock_guard lock(m_mutex);
    if (!m_fdMaster.IsValid())
        return;
    const size_t nFrom = m_vecTx.size();
    m_vecTx.insert(m_vecTx.end(), vecData.begin(), vecData.end());
    Schedule(nFrom, NowNs());
    Wake();
}

int CDeviceSimulator::LostBytes() const
{
    std::lock_guard lock(m_mutex);
    return m_nLostBytes;
}

bool CDeviceSimulator::Flush(int nTimeoutMs)
{
    // Bytes written to the master reach the slave's queue a moment later
    // (the kernel pushes them from a work item), so an empty queue counts
    // only once it has stayed empty for a while.
    constexpr auto kSettled = std::chrono::milliseconds(50);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(nTimeoutMs);
    bool bWasEmpty = false;
    std::chrono::steady_clock::time_point emptySince {};
    for (;;) {
        {
            std::lock_guard lock(m_mutex);
            if (!m_fdMaster.IsValid())
                return false;
            int nUnread = 0;
            const bool bEmpty = PendingTx() == 0 && m_dqRx.empty() && m_dqDevice.empty() &&
                                ioctl(m_fdSlave.Get(), FIONREAD, &nUnread) == 0 && nUnread == 0;
            const auto now = std::chrono::steady_clock::now();
            if (!bEmpty) {
                bWasEmpty = false;
            } else if (!bWasEmpty) {
                bWasEmpty = true;
                emptySince = now;
            } else if (now - emptySince >= kSettled) {
                return true;
            }
        }
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

void CDeviceSimulator::Wake()
{
    const uint64_t nOne = 1;
    // A full counter already means "wake up"; nothing to handle on failure.
    if (m_fdWake.IsValid() && write(m_fdWake.Get(), &nOne, sizeof(nOne)) < 0)
        return;
}

void CDeviceSimulator::ApplyTiming(const CSimConfig& config)
{
    m_nByteNs = config.m_nBaudRate > 0 ? 10'000'000'000LL / config.m_nBaudRate : 0;
    m_bTimed =
        m_nByteNs != 0 || config.m_eAdapter != EAdapter::kNone || config.m_nRxBuffer > 0 || config.m_nWriteUs > 0;
    // Bytes queued under the old setting go out as soon as possible.
    m_vecTxDue.assign(m_vecTx.size(), 0);
    m_nPacketBytes = 0;
    if (!m_bTimed) {
        // Bytes on their way into the device arrive now.
        std::vector<uint8_t> vecWaiting;
        for (const CTimedByte& byte : m_dqDevice)
            vecWaiting.push_back(byte.m_nByte);
        for (const CTimedByte& byte : m_dqRx)
            vecWaiting.push_back(byte.m_nByte);
        m_dqDevice.clear();
        m_dqRx.clear();
        m_core.Feed(vecWaiting.data(), static_cast<int>(vecWaiting.size()), m_vecTx);
    }
}

int64_t CDeviceSimulator::Release(int64_t nAtUart, size_t nIndex)
{
    switch (m_config.m_eAdapter) {
    case EAdapter::kNone: return nAtUart;
    case EAdapter::kCdc: return NextUsbFrame(nAtUart);
    case EAdapter::kFtdi: break;
    }
    if (m_nPacketBytes > 0 && nAtUart < m_nPacketDeadline) {
        if (++m_nPacketBytes < kSimFtdiPacket)
            return m_nPacketDeadline;
        // A full packet goes at once, with the bytes gathered before it (all
        // still unsent: they were due at the deadline, which lies ahead).
        for (size_t i = nIndex, n = 1; i > m_nTxHead && n < kSimFtdiPacket; --i, ++n)
            m_vecTxDue[i - 1] = nAtUart;
        m_nPacketBytes = 0;
        return nAtUart;
    }
    m_nPacketBytes = 1;
    m_nPacketDeadline = nAtUart + static_cast<int64_t>(m_config.m_nLatencyMs) * 1'000'000;
    return m_nPacketDeadline;
}

void CDeviceSimulator::Schedule(size_t nFrom, int64_t nStart)
{
    if (!m_bTimed)
        return;
    int64_t nDue = std::max(m_nTxFree, nStart);
    m_vecTxDue.resize(m_vecTx.size());
    for (size_t i = nFrom; i < m_vecTx.size(); ++i) {
        nDue += m_nByteNs;
        m_vecTxDue[i] = Release(nDue, i);
    }
    m_nTxFree = nDue;
}

void CDeviceSimulator::Serve()
{
    std::unique_lock lock(m_mutex);
    while (!m_bStopRequested) {
        // When the next queued byte falls due, if anything waits on the clock.
        const int64_t nNow = NowNs();
        int64_t nWake = LLONG_MAX;
        bool bWantOut = false;
        if (PendingTx() > 0) {
            const int64_t nDue = m_bTimed ? m_vecTxDue[m_nTxHead] : 0;
            if (nDue <= nNow)
                bWantOut = true;
            else
                nWake = nDue;
        }
        if (!m_dqRx.empty())
            nWake = std::min(nWake, m_dqRx.front().m_nDue);
        if (!m_dqDevice.empty())
            nWake = std::min(nWake, std::max(m_nBusyUntil, m_dqDevice.front().m_nDue));
        nWake = std::min(nWake, m_nBannerDue);

        pollfd aFds[2] = {{m_fdWake.Get(), POLLIN, 0}, {m_fdMaster.Get(), POLLIN, 0}};
        if (bWantOut)
            aFds[1].events |= POLLOUT;
        const nfds_t nFds = m_fdMaster.IsValid() ? 2 : 1;
        timespec timeout {};
        if (nWake != LLONG_MAX) {
            const int64_t nWait = std::max<int64_t>(0, nWake - nNow);
            timeout.tv_sec = nWait / 1'000'000'000;
            timeout.tv_nsec = nWait % 1'000'000'000;
        }
        lock.unlock();
        const int nReady = ppoll(aFds, nFds, nWake == LLONG_MAX ? nullptr : &timeout, nullptr);
        lock.lock();
        if (nReady < 0 && errno != EINTR)
            break;
        if (aFds[0].revents & POLLIN) {
            uint64_t nCount = 0;
            if (read(m_fdWake.Get(), &nCount, sizeof(nCount)) < 0)
                nCount = 0;  // already drained
        }
        if (m_bVanishRequested) {
            CloseLine();
            continue;
        }
        if (!m_fdMaster.IsValid())
            continue;
        const int64_t nAfter = NowNs();
        if (nFds == 2 && (aFds[1].revents & POLLIN))
            ReceiveFromLine(nAfter);
        ProcessDueBytes(nAfter);
        SendBanner(nAfter);
        WriteDueBytes(nAfter);
        if (m_core.TakeVanishRequest())
            CloseLine();
    }
}

void CDeviceSimulator::SendBanner(int64_t nNow)
{
    // Each leave starts the application afresh: its banner comes at once,
    // after the leave's reply.
    if (m_core.LeaveCount() != m_nBannerLeaves) {
        m_nBannerLeaves = m_core.LeaveCount();
        m_nBannerDue = nNow;
    }
    if (m_core.InIapMode() || m_config.m_vecAppBanner.empty()) {
        m_nBannerDue = INT64_MAX;
        return;
    }
    if (m_nBannerDue > nNow)
        return;
    const size_t nFrom = m_vecTx.size();
    m_vecTx.insert(m_vecTx.end(), m_config.m_vecAppBanner.begin(), m_config.m_vecAppBanner.end());
    m_vecTx.push_back('\r');
    m_vecTx.push_back('\n');
    Schedule(nFrom, nNow);
    m_nBannerDue = nNow + static_cast<int64_t>(kSimBannerPeriodMs) * 1'000'000;
}

void CDeviceSimulator::ReceiveFromLine(int64_t nNow)
{
    uint8_t abBuffer[kReadChunk];
    const ssize_t nRead = read(m_fdMaster.Get(), abBuffer, sizeof(abBuffer));
    if (nRead <= 0)
        return;
    if (!m_bTimed) {  // the hot path: straight into the device
        m_core.Feed(abBuffer, static_cast<int>(nRead), m_vecTx);
        return;
    }
    // An adapter passes the host's bytes on at its next USB frame; each byte
    // then takes one byte time after the line was last free.
    const int64_t nAtAdapter = m_config.m_eAdapter == EAdapter::kNone ? nNow : NextUsbFrame(nNow);
    for (ssize_t i = 0; i < nRead; ++i) {
        m_nRxFree = std::max(m_nRxFree, nAtAdapter) + m_nByteNs;
        m_dqRx.push_back({m_nRxFree, abBuffer[i]});
    }
}

void CDeviceSimulator::HandleDeviceByte(int64_t nAt)
{
    const CTimedByte byte = m_dqDevice.front();
    m_dqDevice.pop_front();
    if (m_config.m_nRxBuffer > 0 && m_core.MidFrame() && nAt - m_nLastHandled > kFrameGapNs)
        m_core.ResetStream();
    m_nLastHandled = nAt;
    const size_t nFrom = m_vecTx.size();
    const int nWrites = m_core.WriteCommandCount();
    m_core.Feed(&byte.m_nByte, 1, m_vecTx);
    int64_t nReplyAt = nAt;
    if (m_config.m_nWriteUs > 0 && m_core.WriteCommandCount() != nWrites) {
        m_nBusyUntil = nAt + static_cast<int64_t>(m_config.m_nWriteUs) * 1000;
        nReplyAt = m_nBusyUntil;
    }
    if (m_vecTx.size() > nFrom)
        Schedule(nFrom, nReplyAt);
}

void CDeviceSimulator::ProcessDueBytes(int64_t nNow)
{
    // Events in time order, one byte at a time, so each reply starts when its
    // request's last byte was handled: a byte arrives in the device's buffer
    // (or is lost when it is full), and the device takes its oldest byte when
    // it is not busy programming flash.
    for (;;) {
        const int64_t nArrival = !m_dqRx.empty() && m_dqRx.front().m_nDue <= nNow ? m_dqRx.front().m_nDue : LLONG_MAX;
        const int64_t nReady = m_dqDevice.empty() ? LLONG_MAX : std::max(m_nBusyUntil, m_dqDevice.front().m_nDue);
        if (nReady <= nNow && nReady <= nArrival) {
            HandleDeviceByte(nReady);
            if (m_core.TakeVanishRequest()) {
                CloseLine();
                return;
            }
        } else if (nArrival != LLONG_MAX) {
            const CTimedByte byte = m_dqRx.front();
            m_dqRx.pop_front();
            if (m_config.m_nRxBuffer > 0 && m_dqDevice.size() >= static_cast<size_t>(m_config.m_nRxBuffer)) {
                ++m_nLostBytes;
                if (m_config.m_bTrace)
                    std::fprintf(stderr, "vantrel-sim: receive buffer full, byte %02X lost\n", byte.m_nByte);
            } else {
                m_dqDevice.push_back(byte);
            }
        } else {
            return;
        }
    }
}

void CDeviceSimulator::WriteDueBytes(int64_t nNow)
{
    size_t nDue = PendingTx();
    if (m_bTimed) {
        nDue = 0;
        while (m_nTxHead + nDue < m_vecTx.size() && m_vecTxDue[m_nTxHead + nDue] <= nNow)
            ++nDue;
    }
    if (nDue > 0) {
        const ssize_t nWritten = write(m_fdMaster.Get(), m_vecTx.data() + m_nTxHead, nDue);
        if (nWritten > 0)
            m_nTxHead += static_cast<size_t>(nWritten);
    }
    if (m_nTxHead == m_vecTx.size() || PendingTx() > kMaxBacklog) {
        m_vecTx.clear();  // keeps its capacity: no allocation in the steady state
        m_vecTxDue.clear();
        m_nTxHead = 0;
    } else if (m_nTxHead >= kReadChunk && m_nTxHead * 2 >= m_vecTx.size()) {
        const auto nHead = static_cast<std::ptrdiff_t>(m_nTxHead);
        m_vecTx.erase(m_vecTx.begin(), m_vecTx.begin() + nHead);
        if (m_bTimed)
            m_vecTxDue.erase(m_vecTxDue.begin(), m_vecTxDue.begin() + nHead);
        m_nTxHead = 0;
    }
}

void CDeviceSimulator::CloseLine()
{
    const bool bWasOpen = m_fdMaster.IsValid();
    m_fdMaster.Reset();
    m_fdSlave.Reset();
    m_vecTx.clear();
    m_vecTxDue.clear();
    m_nTxHead = 0;
    m_dqRx.clear();
    m_dqDevice.clear();
    m_nPacketBytes = 0;
    m_bVanishRequested = false;
    if (bWasOpen && !m_bStopRequested)
        m_bVanished = true;
    m_cvLineClosed.notify_all();
}
