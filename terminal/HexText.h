#pragma once
// The terminal's hexadecimal sending: "0A 1B" or "0A1B" become the bytes
// 0x0A 0x1B. Spaces separate byte pairs; anything else ends the conversion.
#include <cstdint>
#include <string>
#include <vector>

#include "core/TextNumber.h"  // HexDigitValue

// Fills bytes with the pairs converted before the first stop; returns their count.
int HexStringToBytes(const std::string& strText, std::vector<uint8_t>& bytes);
