// Windows serial device: a COM port opened for overlapped I/O, with the
// driver's queues, time-outs and control block set as the protocol needs.
// No operation leaves a transfer pending when it returns: one that did not
// complete in time is cancelled and waited for, so an OVERLAPPED record is
// never reused while the driver still owns it.
#include "serial/SerialDevice.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstring>

#include <windows.h>

#include <fmt/format.h>

#include "core/win32/CUniqueHandle.h"
#include "core/win32/WideText.h"
#include "serial/ComPortMap.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr DWORD kQueueSize = 1024;
// How long a cancelled transfer may take to give its record back.
constexpr DWORD kCancelWaitMs = 2000;

DWORD RemainingMs(Clock::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? static_cast<DWORD>(left.count()) : 0;
}

// Why CreateFile failed, in the words the POSIX layer uses for the same cases.
std::string OpenErrorReason(DWORD nError)
{
    switch (nError) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME: return "not found (not plugged in, or a wrong name)";
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_GEN_FAILURE:
    case ERROR_BAD_UNIT: return "not found (the device is gone)";
    // A COM port that another program has open answers access denied.
    case ERROR_ACCESS_DENIED: return "access denied: held by another program, or not allowed to this user";
    case ERROR_SHARING_VIOLATION: return "held by another program";
    default: return "the system refused it: " + SystemErrorText(nError);
    }
}

// What a failed or short transfer means for the caller.
EIoStatus StatusOf(DWORD nError)
{
    switch (nError) {
    case ERROR_TIMEOUT:      // a driver time-out (Wine completes a read so)
    case ERROR_SEM_TIMEOUT:  // the same from some USB drivers
    case ERROR_COUNTER_TIMEOUT: return EIoStatus::kTimeout;
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_DEVICE_REMOVED:
    case ERROR_BAD_COMMAND:  // what a vanished USB adapter's driver answers
    case ERROR_GEN_FAILURE:
    case ERROR_INVALID_HANDLE:
    case ERROR_FILE_NOT_FOUND:
    case ERROR_OPERATION_ABORTED:
    case ERROR_BROKEN_PIPE: return EIoStatus::kGone;  // Wine: the far end of the line closed
    default: return EIoStatus::kError;
    }
}

}  // namespace

struct CSerialDevice::SPort {
    // Declared port first: the events close before the port does.
    CUniqueHandle port;
    CUniqueHandle readEvent;
    CUniqueHandle writeEvent;
    HANDLE hPort = INVALID_HANDLE_VALUE;  // port.Get(), named for the calls below
    OVERLAPPED readRecord {};
    OVERLAPPED writeRecord {};

    void ClearErrors(COMSTAT* pStatus = nullptr)
    {
        DWORD nErrors = 0;
        COMSTAT status {};
        ::ClearCommError(hPort, &nErrors, pStatus != nullptr ? pStatus : &status);
    }

    // Starts a transfer through record (whose event is hEvent) and waits at
    // most nTimeoutMs for it: kOk with the count moved, or why not. A transfer
    // still pending at the limit is cancelled; what it moved before the
    // cancel took hold still counts.
    EIoStatus Transfer(bool bWrite, void* pData, DWORD nLength, DWORD nTimeoutMs, DWORD& nMoved)
    {
        OVERLAPPED& record = bWrite ? writeRecord : readRecord;
        const HANDLE hEvent = bWrite ? writeEvent.Get() : readEvent.Get();
        record = OVERLAPPED {};
        record.hEvent = hEvent;
        nMoved = 0;
        const BOOL bDone = bWrite ? ::WriteFile(hPort, pData, nLength, &nMoved, &record)
                                  : ::ReadFile(hPort, pData, nLength, &nMoved, &record);
        if (bDone)
            return EIoStatus::kOk;
        const DWORD nError = ::GetLastError();
        if (nError != ERROR_IO_PENDING)
            return StatusOf(nError);
        if (::WaitForSingleObject(hEvent, nTimeoutMs) != WAIT_OBJECT_0) {
            // The record stays the driver's until the cancelled transfer
            // completes; wait for that before anything reuses it.
            ::CancelIoEx(hPort, &record);
            if (::WaitForSingleObject(hEvent, kCancelWaitMs) != WAIT_OBJECT_0)
                return EIoStatus::kError;
            ::GetOverlappedResult(hPort, &record, &nMoved, FALSE);
            return EIoStatus::kTimeout;
        }
        if (!::GetOverlappedResult(hPort, &record, &nMoved, FALSE))
            return StatusOf(::GetLastError());
        return EIoStatus::kOk;
    }
};

std::string SystemComPortPath(int nNumber)
{
    // The device-namespace form: plain "COM10" and up do not open.
    return nNumber > 0 ? fmt::format("\\\\.\\COM{}", nNumber) : std::string();
}

std::string DeviceIdentity(const std::string& strPath)
{
    // "\\.\COM5", "com5" and "COM5:" are one port, present or not: the
    // system opens it by that name alone.
    std::string strName = strPath;
    if (strName.starts_with("\\\\.\\"))
        strName.erase(0, 4);
    if (strName.ends_with(":"))
        strName.pop_back();
    if (int nNumber = 0; ParseComName(strName, nNumber))
        return ComName(nNumber);
    if (strPath.empty() || ::GetFileAttributesW(Utf8ToWide(strPath).c_str()) == INVALID_FILE_ATTRIBUTES)
        return std::string();
    // Case does not matter to Windows paths.
    std::string strKey = strPath;
    std::transform(strKey.begin(), strKey.end(), strKey.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return strKey;
}

CSerialDevice::CSerialDevice() = default;

CSerialDevice::~CSerialDevice()
{
    Close();
}

bool CSerialDevice::Open(const std::string& strPath, const CLineSettings& settings, std::string& strError)
{
    Close();
    auto pPort = std::make_unique<SPort>();
    // Share mode 0: a port another program holds does not open.
    pPort->port.Reset(::CreateFileW(Utf8ToWide(strPath).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr));
    if (!pPort->port.IsValid()) {
        strError = OpenErrorReason(::GetLastError());
        return false;
    }
    pPort->hPort = pPort->port.Get();
    // Manual-reset events, not signalled: each transfer resets its own.
    pPort->readEvent.Reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    pPort->writeEvent.Reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!pPort->readEvent.IsValid() || !pPort->writeEvent.IsValid()) {
        strError = "the system did not create an event: " + SystemErrorText(::GetLastError());
        return false;
    }
    // The driver's own limits lie beyond ours (2000 ms), so ours decide.
    COMMTIMEOUTS timeouts {};
    timeouts.ReadIntervalTimeout = 100;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = 5000;
    timeouts.WriteTotalTimeoutMultiplier = 50;
    timeouts.WriteTotalTimeoutConstant = 5000;
    ::SetCommTimeouts(pPort->hPort, &timeouts);
    if (!::SetupComm(pPort->hPort, kQueueSize, kQueueSize)) {
        strError = "the driver refused its queue sizes: " + SystemErrorText(::GetLastError());
        return false;
    }
    // Only what the protocol needs changes; hardware flow control, RTS and
    // the special characters stay as the driver reports them.
    DCB dcb {};
    dcb.DCBlength = sizeof dcb;
    ::GetCommState(pPort->hPort, &dcb);
    dcb.BaudRate = static_cast<DWORD>(settings.nBaudRate);
    dcb.fBinary = 1;
    dcb.fParity = settings.bParityCheck ? 1 : 0;
    dcb.fDtrControl = DTR_CONTROL_DISABLE;
    dcb.fAbortOnError = 0;
    // XON/XOFF would eat the protocol's 0x11 and 0x13 bytes.
    dcb.fOutX = 0;
    dcb.fInX = 0;
    dcb.ByteSize = settings.nDataBits;
    dcb.Parity = settings.nParity;
    dcb.StopBits = settings.nStopBits;
    if (!::SetCommState(pPort->hPort, &dcb)) {
        strError = fmt::format("the driver refused the line settings ({} bit/s): {}", settings.nBaudRate,
                               SystemErrorText(::GetLastError()));
        return false;
    }
    m_pPort = std::move(pPort);
    m_nRxHead = m_nRxTail = 0;
    return true;
}

void CSerialDevice::Close()
{
    if (m_pPort != nullptr)
        ::CancelIoEx(m_pPort->hPort, nullptr);
    m_pPort.reset();
    m_nRxHead = m_nRxTail = 0;
}

bool CSerialDevice::IsOpen() const
{
    return m_pPort != nullptr;
}

EIoStatus CSerialDevice::Write(const uint8_t* pData, size_t nLength, int nTimeoutMs)
{
    if (m_pPort == nullptr)
        return EIoStatus::kError;
    m_pPort->ClearErrors();
    const auto deadline = Clock::now() + std::chrono::milliseconds(nTimeoutMs);
    size_t nDone = 0;
    while (nDone < nLength) {
        const DWORD nPiece = static_cast<DWORD>(std::min<size_t>(nLength - nDone, kQueueSize));
        DWORD nMoved = 0;
        const EIoStatus status =
            m_pPort->Transfer(true, const_cast<uint8_t*>(pData + nDone), nPiece, RemainingMs(deadline), nMoved);
        if (status != EIoStatus::kOk)
            return status;
        if (nMoved == 0)
            return EIoStatus::kTimeout;  // the driver's own write limit passed
        nDone += nMoved;
    }
    return EIoStatus::kOk;
}

EIoStatus CSerialDevice::FillBuffer(int nTimeoutMs)
{
    // Take everything the driver holds in one read; only when it holds
    // nothing, wait for one byte. A reply then costs one wait, not one per byte.
    COMSTAT status {};
    m_pPort->ClearErrors(&status);
    DWORD nWanted = std::min<DWORD>(status.cbInQue, sizeof m_rxBuffer);
    if (nWanted == 0) {
        if (nTimeoutMs == 0)
            return EIoStatus::kTimeout;
        nWanted = 1;
    }
    DWORD nMoved = 0;
    const EIoStatus result = m_pPort->Transfer(false, m_rxBuffer, nWanted, static_cast<DWORD>(nTimeoutMs), nMoved);
    if (nMoved > 0) {
        // A byte that came as the wait ran out is a byte, not a time-out.
        m_nRxHead = 0;
        m_nRxTail = nMoved;
        return EIoStatus::kOk;
    }
    return result == EIoStatus::kOk ? EIoStatus::kTimeout : result;
}

void CSerialDevice::Purge()
{
    m_nRxHead = m_nRxTail = 0;
    if (m_pPort == nullptr)
        return;
    m_pPort->ClearErrors();
    // PurgeComm does not cancel a pending read everywhere (Wine's does not):
    // cancel first, so no transfer outlives its record.
    ::CancelIoEx(m_pPort->hPort, nullptr);
    ::PurgeComm(m_pPort->hPort, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
}

size_t CSerialDevice::PendingOutput() const
{
    if (m_pPort == nullptr)
        return 0;
    COMSTAT status {};
    m_pPort->ClearErrors(&status);
    return status.cbOutQue;
}

void CSerialDevice::DropStaleInput(int nQuietMs, int nLimitMs)
{
    m_nRxHead = m_nRxTail = 0;
    if (m_pPort == nullptr)
        return;
    ::PurgeComm(m_pPort->hPort, PURGE_RXCLEAR);
    // The purge takes only what has arrived; the rest of a reply may still be
    // on the line. Drop until nothing came for nQuietMs, bounded in all.
    const auto limit = Clock::now() + std::chrono::milliseconds(nLimitMs);
    while (RemainingMs(limit) > 0) {
        const int nWaitMs = static_cast<int>(std::min<DWORD>(static_cast<DWORD>(nQuietMs), RemainingMs(limit)));
        if (FillBuffer(nWaitMs) != EIoStatus::kOk)
            break;
        m_nRxHead = m_nRxTail = 0;
    }
    m_nRxHead = m_nRxTail = 0;
}
