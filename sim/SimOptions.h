#pragma once
// The text forms of the simulator's settings, shared by the command line and
// the tests. Byte values and command codes are hex ("c2", "0x55"); addresses,
// lengths and counts are decimal unless written with 0x.
#include <cstdint>
#include <string>
#include <vector>

#include "sim/SimConfig.h"

// "1.2.3", each number 0-255.
bool ParseVersion(const std::string& strText, CSimVersion& version);
// Decimal, or hex after 0x; at most nMax.
bool ParseNumber(const std::string& strText, uint32_t nMax, uint32_t& nValue);
// Hex with or without 0x, 00-FF.
bool ParseHexByte(const std::string& strText, uint8_t& nValue);
// "CODE:KIND[=ARG][@K]", kinds refuse, malformed, badcrc, silent, cut=N,
// garbage=N, vanish; K counts from 1.
bool ParseFault(const std::string& strText, CSimFault& fault, std::string& strError);
// "CODE=STATUS", both hex.
bool ParseStatus(const std::string& strText, uint8_t& nCode, uint8_t& nStatus);
// "ADDR" (reads back inverted) or "ADDR=VALUE" (reads back as hex VALUE).
bool ParseCorrupt(const std::string& strText, CCorruptByte& corrupt);
// "START:LEN" within the 24-bit memory.
bool ParseRange(const std::string& strText, uint32_t& nStart, uint32_t& nLength);
// "none", "cdc", "ftdi" or "ftdi:MS" (the latency timer, 1-255 ms).
bool ParseAdapter(const std::string& strText, EAdapter& eAdapter, int& nLatencyMs);
// Text with \xHH for any byte (a device's own code page, a control
// character) and \\ for a backslash; every other character stands for its
// own bytes. False on a backslash that starts neither.
bool ParseByteText(const std::string& strText, std::vector<uint8_t>& vecBytes);
