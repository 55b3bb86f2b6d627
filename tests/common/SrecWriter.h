#pragma once
// Writes Motorola S-record text for test fixtures.
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include <fmt/format.h>

// One S-record with its checksum: the ones' complement of the byte sum of
// the count, the address and the data. The address takes the width its type has.
inline std::string SRecord(int nType, uint32_t nAddress, const std::vector<uint8_t>& vecData)
{
    constexpr int kWidths[10] = {2, 2, 3, 4, 2, 2, 3, 4, 3, 2};
    std::vector<uint8_t> vecBytes;
    for (int i = kWidths[nType] - 1; i >= 0; --i)
        vecBytes.push_back(static_cast<uint8_t>(nAddress >> (8 * i)));
    vecBytes.insert(vecBytes.end(), vecData.begin(), vecData.end());
    vecBytes.insert(vecBytes.begin(), static_cast<uint8_t>(vecBytes.size() + 1));
    unsigned nSum = 0;
    std::string strRecord = fmt::format("S{}", nType);
    for (const uint8_t nByte : vecBytes) {
        nSum += nByte;
        strRecord += fmt::format("{:02X}", nByte);
    }
    return strRecord + fmt::format("{:02X}", ~nSum & 0xFF);
}

// An S-record file of S3 records of nPerRecord bytes from nAddress, ended by S7.
inline std::string SrecFile(uint32_t nAddress, const std::vector<uint8_t>& data, size_t nPerRecord = 16)
{
    std::string strText = SRecord(0, 0, {'t', 'e', 's', 't'}) + "\n";
    for (size_t i = 0; i < data.size(); i += nPerRecord) {
        const auto first = data.begin() + static_cast<long>(i);
        const auto last = data.begin() + static_cast<long>(std::min(data.size(), i + nPerRecord));
        strText += SRecord(3, nAddress + static_cast<uint32_t>(i), std::vector<uint8_t>(first, last)) + "\n";
    }
    return strText + SRecord(7, nAddress, {}) + "\n";
}
