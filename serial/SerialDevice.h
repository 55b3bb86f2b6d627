#pragma once
// The platform layer under CSerialLink: one serial device held open.
// This header is the seam between platforms; serial/posix implements it with
// termios, a Windows build implements it with overlapped I/O in serial/win32.
#include <cstddef>
#include <cstdint>
#include <string>

struct CLineSettings {
    int nBaudRate = 115200;   // any rate the driver takes, non-standard ones included
    bool bParityCheck = false;
    uint8_t nParity = 0;      // 0 none, 1 odd, 2 even, 3 mark, 4 space
    uint8_t nDataBits = 8;    // 5 to 8
    uint8_t nStopBits = 0;    // 0 one, 1 one and a half, 2 two
};

enum class EIoStatus {
    kOk,
    kTimeout,   // nothing (or not everything) moved within the limit
    kGone,      // the device went away: unplugged, or the far end closed
    kError,     // any other failure of the system call
};

class CSerialDevice {
public:
    CSerialDevice() = default;
    ~CSerialDevice();
    CSerialDevice(const CSerialDevice&) = delete;
    CSerialDevice& operator=(const CSerialDevice&) = delete;

    // Opens the device exclusively and applies the line settings. On failure
    // nothing is held and strError says why.
    bool Open(const std::string& strPath, const CLineSettings& settings, std::string& strError);
    void Close();
    bool IsOpen() const;

    // Writes all nLength bytes, waiting at most nTimeoutMs for the driver to
    // take them.
    EIoStatus Write(const uint8_t* pData, size_t nLength, int nTimeoutMs);
    // One byte, waiting at most nTimeoutMs for it to arrive.
    EIoStatus ReadByte(uint8_t& value, int nTimeoutMs);
    // The bytes that have already arrived, up to nCapacity; never waits.
    size_t ReadAvailable(uint8_t* pBuffer, size_t nCapacity, EIoStatus& status);
    // Drops everything queued in both directions, including bytes buffered here.
    void Purge();
    // Drops what has been received and not read, here and in the driver.
    void DropInput();

private:
    EIoStatus FillBuffer(int nTimeoutMs);

    int m_fd = -1;
    // Bytes read from the driver in one call and handed out one at a time.
    uint8_t m_rxBuffer[4096];
    size_t m_nRxHead = 0;
    size_t m_nRxTail = 0;
};
