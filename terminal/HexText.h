#pragma once
// The terminal's hexadecimal sending: "0A 1B" or "0A1B" become the bytes
// 0x0A 0x1B. Spaces separate tokens; each token must be whole pairs of
// hexadecimal digits, or nothing is sent at all: a shortened message is
// worse than none.
#include <cstdint>
#include <string>
#include <vector>

#include "core/TextNumber.h"  // HexDigitValue

// Fills bytes with the whole text's pairs and returns 1; on the first token
// that is not whole digit pairs ("0G", "3", "01\t02"), empties bytes, names
// the token in strBadToken and returns 0. A text of spaces only gives no bytes.
int HexStringToBytes(const std::string& strText, std::vector<uint8_t>& bytes, std::string& strBadToken);
