#pragma once
// One serial port with blocking writes and one-byte reads, each giving up
// after kLinkTimeoutMs. Failures empty both queues; the link stays open.
#include <atomic>
#include <cstdint>
#include <string>

#include "serial/SerialDevice.h"

constexpr int kLinkTimeoutMs = 2000;
// The driver queue size: a write goes out in pieces of this many bytes.
constexpr int kLinkQueueSize = 1024;
// The least quiet time that ends a stale-input drop: a USB adapter may hold
// received bytes back for its latency timer (16 ms by default).
constexpr int kStaleQuietFloorMs = 20;

class CSerialLink {
public:
    CSerialLink();
    virtual ~CSerialLink();  // releases a port that is still open
    CSerialLink(const CSerialLink&) = delete;
    CSerialLink& operator=(const CSerialLink&) = delete;

    // Stored for the next Open.
    void SetLineParameters(int nBaudRate, int nParityCheck, uint8_t nParity, uint8_t nDataBits, uint8_t nStopBits);
    // Opens the device at strPath; nPortNumber is the COM number it stands for
    // (0 when the port was named by path).
    int Open(int nPortNumber, const std::string& strPath);
    void Close();
    bool IsOpen() const { return m_device.IsOpen(); }
    int GetPortNumber() const { return m_nPortNumber; }

    // Sends every byte, in pieces of kLinkQueueSize, or fails.
    int Write(const uint8_t* pData, int nLength);
    // One byte, zero-extended into *pValue.
    int ReadByte(uint32_t* pValue);
    // What has arrived, up to nCapacity bytes, without waiting; -1 on failure.
    int ReadAvailable(uint8_t* pBuffer, int nCapacity);
    // Drops every received byte not yet read, and what follows until the
    // line has been quiet for a few character times (bounded by the link's
    // time-out): the rest of a reply that was given up.
    void DropStaleInput();

    // Why the last failed call failed; empty before any failure.
    const std::string& GetLastFailure() const { return m_strLastFailure; }
    EIoStatus GetLastStatus() const { return m_lastStatus; }

private:
    int StaleQuietMs() const;
    void Fail(EIoStatus status, const std::string& strReason);
    // Checks the port is open and takes the busy flag; false (with the
    // reason recorded) when either fails.
    bool BeginTransfer();

    CSerialDevice m_device;
    int m_nPortNumber = 1;
    CLineSettings m_settings;
    // Set while a Write or ReadByte is in progress: an overlapping call
    // fails at once instead of disturbing the transfer.
    std::atomic<bool> m_bBusy {false};
    EIoStatus m_lastStatus = EIoStatus::kOk;
    std::string m_strLastFailure;
};
