#pragma once
// The system's end of the device protocol: IAP frames (0xFE ... CRC-16,
// status 0x55/0xAA) and flash commands (code, data, 8-bit sum, status 0xCn),
// plus raw bytes for the terminal. Every exchange is a strict request and
// reply on the calling thread; nothing is retried.
#include <cstdint>
#include <deque>
#include <functional>
#include <string>

#include "serial/CSerialLink.h"

class CComPortMap;
class CMessageBoxes;

// IAP command codes.
constexpr uint8_t kIapIdentify = 0x03;
constexpr uint8_t kIapEnter = 0x02;
constexpr uint8_t kIapQuery = 0xE3;
constexpr uint8_t kIapLeave = 0xEC;
constexpr uint8_t kIapMarker = 0xFE;
constexpr uint8_t kIapAccepted = 0x55;
constexpr uint8_t kIapRefused = 0xAA;
constexpr int kIapFrameLength = 10;

// Flash command codes.
constexpr uint8_t kFlashSetAddress = 0xC1;
constexpr uint8_t kFlashWriteTwo = 0xC2;
constexpr uint8_t kFlashWriteOne = 0xC3;
constexpr uint8_t kFlashRead = 0xCA;
// The most data one flash read may bring back.
constexpr int kFlashMaxRead = 512;
// The most flash commands that may be sent ahead of their replies.
constexpr int kMaxWindow = 256;

// Told when every reply of a posted block has been checked: the block's tag
// and, for a read, the data read (null for a write).
using CBlockDone = std::function<void(int nTag, const uint8_t* pData)>;

class CDeviceChannel {
public:
    CDeviceChannel();
    virtual ~CDeviceChannel();  // the link releases a port still open
    CDeviceChannel(const CDeviceChannel&) = delete;
    CDeviceChannel& operator=(const CDeviceChannel&) = delete;

    // Where the protocol's message boxes go; none shows nothing.
    void SetMessageBoxes(CMessageBoxes* pBoxes) { m_pMessageBoxes = pBoxes; }
    // Where OpenPort finds the device path of a COM number; none opens nothing.
    void SetComPortMap(const CComPortMap* pComPorts) { m_pComPorts = pComPorts; }

    // Opens COM nPort (its device path from the COM-number map) at nBaudRate, 8N1.
    int OpenPort(int nPort, int nBaudRate);
    // Opens a device path directly (a port named by path, not by COM number).
    int OpenPortPath(const std::string& strPath, int nBaudRate);
    void ClosePort();
    // The latest reason: a failed open, or the last failed exchange.
    std::string GetErrorText() const { return m_strError; }
    // Why the last open failed, in the operator's words, naming the device.
    std::string GetOpenFailure() const { return m_link.GetLastFailure(); }

    int SendBytes(int nLength, const uint8_t* pData);
    int ReceiveBytes(int nCount, uint8_t* pBuffer);
    // What has arrived, up to nCapacity bytes, without waiting (the terminal's poll).
    int ReceiveAvailable(int nCapacity, uint8_t* pBuffer);

    int IapCommand(uint8_t nCode, uint8_t* pBuffer, int nFrameLength, int nReplyLength);
    // The reply's nReplyCount data bytes of a read (kFlashRead) go to
    // pReplyData; the request's own bytes are only read.
    int FlashCommand(uint8_t nCode, const uint8_t* pData, int nDataLength, int nReplyCount,
                     uint8_t* pReplyData = nullptr);
    int WriteBlock(int nAddress, int nLength, const uint8_t* pData);
    int ReadBlock(int nAddress, int nLength, uint8_t* pBuffer);

    // Send-ahead: up to nWindow flash commands on the line before their
    // replies are read (1 to kMaxWindow; 1 is the strict exchange).
    void SetWindow(int nWindow);
    int Window() const { return m_nWindow; }
    // The block's commands go out as WriteBlock's and ReadBlock's would, each
    // waiting only while the window is full; every reply is checked in order
    // as FlashCommand checks it. On the first failure nothing more is sent,
    // the replies still due are read (bounded by the link's limit), and the
    // result is 0 with FailedTag() the block whose reply failed, which may
    // be an earlier one than nTag.
    int PostWriteBlock(int nTag, int nAddress, int nLength, const uint8_t* pData, const CBlockDone& done);
    int PostReadBlock(int nTag, int nAddress, int nLength, const CBlockDone& done);
    // Reads and checks every reply still due; 0 on the first failure, as above.
    int FinishPosted(const CBlockDone& done);
    int FailedTag() const { return m_nFailedTag; }
    // The quickest IAP exchange since the port was opened, from the request's
    // first byte written to the reply's last byte read; -1 before any.
    long long FastestIapMicroseconds() const { return m_nFastestIapUs; }

    int m_bOpen = 0;

private:
    int OpenLink(int nPort, const std::string& strPath, int nBaudRate, const std::string& strName);
    int WriteFrame(uint8_t nCode, const uint8_t* pFrame, int nLength);
    int Failed();
    int ReadReplyByte(uint8_t nCode, uint8_t& value);
    void SetExchangeError(uint8_t nCode, const char* pWhat);
    void ShowMessageBox(const std::string& strText);
    int PostCommand(uint8_t nCode, const uint8_t* pData, int nDataLength, int nReplyCount, int nTag, bool bLast,
                    const CBlockDone& done);
    int CompleteOldest(const CBlockDone& done);
    int FailPosted(int nTag, const CBlockDone& done);
    int CheckReply(uint8_t nCode, int nReplyCount, uint8_t* pReply);

    // A flash command sent ahead whose reply is still due.
    struct CPosted {
        uint8_t nCode;
        int nReplyCount;
        int nTag;
        bool bLast;  // the last command of its block
    };

    CSerialLink m_link;
    std::string m_strError;
    CMessageBoxes* m_pMessageBoxes = nullptr;
    const CComPortMap* m_pComPorts = nullptr;
    // Set by a failed exchange: what is left of its reply is dropped before
    // the next request, so it cannot pose as that request's reply.
    bool m_bStaleInput = false;
    int m_nWindow = 1;
    std::deque<CPosted> m_dqPosted;
    int m_nFailedTag = -1;
    long long m_nFastestIapUs = -1;
};
