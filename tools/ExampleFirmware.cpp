// Writes the example firmware of the demo: an Intel HEX file shaped like a
// real application image (a vector table, code-like bytes, a gap of erased
// flash, a configuration block above 64 KiB reached by a type 04 record).
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "core/StandardStreams.h"

namespace {

void PutRecord(std::FILE* pFile, uint8_t nType, uint16_t nOffset, const uint8_t* pData, size_t nLength)
{
    unsigned nSum = static_cast<unsigned>(nLength) + (nOffset >> 8) + (nOffset & 0xFF) + nType;
    std::fprintf(pFile, ":%02X%04X%02X", static_cast<unsigned>(nLength), nOffset, nType);
    for (size_t i = 0; i < nLength; ++i) {
        std::fprintf(pFile, "%02X", pData[i]);
        nSum += pData[i];
    }
    std::fprintf(pFile, "%02X\r\n", (0x100 - (nSum & 0xFF)) & 0xFF);
}

void PutData(std::FILE* pFile, uint32_t nAddress, const std::vector<uint8_t>& data)
{
    uint32_t nUpper = 0xFFFFFFFF;
    for (size_t i = 0; i < data.size(); i += 16) {
        const uint32_t nAt = nAddress + static_cast<uint32_t>(i);
        if ((nAt >> 16) != nUpper) {
            nUpper = nAt >> 16;
            const uint8_t upper[2] = {static_cast<uint8_t>(nUpper >> 8), static_cast<uint8_t>(nUpper)};
            PutRecord(pFile, 0x04, 0, upper, 2);
        }
        const size_t n = data.size() - i < 16 ? data.size() - i : 16;
        PutRecord(pFile, 0x00, static_cast<uint16_t>(nAt), data.data() + i, n);
    }
}

}  // namespace

int main(int argc, char** argv)
{
    OpenStandardStreams();
    const std::string strUsage = std::string("usage: ") + argv[0] +
                                 " OUTPUT.hex\nWrites an example firmware (Intel HEX, with a type 04 record) to "
                                 "OUTPUT.hex, for trying vantrel and vantrel-cli against vantrel-sim.\n";
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::fputs(strUsage.c_str(), stdout);
        return 0;
    }
    // Anything that looks like an option is a mistake, not a file name.
    if (argc != 2 || argv[1][0] == '-') {
        std::fputs(strUsage.c_str(), stderr);
        return 2;
    }
    std::FILE* pFile = std::fopen(argv[1], "w");
    if (!pFile) {
        std::perror(argv[1]);
        return 1;
    }
    // Vector table: a stack top and handler addresses.
    std::vector<uint8_t> code;
    const uint32_t vectors[8] = {0x20002000, 0x000101, 0x000141, 0x000141, 0x000141, 0x000141, 0x000141, 0x000141};
    for (uint32_t vector : vectors) {
        for (int i = 0; i < 4; ++i)
            code.push_back(static_cast<uint8_t>(vector >> (8 * i)));
    }
    // Code-like bytes from a fixed generator, so every build makes the same file.
    uint32_t nState = 0x12345678;
    while (code.size() < 20 * 1024) {
        nState = nState * 1664525u + 1013904223u;
        code.push_back(static_cast<uint8_t>(nState >> 24));
    }
    PutData(pFile, 0x000000, code);
    const std::string strConfig = "VANTREL EXAMPLE FIRMWARE 1.0.0";
    PutData(pFile, 0x01F000, std::vector<uint8_t>(strConfig.begin(), strConfig.end()));
    PutRecord(pFile, 0x01, 0, nullptr, 0);
    return std::fclose(pFile) == 0 ? 0 : 1;
}
