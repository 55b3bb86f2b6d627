#pragma once
// Writes Intel HEX text for test fixtures: data records with extended linear
// address records wherever the upper 16 bits change.
#include <cstdint>
#include <string>
#include <vector>

#include <fmt/format.h>

inline std::string HexRecord(uint8_t nType, uint16_t nOffset, const std::vector<uint8_t>& data)
{
    uint32_t nSum = static_cast<uint32_t>(data.size()) + (nOffset >> 8) + (nOffset & 0xFF) + nType;
    std::string strLine = fmt::format(":{:02X}{:04X}{:02X}", data.size(), nOffset, nType);
    for (uint8_t byte : data) {
        strLine += fmt::format("{:02X}", byte);
        nSum += byte;
    }
    return strLine + fmt::format("{:02X}\n", (0x100 - (nSum & 0xFF)) & 0xFF);
}

// nAddress is a 24-bit address; records never cross a 64 KiB boundary.
inline std::string HexFile(uint32_t nAddress, const std::vector<uint8_t>& data, size_t nPerRecord = 16)
{
    std::string strText;
    uint32_t nUpper = 0xFFFFFFFF;
    for (size_t i = 0; i < data.size();) {
        const uint32_t nAt = nAddress + static_cast<uint32_t>(i);
        if ((nAt >> 16) != nUpper) {
            nUpper = nAt >> 16;
            strText += HexRecord(0x04, 0, {static_cast<uint8_t>(nUpper >> 8), static_cast<uint8_t>(nUpper)});
        }
        size_t n = std::min(nPerRecord, data.size() - i);
        n = std::min<size_t>(n, 0x10000 - (nAt & 0xFFFF));
        strText += HexRecord(
            0x00, static_cast<uint16_t>(nAt & 0xFFFF),
            std::vector<uint8_t>(data.begin() + static_cast<long>(i), data.begin() + static_cast<long>(i + n)));
        i += n;
    }
    return strText + ":00000001FF\n";
}
