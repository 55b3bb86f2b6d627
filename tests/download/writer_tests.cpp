// Writing what was read from a device into Intel HEX, Motorola S-record and
// binary files: every record checked as an outside reader checks it, the
// bytes read back, and the file made whole or not at all.
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>

#include <gtest/gtest.h>

#include "common/TempDir.h"
#include "core/TextNumber.h"
#include "download/FirmwareReader.h"
#include "download/FirmwareWriter.h"

namespace {

using Ranges = std::vector<SMemoryRange>;
using Memory = std::map<uint64_t, uint8_t>;

class CNoLog : public CLogSink {
public:
    void AppendLog(const std::string& strText, int) override { m_strText += strText; }
    std::string m_strText;
};

SMemoryRange Range(uint32_t nStart, size_t nLength, uint8_t nSeed)
{
    SMemoryRange range;
    range.nStart = nStart;
    for (size_t i = 0; i < nLength; ++i)
        range.vecData.push_back(static_cast<uint8_t>(nSeed + i * 29 + (i >> 8)));
    return range;
}

Memory MemoryOf(const Ranges& ranges)
{
    Memory memory;
    for (const SMemoryRange& range : ranges) {
        for (size_t i = 0; i < range.vecData.size(); ++i)
            memory[range.nStart + i] = range.vecData[i];
    }
    return memory;
}

std::vector<uint8_t> HexBytes(std::string_view text)
{
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i + 1 < text.size(); i += 2) {
        const int nHigh = HexDigitValue(text[i]);
        const int nLow = HexDigitValue(text[i + 1]);
        EXPECT_TRUE(nHigh >= 0 && nLow >= 0) << text;
        bytes.push_back(static_cast<uint8_t>(nHigh * 16 + nLow));
    }
    return bytes;
}

unsigned LowByteOfSum(const std::vector<uint8_t>& bytes)
{
    unsigned nSum = 0;
    for (uint8_t nByte : bytes)
        nSum += nByte;
    return nSum & 0xFF;
}

std::vector<std::string> Lines(const std::string& strText)
{
    EXPECT_TRUE(strText.ends_with('\n'));
    std::vector<std::string> lines;
    std::istringstream stream(strText);
    for (std::string strLine; std::getline(stream, strLine);)
        lines.push_back(strLine);
    return lines;
}

// What an Intel HEX text holds, each record checked as the format asks: its
// length, its checksum, data never crossing a 64 KiB boundary, one end record last.
Memory CheckedHexMemory(const std::string& strText)
{
    Memory memory;
    const std::vector<std::string> lines = Lines(strText);
    uint64_t nUpper = 0;
    for (size_t n = 0; n < lines.size(); ++n) {
        const std::string& strLine = lines[n];
        SCOPED_TRACE(strLine);
        EXPECT_EQ(strLine[0], ':');
        const std::vector<uint8_t> bytes = HexBytes(std::string_view(strLine).substr(1));
        EXPECT_EQ(bytes.size(), bytes[0] + 5u);
        EXPECT_EQ(LowByteOfSum(bytes), 0u);
        const unsigned nOffset = bytes[1] * 256u + bytes[2];
        switch (bytes[3]) {
        case 0x00:
            EXPECT_LE(nOffset + bytes[0], 0x10000u);
            for (size_t i = 0; i < bytes[0]; ++i)
                memory[(nUpper << 16) + nOffset + i] = bytes[4 + i];
            break;
        case 0x04: nUpper = bytes[4] * 256u + bytes[5]; break;
        case 0x01: EXPECT_EQ(n, lines.size() - 1); break;
        default: ADD_FAILURE() << "unexpected record type";
        }
    }
    EXPECT_EQ(lines.back(), ":00000001FF");
    return memory;
}

struct SSRecords {
    Memory memory;
    std::string strDataTypes;  // each data record's type, once
    long nCount = -1;          // the count record's value
    char cCountType = 0;
    char cEnd = 0;
    int nDataRecords = 0;
};

// What an S-record text holds, each record's count and checksum checked.
SSRecords CheckedSRecords(const std::string& strText)
{
    SSRecords parsed;
    const std::vector<std::string> lines = Lines(strText);
    EXPECT_TRUE(lines.front().starts_with("S0"));
    for (size_t n = 0; n < lines.size(); ++n) {
        const std::string& strLine = lines[n];
        SCOPED_TRACE(strLine);
        EXPECT_EQ(strLine[0], 'S');
        const char cType = strLine[1];
        const std::vector<uint8_t> bytes = HexBytes(std::string_view(strLine).substr(2));
        EXPECT_EQ(bytes.size(), bytes[0] + 1u);
        EXPECT_EQ(LowByteOfSum(bytes), 0xFFu);
        const int nAddressBytes = cType == '0' || cType == '1' || cType == '5' || cType == '9' ? 2
                                  : cType == '2' || cType == '6' || cType == '8'               ? 3
                                                                                               : 4;
        uint64_t nAddress = 0;
        for (int i = 0; i < nAddressBytes; ++i)
            nAddress = nAddress * 256 + bytes[1 + static_cast<size_t>(i)];
        const size_t nData = bytes.size() - 2 - static_cast<size_t>(nAddressBytes);
        if (cType >= '1' && cType <= '3') {
            if (parsed.strDataTypes.find(cType) == std::string::npos)
                parsed.strDataTypes += cType;
            ++parsed.nDataRecords;
            for (size_t i = 0; i < nData; ++i)
                parsed.memory[nAddress + i] = bytes[1 + static_cast<size_t>(nAddressBytes) + i];
        } else if (cType == '5' || cType == '6') {
            parsed.nCount = static_cast<long>(nAddress);
            parsed.cCountType = cType;
        } else if (cType >= '7' && cType <= '9') {
            EXPECT_EQ(n, lines.size() - 1);
            parsed.cEnd = cType;
        }
    }
    return parsed;
}

struct SCase {
    const char* pName;
    Ranges ranges;
    const char* pDataTypes;  // the S-record data type chosen
    char cEnd;
    bool bHexReaderTakes;  // within the 24 bits the download's reader keeps
};

std::vector<SCase> Cases()
{
    return {
        {"one small range", {Range(0x100, 40, 1)}, "1", '9', true},
        {"ends at the last 16-bit address", {Range(0xFFF0, 16, 2)}, "1", '9', true},
        {"crosses 64 KiB", {Range(0xFFF8, 20, 3)}, "2", '8', true},
        {"several, out of order, up to the top of 24 bits",
         {Range(0x20000, 30, 4), Range(0x10, 5, 5), Range(0xFFFFF0, 16, 6)},
         "2",
         '8',
         true},
        {"past 24 bits", {Range(0x1000000, 3, 7)}, "3", '7', false},
    };
}

TEST(FirmwareWriter, IntelHexHoldsTheRangesInCheckedRecords)
{
    for (const SCase& c : Cases()) {
        SCOPED_TRACE(c.pName);
        const std::string strText = IntelHexText(c.ranges);
        EXPECT_EQ(CheckedHexMemory(strText), MemoryOf(c.ranges));
        if (!c.bHexReaderTakes)
            continue;
        // The download's own reader gets the same bytes back; it fills its
        // blocks out to their 16-byte alignment with erased bytes.
        FirmwareImage image;
        CNoLog log;
        ASSERT_EQ(LoadHexText(strText, image, log), 1) << log.m_strText;
        const Memory expected = MemoryOf(c.ranges);
        Memory loaded;
        for (const FirmwareBlock& block : image) {
            for (int i = 0; i < block.length; ++i) {
                const uint64_t nAt = static_cast<uint32_t>(block.address) + static_cast<uint32_t>(i);
                if (expected.contains(nAt))
                    loaded[nAt] = block.data[i];
                else
                    EXPECT_EQ(block.data[i], 0xFF) << nAt;
            }
        }
        EXPECT_EQ(loaded, expected);
    }
}

TEST(FirmwareWriter, IntelHexNamesTheUpperAddressOnlyWhereItChanges)
{
    const std::string strText = IntelHexText({Range(0xFFF8, 20, 3), Range(0x30000, 4, 9)});
    std::vector<std::string> extended;
    for (const std::string& strLine : Lines(strText)) {
        if (strLine.substr(7, 2) == "04")
            extended.push_back(strLine);
    }
    EXPECT_EQ(extended, (std::vector<std::string> {":020000040001F9", ":020000040003F7"}));
    EXPECT_TRUE(strText.starts_with(":08FFF800")) << "below 64 KiB a file needs no extended address first";
}

TEST(FirmwareWriter, SRecordsTakeTheSmallestAddressSizeAndCountTheirData)
{
    for (const SCase& c : Cases()) {
        SCOPED_TRACE(c.pName);
        const SSRecords parsed = CheckedSRecords(SRecordText(c.ranges));
        EXPECT_EQ(parsed.memory, MemoryOf(c.ranges));
        EXPECT_EQ(parsed.strDataTypes, c.pDataTypes);
        EXPECT_EQ(parsed.cEnd, c.cEnd);
        EXPECT_EQ(parsed.cCountType, '5');
        EXPECT_EQ(parsed.nCount, parsed.nDataRecords);
    }
}

TEST(FirmwareWriter, MoreRecordsThanSixteenBitsCountGetTheLongCountRecord)
{
    const Ranges ranges = {Range(0, 0x10000 * 16 + 16, 8)};
    const SSRecords parsed = CheckedSRecords(SRecordText(ranges));
    EXPECT_EQ(parsed.nDataRecords, 0x10001);
    EXPECT_EQ(parsed.cCountType, '6');
    EXPECT_EQ(parsed.nCount, 0x10001);
    EXPECT_EQ(parsed.memory, MemoryOf(ranges));
}

TEST(FirmwareWriter, TheEndingChoosesTheFormat)
{
    const struct {
        const char* pName;
        EOutputKind kind;
    } cases[] = {
        {"a.hex", EOutputKind::kIntelHex},    {"A.HEX", EOutputKind::kIntelHex}, {"a.bin", EOutputKind::kBinary},
        {"a.srec", EOutputKind::kSRecord},    {"a.S19", EOutputKind::kSRecord},  {"a.s28", EOutputKind::kSRecord},
        {"a.s37", EOutputKind::kSRecord},     {"a.asc", EOutputKind::kUnknown},  {"hex", EOutputKind::kUnknown},
        {"a.hex.txt", EOutputKind::kUnknown}, {"a.MOT", EOutputKind::kSRecord},  {"a.elf", EOutputKind::kUnknown},
    };
    for (const auto& c : cases)
        EXPECT_EQ(OutputKindOf(c.pName), c.kind) << c.pName;
    // The refusal names what can be written, from the same table of formats.
    std::string strError;
    EXPECT_FALSE(OutputTakes("board.asc", 1, strError));
    EXPECT_EQ(strError, "the file's ending does not name its format: use .hex, .srec, .s19, .s28, .s37, .mot or .bin");
}

std::string ReadWhole(const std::string& strPath)
{
    std::ifstream file(strPath, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

std::vector<std::string> FolderNames(const std::string& strFolder)
{
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(strFolder))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

TEST(FirmwareWriter, TheFileIsMadeWholeOrNotAtAll)
{
    CTempDir dir;
    // A user's folder with a Chinese name, deep enough for a long path.
    std::string strFolder = dir.Path("读出的固件");
    for (int i = 0; i < 8; ++i)
        strFolder += "/一个很长的文件夹名字-" + std::to_string(i);
    std::filesystem::create_directories(strFolder);
    const Ranges two = {Range(0x100, 300, 1), Range(0x8000, 17, 2)};
    const Ranges one = {Range(0x100, 300, 1)};

    const struct {
        const char* pName;
        Ranges ranges;
        bool bWritten;
        std::string strExpected;
    } cases[] = {
        {"板子.s19", two, true, SRecordText(two)},
        {"板子.hex", two, true, IntelHexText(two)},
        {"板子.bin", one, true, std::string(one[0].vecData.begin(), one[0].vecData.end())},
        {"两段.bin", two, false, ""},
        {"板子.txt", one, false, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.pName);
        const std::string strPath = strFolder + "/" + c.pName;
        std::string strError;
        EXPECT_EQ(WriteFirmwareFile(strPath, c.ranges, strError), c.bWritten) << strError;
        EXPECT_EQ(std::filesystem::exists(strPath), c.bWritten);
        EXPECT_EQ(strError.empty(), c.bWritten) << strError;
        if (c.bWritten) {
            EXPECT_EQ(ReadWhole(strPath), c.strExpected);
        }
    }
    // Nothing but the three files: no temporary stays behind.
    EXPECT_EQ(FolderNames(strFolder), (std::vector<std::string> {"板子.bin", "板子.hex", "板子.s19"}));

    // An older file of the same name is replaced, not appended to.
    const std::string strOld = dir.Write("old.hex", std::string(100000, 'x'));
    std::string strError;
    ASSERT_TRUE(WriteFirmwareFile(strOld, one, strError)) << strError;
    EXPECT_EQ(ReadWhole(strOld), IntelHexText(one));

    // A folder that is not there: refused, and nothing made on the way.
    EXPECT_FALSE(WriteFirmwareFile(dir.Path("missing/fw.hex"), one, strError));
    EXPECT_FALSE(strError.empty());
    EXPECT_FALSE(std::filesystem::exists(dir.Path("missing")));
}

}  // namespace
