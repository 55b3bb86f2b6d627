#pragma once
// SHA-256 (FIPS 180-4), for naming the exact firmware file a board was
// written with in the traceability record.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

class CSha256 {
public:
    CSha256();
    void Update(const void* pData, size_t nSize);
    // The digest of everything given; the object is spent afterwards.
    std::array<uint8_t, 32> Finish();

private:
    void Block(const uint8_t* pBlock);

    std::array<uint32_t, 8> m_state;
    std::array<uint8_t, 64> m_buffer {};
    size_t m_nBuffered = 0;
    uint64_t m_nTotalBytes = 0;
};

// The digest of strData as 64 lower-case hexadecimal digits.
std::string Sha256Hex(const std::string& strData);
