#pragma once
// The terminal's hexadecimal sending: "0A 1B" or "0A1B" become the bytes
// 0x0A 0x1B. Spaces separate byte pairs; anything else ends the conversion.
#include <cstdint>
#include <string>
#include <vector>

// Marks a character that is no hexadecimal digit.
constexpr int kNotHexDigit = -1;

// '0'-'9', 'A'-'F', 'a'-'f' give 0 to 15; every other character kNotHexDigit.
int HexDigitValue(char c);

// Fills bytes with the pairs converted before the first stop; returns their count.
int HexStringToBytes(const std::string& strText, std::vector<uint8_t>& bytes);
