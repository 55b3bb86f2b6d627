#pragma once
// What the reader tests share: files in a private temp dir, a log that
// records, and HEX records built with a correct checksum.
#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "core/LogSink.h"
#include "download/FirmwareImage.h"

class CRecordingLog : public CLogSink {
public:
    void AppendLog(const std::string& strText, int nColour) override { m_vecEntries.emplace_back(strText, nColour); }

    std::vector<std::pair<std::string, int>> m_vecEntries;
};

// A directory of its own, removed with everything in it.
class CTempDir {
public:
    CTempDir()
    {
        std::string strTemplate = (std::filesystem::temp_directory_path() / "vantrel-readers-XXXXXX").string();
        if (mkdtemp(strTemplate.data()) != nullptr) {
            m_path = strTemplate;
        }
    }
    ~CTempDir()
    {
        std::error_code error;
        if (!m_path.empty()) {
            std::filesystem::remove_all(m_path, error);
        }
    }
    CTempDir(const CTempDir&) = delete;
    CTempDir& operator=(const CTempDir&) = delete;

    const std::filesystem::path& Path() const { return m_path; }

    // Writes the bytes as they are (no line-end translation) and returns the path.
    std::string Write(const std::string& strName, const std::string& strContent) const
    {
        const std::filesystem::path path = m_path / strName;
        std::ofstream(path, std::ios::binary) << strContent;
        return path.string();
    }

private:
    std::filesystem::path m_path;
};

// One HEX record with its checksum: the two's complement of the byte sum.
inline std::string HexRecord(int nType, uint32_t nOffset, const std::vector<uint8_t>& vecData)
{
    std::vector<uint8_t> vecBytes = {static_cast<uint8_t>(vecData.size()), static_cast<uint8_t>(nOffset >> 8),
                                     static_cast<uint8_t>(nOffset), static_cast<uint8_t>(nType)};
    vecBytes.insert(vecBytes.end(), vecData.begin(), vecData.end());
    unsigned nSum = 0;
    std::string strRecord = ":";
    for (const uint8_t nByte : vecBytes) {
        nSum += nByte;
        strRecord += fmt::format("{:02X}", nByte);
    }
    return strRecord + fmt::format("{:02X}", (0x100 - (nSum & 0xFF)) & 0xFF);
}

inline std::string JoinLines(const std::vector<std::string>& vecLines, const std::string& strEnd = "\n")
{
    std::string strText;
    for (const std::string& strLine : vecLines) {
        strText += strLine + strEnd;
    }
    return strText;
}

// A block as the tests compare it: the address and its bytes in hex.
using BlockText = std::pair<int32_t, std::string>;

inline std::vector<BlockText> DescribeImage(const FirmwareImage& image)
{
    std::vector<BlockText> vecBlocks;
    for (const FirmwareBlock& block : image) {
        std::string strBytes;
        for (int i = 0; i < block.length && i < kMaxBlockLength; ++i) {
            strBytes += fmt::format("{:02X}", block.data[i]);
        }
        vecBlocks.emplace_back(block.address, strBytes);
    }
    return vecBlocks;
}

// A full 16-byte block that holds `strHex` from byte nAt on and 0xFF elsewhere.
inline BlockText ErasedBlockWith(int32_t nAddress, size_t nAt, const std::string& strHex)
{
    std::string strBytes(2 * kMaxBlockLength, 'F');
    strBytes.replace(2 * nAt, strHex.size(), strHex);
    return {nAddress, strBytes};
}
