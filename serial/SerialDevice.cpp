// The part of the serial device that every platform shares: handing out the
// bytes that FillBuffer took from the driver.
#include "serial/SerialDevice.h"

#include <algorithm>
#include <cstring>

EIoStatus CSerialDevice::ReadByte(uint8_t& value, int nTimeoutMs)
{
    if (!IsOpen())
        return EIoStatus::kError;
    if (m_nRxHead == m_nRxTail) {
        const EIoStatus status = FillBuffer(nTimeoutMs);
        if (status != EIoStatus::kOk)
            return status;
    }
    value = m_rxBuffer[m_nRxHead++];
    return EIoStatus::kOk;
}

size_t CSerialDevice::ReadAvailable(uint8_t* pBuffer, size_t nCapacity, EIoStatus& status)
{
    status = EIoStatus::kOk;
    if (!IsOpen()) {
        status = EIoStatus::kError;
        return 0;
    }
    size_t nDone = 0;
    while (nDone < nCapacity) {
        if (m_nRxHead == m_nRxTail) {
            const EIoStatus fill = FillBuffer(0);
            if (fill != EIoStatus::kOk) {
                if (fill != EIoStatus::kTimeout)
                    status = fill;
                break;
            }
        }
        const size_t nTake = std::min(nCapacity - nDone, m_nRxTail - m_nRxHead);
        std::memcpy(pBuffer + nDone, m_rxBuffer + m_nRxHead, nTake);
        m_nRxHead += nTake;
        nDone += nTake;
    }
    return nDone;
}
