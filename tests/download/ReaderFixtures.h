#pragma once
// What the reader tests share: files in a private temp dir, a log that
// records, and HEX records built with a correct checksum.
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "common/SrecWriter.h"
#include "core/LogSink.h"
#include "download/FirmwareImage.h"

class CRecordingLog : public CLogSink {
public:
    void AppendLog(const std::string& strText, int nColour) override { m_vecEntries.emplace_back(strText, nColour); }

    std::vector<std::pair<std::string, int>> m_vecEntries;
};

// A directory of its own, removed with everything in it. Its paths are UTF-8
// strings, as the readers take them on every platform.
class CTempDir {
public:
    CTempDir()
    {
        std::random_device random;
        std::error_code error;
        const std::filesystem::path base = std::filesystem::temp_directory_path(error);
        for (int nTry = 0; nTry < 100 && m_path.empty() && !error; ++nTry) {
            const std::filesystem::path candidate = base / ("vantrel-readers-" + std::to_string(random()));
            if (std::filesystem::create_directory(candidate, error)) {
                m_path = candidate;
            }
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

    std::string Folder() const { return Utf8(m_path); }
    std::string File(const std::string& strName) const { return Utf8(m_path / Utf8Path(strName)); }

    // Writes the bytes as they are (no line-end translation) and returns the path.
    std::string Write(const std::string& strName, const std::string& strContent) const
    {
        const std::filesystem::path path = m_path / Utf8Path(strName);
        std::ofstream(path, std::ios::binary) << strContent;
        return Utf8(path);
    }

private:
    // Never through string(): on Windows that is the ANSI code page.
    static std::string Utf8(const std::filesystem::path& path)
    {
        const std::u8string strText = path.u8string();
        return std::string(strText.begin(), strText.end());
    }
    static std::filesystem::path Utf8Path(const std::string& strText)
    {
        return std::filesystem::path(std::u8string(strText.begin(), strText.end()));
    }

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

// A file a reader is given, and what it should give.
struct SReaderCase {
    std::string strName;
    std::string strFile;
    int nResult;
    std::vector<BlockText> vecBlocks;
    std::string strLog;  // the one red line a failure logs
};

// Failures name the case rather than dump its bytes.
inline void PrintTo(const SReaderCase& c, std::ostream* pStream)
{
    *pStream << c.strName;
}

// A load gave what it should: its result, its blocks, and the one red line
// a failure logs (empty for none).
inline void ExpectLoaded(int nResult, const FirmwareImage& image, const CRecordingLog& log, int nExpectedResult,
                         const std::vector<BlockText>& vecBlocks, const std::string& strLog)
{
    EXPECT_EQ(nResult, nExpectedResult);
    EXPECT_EQ(DescribeImage(image), vecBlocks);
    std::vector<std::pair<std::string, int>> vecExpectedLog;
    if (!strLog.empty())
        vecExpectedLog.emplace_back(strLog, kLogRed);
    EXPECT_EQ(log.m_vecEntries, vecExpectedLog);
}
