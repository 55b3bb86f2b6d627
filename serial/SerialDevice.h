#pragma once
// The platform layer under CSerialLink: one serial device held open.
// This header is the seam between platforms; serial/posix implements it with
// termios, a Windows build implements it with overlapped I/O in serial/win32.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

struct CLineSettings {
    int nBaudRate = 115200;  // any rate the driver takes, non-standard ones included
    bool bParityCheck = false;
    uint8_t nParity = 0;    // 0 none, 1 odd, 2 even, 3 mark, 4 space
    uint8_t nDataBits = 8;  // 5 to 8
    uint8_t nStopBits = 0;  // 0 one, 1 one and a half, 2 two
};

// The name the system itself gives COM nNumber ("\\.\COM12" on Windows, a
// form that works from COM10 up), or empty where COM numbers are only
// aliases that the COM map gives device paths (POSIX).
std::string SystemComPortPath(int nNumber);
// What strPath leads to now, one text for every name of one device, so that
// two spellings of a port are told from two ports: on POSIX the device number
// of a character device (links followed), else the file system and inode of
// what the path names; on Windows the COM name however written ("COM5" for
// "\\.\com5"), else the path in capitals. Empty when the path leads nowhere.
std::string DeviceIdentity(const std::string& strPath);

enum class EIoStatus {
    kOk,
    kTimeout,  // nothing (or not everything) moved within the limit
    kGone,     // the device went away: unplugged, or the far end closed
    kError,    // any other failure of the system call
};

class CSerialDevice {
public:
    CSerialDevice();
    ~CSerialDevice();
    CSerialDevice(const CSerialDevice&) = delete;
    CSerialDevice& operator=(const CSerialDevice&) = delete;

    // Opens the device exclusively and puts the line fully raw with the
    // given settings. On failure nothing is held and strError says why in
    // the operator's words (not found, permission, held by whom, not serial).
    bool Open(const std::string& strPath, const CLineSettings& settings, std::string& strError);
    void Close();
    bool IsOpen() const;

    // Writes all nLength bytes, waiting at most nTimeoutMs for the driver to
    // take them.
    EIoStatus Write(const uint8_t* pData, size_t nLength, int nTimeoutMs);
    // Bytes the driver took but has not yet put on the line (0 where the
    // driver cannot tell). Asked only when a reply failed to come, to tell a
    // held line from a silent device without a drain on every write.
    size_t PendingOutput() const;
    // One byte, waiting at most nTimeoutMs for it to arrive.
    EIoStatus ReadByte(uint8_t& value, int nTimeoutMs);
    // The bytes that have already arrived, up to nCapacity; never waits.
    size_t ReadAvailable(uint8_t* pBuffer, size_t nCapacity, EIoStatus& status);
    // Drops everything queued in both directions, including bytes buffered here.
    void Purge();
    // Drops what has been received and not read, here and in the driver,
    // and goes on dropping until the line has been quiet for nQuietMs (at
    // most nLimitMs in all): the rest of a reply may still be on its way.
    void DropStaleInput(int nQuietMs, int nLimitMs);

private:
    // Reads what the driver holds into the buffer, waiting at most
    // nTimeoutMs for a first byte (the platform's part of reading).
    EIoStatus FillBuffer(int nTimeoutMs);

#ifdef _WIN32
    // The port handle, its two events and overlapped records, defined in
    // win32/SerialDevice.cpp so that <windows.h> stays out of this header.
    struct SPort;
    std::unique_ptr<SPort> m_pPort;
#else
    int m_fd = -1;
#endif
    // Bytes read from the driver in one call and handed out one at a time.
    uint8_t m_rxBuffer[4096];
    size_t m_nRxHead = 0;
    size_t m_nRxTail = 0;
};
