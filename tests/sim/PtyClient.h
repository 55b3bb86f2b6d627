#pragma once
// The host end for simulator tests: the slave side of the pseudo-terminal,
// opened raw like a serial port, with reads that give up after a timeout.
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "core/CUniqueFd.h"

using Bytes = std::vector<uint8_t>;

class CPtyClient {
public:
    bool Open(const std::string& strPath);
    void Close() { m_fd.Reset(); }
    int Fd() const { return m_fd.Get(); }

    bool Write(const Bytes& vecData);
    // Up to nCount bytes, whatever has arrived when nTimeoutMs runs out.
    Bytes Read(size_t nCount, int nTimeoutMs = 2000);
    // Everything that arrives until the line stays quiet for nQuietMs.
    Bytes ReadUntilQuiet(int nQuietMs);
    Bytes Exchange(const Bytes& vecRequest, size_t nReply, int nTimeoutMs = 2000);
    // True when the far end is gone: hang-up on poll, EIO or end of file on read.
    bool SeesHangUp(int nTimeoutMs);

private:
    CUniqueFd m_fd;
};

// FE code payload[6] CRC-hi CRC-lo.
Bytes IapFrame(uint8_t nCode, const std::array<uint8_t, 6>& payload);
// FE code data[5] status CRC-hi CRC-lo, as the device should answer.
Bytes IapReply(uint8_t nCode, const std::array<uint8_t, 5>& data, uint8_t nStatus);
// code data... low byte of the sum.
Bytes FlashFrame(uint8_t nCode, const Bytes& vecData);
Bytes Concat(const std::vector<Bytes>& vecParts);
