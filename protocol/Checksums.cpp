#include "protocol/Checksums.h"

namespace {
// Entry i is i * 0x1021 in GF(2): the CRC of one nibble.
constexpr uint16_t kNibbleTable[16] = {
    0x0000, 0x1021, 0x2042, 0x3063, 0x4084, 0x50A5, 0x60C6, 0x70E7,
    0x8108, 0x9129, 0xA14A, 0xB16B, 0xC18C, 0xD1AD, 0xE1CE, 0xF1EF,
};
}  // namespace

uint16_t Crc16(const uint8_t* pData, int nLength)
{
    const unsigned nCount = static_cast<unsigned>(nLength) & 0xFFFFu;
    uint16_t crc = 0;
    for (unsigned i = 0; i < nCount; ++i) {
        const unsigned byte = pData[i];
        crc = static_cast<uint16_t>((crc << 4) ^ kNibbleTable[(crc >> 12) ^ (byte >> 4)]);
        crc = static_cast<uint16_t>((crc << 4) ^ kNibbleTable[(crc >> 12) ^ (byte & 0x0F)]);
    }
    return crc;
}

uint32_t Sum8(const uint8_t* pData, int nLength)
{
    uint32_t sum = 0;
    for (int i = 0; i < nLength; ++i)
        sum += pData[i];
    return sum;
}
