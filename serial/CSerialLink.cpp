#include "serial/CSerialLink.h"

#include <algorithm>

#include <fmt/format.h>

namespace {

// Clears the busy flag on every way out of a transfer.
class CBusyScope {
public:
    explicit CBusyScope(std::atomic<bool>& bBusy) : m_bBusy(bBusy) {}
    ~CBusyScope() { m_bBusy.store(false, std::memory_order_release); }
    CBusyScope(const CBusyScope&) = delete;
    CBusyScope& operator=(const CBusyScope&) = delete;

private:
    std::atomic<bool>& m_bBusy;
};

const char* ReasonOf(EIoStatus status, bool bReading)
{
    switch (status) {
    case EIoStatus::kTimeout: return bReading ? "no reply within 2000 ms" : "the bytes did not leave within 2000 ms";
    case EIoStatus::kGone: return "the port is gone (unplugged, or the far end closed)";
    default: return bReading ? "reading from the port failed" : "writing to the port failed";
    }
}

}  // namespace

CSerialLink::CSerialLink()
{
    // Placeholder line settings; the channel always sets its own before Open.
    m_settings.nBaudRate = 10417;
    m_settings.bParityCheck = true;
    m_settings.nParity = 1;
    m_settings.nDataBits = 8;
    m_settings.nStopBits = 0;
}

CSerialLink::~CSerialLink()
{
    Close();
}

void CSerialLink::SetLineParameters(int nBaudRate, int nParityCheck, uint8_t nParity, uint8_t nDataBits,
                                    uint8_t nStopBits)
{
    m_settings.nBaudRate = nBaudRate;
    m_settings.bParityCheck = (nParityCheck & 1) != 0;
    m_settings.nParity = nParity;
    m_settings.nDataBits = nDataBits;
    m_settings.nStopBits = nStopBits;
}

int CSerialLink::Open(int nPortNumber, const std::string& strPath)
{
    m_nPortNumber = nPortNumber;
    std::string strError;
    if (strPath.empty()) {
        m_lastStatus = EIoStatus::kError;
        m_strLastFailure = fmt::format("COM{}: no device has this number (pin a device path to it in section "
                                       "[Ports] of the settings file)",
                                       nPortNumber);
        return 0;
    }
    if (!m_device.Open(strPath, m_settings, strError)) {
        m_lastStatus = EIoStatus::kError;
        m_strLastFailure = strPath + ": " + strError;
        return 0;
    }
    m_lastStatus = EIoStatus::kOk;
    return 1;
}

void CSerialLink::Close()
{
    m_device.Close();
}

void CSerialLink::Fail(EIoStatus status, const std::string& strReason)
{
    m_lastStatus = status;
    m_strLastFailure = strReason;
}

bool CSerialLink::BeginTransfer()
{
    if (!m_device.IsOpen()) {
        Fail(EIoStatus::kError, "the port is not open");
        return false;
    }
    if (m_bBusy.exchange(true, std::memory_order_acquire)) {
        Fail(EIoStatus::kError, "the port is busy with another transfer");
        return false;
    }
    return true;
}

int CSerialLink::Write(const uint8_t* pData, int nLength)
{
    if (!BeginTransfer())
        return 0;
    CBusyScope busy(m_bBusy);
    // Every byte goes out, a queue's worth at a time, each piece with its own
    // limit; a partial write is a failure, never a success.
    for (int nDone = 0; nDone < nLength;) {
        const int nPiece = std::min(nLength - nDone, kLinkQueueSize);
        const EIoStatus status = m_device.Write(pData + nDone, static_cast<size_t>(nPiece), kLinkTimeoutMs);
        if (status != EIoStatus::kOk) {
            m_device.Purge();
            Fail(status, ReasonOf(status, false));
            return 0;
        }
        nDone += nPiece;
    }
    return 1;
}

int CSerialLink::ReadByte(uint32_t* pValue)
{
    if (!BeginTransfer())
        return 0;
    CBusyScope busy(m_bBusy);
    uint8_t value = 0;
    const EIoStatus status = m_device.ReadByte(value, kLinkTimeoutMs);
    if (status != EIoStatus::kOk) {
        // A request still in the driver's queue never reached the device (the
        // line is held, by flow control say): that is the failure, not the
        // silence that follows from it.
        const bool bRequestHeld = status == EIoStatus::kTimeout && m_device.PendingOutput() > 0;
        // Whatever arrives late belongs to an exchange already given up.
        m_device.Purge();
        Fail(status, ReasonOf(status, !bRequestHeld));
        return 0;
    }
    *pValue = value;
    return 1;
}

int CSerialLink::ReadAvailable(uint8_t* pBuffer, int nCapacity)
{
    if (!m_device.IsOpen() || nCapacity <= 0)
        return 0;
    if (m_bBusy.exchange(true, std::memory_order_acquire)) {
        Fail(EIoStatus::kError, "the port is busy with another transfer");
        return -1;
    }
    CBusyScope busy(m_bBusy);
    EIoStatus status = EIoStatus::kOk;
    const size_t n = m_device.ReadAvailable(pBuffer, static_cast<size_t>(nCapacity), status);
    if (status != EIoStatus::kOk && n == 0) {
        Fail(status, ReasonOf(status, true));
        return -1;
    }
    return static_cast<int>(n);
}

int CSerialLink::StaleQuietMs() const
{
    // Five character times of 10 bits at the line's rate, but never below
    // what a USB adapter's latency timer may hold a byte back.
    const int nBaudRate = m_settings.nBaudRate > 0 ? m_settings.nBaudRate : 1;
    const int nCharactersMs = static_cast<int>((5LL * 10 * 1000 + nBaudRate - 1) / nBaudRate);
    return std::max(kStaleQuietFloorMs, nCharactersMs);
}

void CSerialLink::DropStaleInput()
{
    if (m_device.IsOpen())
        m_device.DropStaleInput(StaleQuietMs(), kLinkTimeoutMs);
}
