#pragma once
// Check values of the two frame kinds on the serial line.
#include <cstdint>

// CRC-16/XMODEM (polynomial 0x1021, initial 0, no reflection), computed a
// nibble at a time. The length is taken modulo 65536, as the device does.
uint16_t Crc16(const uint8_t* pData, int nLength);

// Plain sum of the bytes; a flash frame carries its low 8 bits.
uint32_t Sum8(const uint8_t* pData, int nLength);
