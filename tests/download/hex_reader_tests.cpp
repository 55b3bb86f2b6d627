// Loading Intel HEX files: addressing, blocks, the failure messages, and a
// comparison with an independent converter on a generated real-world file.
#ifndef _WIN32
#include <sys/resource.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>

#include <gtest/gtest.h>

#include "ReaderFixtures.h"
#include "download/FirmwareReader.h"

namespace {

const std::string kEof = ":00000001FF";
// A record whose checksum is known from outside this code base.
const std::string kKnownRecord = ":10010000214601360121470136007EFE09D2190140";
const std::string kKnownBytes = "214601360121470136007EFE09D21901";

std::vector<uint8_t> Sixteen(uint8_t nFirst)
{
    std::vector<uint8_t> vecData(16);
    for (size_t i = 0; i < vecData.size(); ++i) {
        vecData[i] = static_cast<uint8_t>(nFirst + i);
    }
    return vecData;
}

std::string WithoutLastChar(std::string strText)
{
    strText.pop_back();
    return strText;
}

using SHexCase = SReaderCase;

std::vector<SHexCase> HexCases()
{
    const std::string strSegment1000 = HexRecord(2, 0, {0x10, 0x00});
    const std::string strLinear0002 = HexRecord(4, 0, {0x00, 0x02});
    const std::string strLinear00FF = HexRecord(4, 0, {0x00, 0xFF});
    return {
        {"OnlyEof", JoinLines({kEof}), 1, {}, ""},
        {"EmptyFile", "", 1, {}, ""},
        {"BlankLinesOnly", "\n \t\n\r\n", 1, {}, ""},
        {"KnownRecord", JoinLines({kKnownRecord, kEof}), 1, {{0x100, kKnownBytes}}, ""},
        {"LowerCaseDigits",
         JoinLines({":10010000214601360121470136007efe09d2190140", kEof}),
         1,
         {{0x100, kKnownBytes}},
         ""},
        {"LinearBaseBeyond24BitsWrapsToZero",
         JoinLines({":020000040800F2", HexRecord(0, 0, {0x11, 0x22}), kEof}),
         1,
         {ErasedBlockWith(0, 0, "1122")},
         ""},
        {"SegmentBaseTimesSixteen",
         JoinLines({strSegment1000, HexRecord(0, 0x0010, {0xAA, 0xBB}), kEof}),
         1,
         {ErasedBlockWith(0x010010, 0, "AABB")},
         ""},
        {"LinearAfterSegmentSwitchesBack",
         JoinLines({strSegment1000, strLinear0002, HexRecord(0, 0x0010, {0xAA}), kEof}),
         1,
         {ErasedBlockWith(0x020010, 0, "AA")},
         ""},
        {"SegmentAfterLinearSwitches",
         JoinLines({strLinear0002, strSegment1000, HexRecord(0, 0x0010, {0xAA}), kEof}),
         1,
         {ErasedBlockWith(0x010010, 0, "AA")},
         ""},
        {"ExtendedChecksumFieldIsAllThatRemains",
         JoinLines({":02000002100000EC", HexRecord(0, 0x0010, {0x5A}), kEof}),
         1,
         {ErasedBlockWith(0x010010, 0, "5A")},
         ""},
        {"ErasedRecordAddsNoBlock", JoinLines({HexRecord(0, 0x20, std::vector<uint8_t>(16, 0xFF)), kEof}), 1, {}, ""},
        {"PartlyErasedBlockWrittenWhole",
         JoinLines({HexRecord(0, 0x20, {0xFF, 0x00}), kEof}),
         1,
         {ErasedBlockWith(0x20, 0, "FF00")},
         ""},
        {"ThreeBytesInsideABlock",
         JoinLines({HexRecord(0, 5, {0x11, 0x22, 0x33}), kEof}),
         1,
         {ErasedBlockWith(0, 5, "112233")},
         ""},
        {"RecordAcrossTwoBlocks",
         JoinLines({HexRecord(0, 0x0E, {1, 2, 3, 4}), kEof}),
         1,
         {ErasedBlockWith(0, 14, "0102"), ErasedBlockWith(0x10, 0, "0304")},
         ""},
        {"LaterRecordWins",
         JoinLines({HexRecord(0, 0, {1, 2, 3, 4}), HexRecord(0, 2, {9, 9}), kEof}),
         1,
         {ErasedBlockWith(0, 0, "01020909")},
         ""},
        {"RecordsAfterEofStillRead",
         JoinLines({kEof, HexRecord(0, 0x30, {0x42})}),
         1,
         {ErasedBlockWith(0x30, 0, "42")},
         ""},
        {"RecordsWithoutDataAreNotChecked",
         JoinLines({":04000003DEADBEEF00", ":0400000500000000AB", ":0000007700", ":00000001", ":0100000A"}),
         1,
         {},
         ""},
        {"EmptyDataRecord", JoinLines({HexRecord(0, 0x40, {}), kEof}), 1, {}, ""},
        {"BlanksAndSeveralColons",
         JoinLines({" \t:::" + HexRecord(0, 0, {0x77}).substr(1) + " \t", kEof}),
         1,
         {ErasedBlockWith(0, 0, "77")},
         ""},
        {"CrLfLineEnds",
         JoinLines({strLinear0002, HexRecord(0, 5, {0x11, 0x22, 0x33}), kEof}, "\r\n"),
         1,
         {ErasedBlockWith(0x020000, 5, "112233")},
         ""},
        {"LastLineWithoutLineEnd", HexRecord(0, 0, {0x77}) + "\n" + kEof, 1, {ErasedBlockWith(0, 0, "77")}, ""},
        {"LastByteOfTheAddressSpace",
         JoinLines({strLinear00FF, HexRecord(0, 0xFFF0, Sixteen(0x40)), kEof}),
         1,
         {{0xFFFFF0, "404142434445464748494A4B4C4D4E4F"}},
         ""},
        {"NulInADataByteReadsAsZero",
         std::string(":01000000\0"
                     "1FF\n",
                     13) +
             "\n" + kEof,
         1,
         {ErasedBlockWith(0, 0, "00")},
         ""},
        {"InvalidFormatNamesTrimmedLine",
         JoinLines({"", " ", "  abc  ", kEof}),
         0,
         {},
         "##  Invalid format: abc. (L3)\r\n"},
        {"InvalidFormatShowsTextUpToNul", std::string("ab\0cd\n", 6), 0, {}, "##  Invalid format: ab. (L1)\r\n"},
        // A line of terminal escapes reaches the log as text, not as commands.
        {"InvalidFormatEscapesControlCharacters",
         ":00000001FF\n\x1b]0;owned\x07\x1b[2J\tx\x7f\n",
         0,
         {},
         "##  Invalid format: \\x1B]0;owned\\x07\\x1B[2J\\x09x\\x7F. (L2)\r\n"},
        {"StrayCharAfterChecksumIsALengthError",
         JoinLines({HexRecord(0, 0, {0x11}) + "0"}),
         0,
         {},
         "##  Data length not equal to 1.(L1)\r\n"},
        {"MissingCharIsALengthError",
         JoinLines({kEof, WithoutLastChar(HexRecord(0, 0, {0x11, 0x22}))}),
         0,
         {},
         "##  Data length not equal to 2.(L2)\r\n"},
        {"CountOfMinusOneNeedsNoData", JoinLines({":-1000100", kEof}), 1, {}, ""},
        {"NegativeCountInTheMessage", JoinLines({":-F000000"}), 0, {}, "##  Data length not equal to -15.(L1)\r\n"},
        {"ShortRecordReadsNoFurther", JoinLines({":0"}), 0, {}, "##  Data length not equal to 0.(L1)\r\n"},
        {"ChecksumErrorDropsEverythingAndStops",
         JoinLines({HexRecord(0, 0, {1}), WithoutLastChar(HexRecord(0, 0x10, {2})) + "0", "abc"}),
         0,
         {},
         "##  Checksum error. (L2)\r\n"},
        {"ChecksumErrorInExtendedRecord", JoinLines({":020000040002F9"}), 0, {}, "##  Checksum error. (L1)\r\n"},
        // A file cut off at a line end: every record whole, the end-of-file
        // record gone. The message names the last record.
        {"CutOffAtALineEnd",
         JoinLines({HexRecord(0, 0, {1, 2}), "", HexRecord(0, 0x10, {3})}),
         0,
         {},
         "##  End-of-file record missing after line 3: " + HexRecord(0, 0x10, {3}) + "; the file may be cut off.\r\n"},
        {"RecordPastTheAddressSpace",
         JoinLines({strLinear00FF, HexRecord(0, 0xFFF8, Sixteen(0))}),
         0,
         {},
         "##  Address out of range. (L2)\r\n"},
    };
}

class HexCaseTest : public ::testing::TestWithParam<SHexCase> {};

TEST_P(HexCaseTest, LoadsAsDescribed)
{
    const SHexCase& c = GetParam();
    CTempDir dir;
    CRecordingLog log;
    FirmwareImage image(3);  // left over from an earlier load
    const int nResult = LoadHexFile(dir.Write("case.hex", c.strFile), image, log);
    ExpectLoaded(nResult, image, log, c.nResult, c.vecBlocks, c.strLog);
}

INSTANTIATE_TEST_SUITE_P(Cases, HexCaseTest, ::testing::ValuesIn(HexCases()),
                         [](const ::testing::TestParamInfo<SHexCase>& info) { return info.param.strName; });

TEST(HexReaderTest, ShownFileTextIsEscapedAndCutButTheLineNumberStays)
{
    struct Case {
        std::string strText;
        std::string strShown;
    };
    const Case cases[] = {
        {"plain text", "plain text"},
        {"\x1b[31m", "\\x1B[31m"},
        // C1 controls as UTF-8 encodes them; other UTF-8 stays as it is.
        {"\xc2\x9b"
         "2J \xe4\xb8\xad",
         "\\u009B2J \xe4\xb8\xad"},
        {std::string(100, 'a'), std::string(80, 'a') + "\u2026"},
        // A cut never splits a UTF-8 character.
        {std::string(79, 'a') + "\xe4\xb8\xad" + "tail", std::string(79, 'a') + "\u2026"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ShownFileText(c.strText), c.strShown) << c.strText;

    // A 50 MB line that is no record gives one short line, with its number.
    CTempDir dir;
    const std::string strPath = dir.Write("long.hex", ":00000001FF\n" + std::string(50u << 20, 'Z') + "\n");
    CRecordingLog log;
    FirmwareImage image;
    EXPECT_EQ(LoadHexFile(strPath, image, log), 0);
    ASSERT_EQ(log.m_vecEntries.size(), 1u);
    EXPECT_EQ(log.m_vecEntries[0].first, "##  Invalid format: " + std::string(80, 'Z') + "\u2026. (L2)\r\n");
}

TEST(HexReaderTest, UnreadableFileGivesZeroSilentlyAndEmptiesTheImage)
{
    CTempDir dir;
    for (const std::string& strPath : {dir.File("missing.hex"), dir.Folder()}) {
        CRecordingLog log;
        FirmwareImage image(2);
        EXPECT_EQ(LoadHexFile(strPath, image, log), 0) << strPath;
        EXPECT_TRUE(image.empty()) << strPath;
        EXPECT_TRUE(log.m_vecEntries.empty()) << strPath;
    }
}

TEST(HexReaderTest, LineLongerThanAnyReadChunk)
{
    CTempDir dir;
    CRecordingLog log;
    FirmwareImage image;
    const std::string strFile = std::string(3 << 20, ' ') + kEof + "\n" + HexRecord(0, 0x50, {0x12}) + "\n";
    ASSERT_EQ(LoadHexFile(dir.Write("long.hex", strFile), image, log), 1);
    EXPECT_EQ(DescribeImage(image), std::vector<BlockText> {ErasedBlockWith(0x50, 0, "12")});
    EXPECT_TRUE(log.m_vecEntries.empty());
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define VANTREL_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || __has_feature(memory_sanitizer)
#define VANTREL_SANITIZED 1
#endif
#endif

// The address-space limit and the converter run by a POSIX shell exist on
// POSIX only.
#ifndef _WIN32
#ifndef VANTREL_SANITIZED
// Loads the file with only a few MiB more address space than in use, less
// than the whole 16 MiB area; 0 when the load went as bLoads says (a
// failure with the one line about memory). Meant for a child process.
int LoadWithAddressSpaceShort(const std::string& strPath, bool bLoads)
{
    long nPages = 0;
    std::ifstream("/proc/self/statm") >> nPages;
    const auto nLimit = static_cast<rlim_t>(nPages * sysconf(_SC_PAGESIZE) + (4 << 20));
    const rlimit limit {nLimit, nLimit};
    if (setrlimit(RLIMIT_AS, &limit) != 0) {
        return 2;
    }
    CRecordingLog log;
    FirmwareImage image;
    const int nResult = LoadHexFile(strPath, image, log);
    if (bLoads)
        return nResult == 1 && image.size() == 2 && log.m_vecEntries.empty() ? 0 : 1;
    const std::vector<std::pair<std::string, int>> vecExpectedLog = {
        {"##  Not enough memory to load the file.\r\n", kLogRed}};
    return nResult == 0 && image.empty() && log.m_vecEntries == vecExpectedLog ? 0 : 1;
}
#endif

// The work area takes memory only for the pages that hold data: a file
// whose data reaches every 4 KiB page of the 16 MiB needs them all, and when
// they cannot be had the load says so and leaves nothing behind.
TEST(HexReaderDeathTest, MemoryThatRunsOutIsReported)
{
#ifdef VANTREL_SANITIZED
    GTEST_SKIP() << "sanitizers reserve address space beyond any small limit";
#else
    std::vector<std::string> lines;
    for (unsigned nSegment = 0; nSegment < 256; ++nSegment) {
        lines.push_back(HexRecord(4, 0, {0x00, static_cast<uint8_t>(nSegment)}));
        for (unsigned nPage = 0; nPage < 16; ++nPage)
            lines.push_back(HexRecord(0, static_cast<uint16_t>(nPage * 4096), {0x5A}));
    }
    lines.push_back(kEof);
    CTempDir dir;
    const std::string strPath = dir.Write("every-page.hex", JoinLines(lines));
    EXPECT_EXIT(std::_Exit(LoadWithAddressSpaceShort(strPath, false)), ::testing::ExitedWithCode(0), "");
    // Data at both ends of the area needs two pages, not the 16 MiB between.
    const std::string strEnds = dir.Write("ends.hex", JoinLines({HexRecord(0, 0, {0x01}), HexRecord(4, 0, {0x00, 0xFF}),
                                                                 HexRecord(0, 0xFFF0, {0x02}), kEof}));
    EXPECT_EXIT(std::_Exit(LoadWithAddressSpaceShort(strEnds, true)), ::testing::ExitedWithCode(0), "");
#endif
}

// A real-world-shaped file: segment and linear addressing mixed, records of
// 1 to 32 bytes spread over the address space, some rewriting earlier bytes.
struct SGeneratedHex {
    std::string strText;
    size_t nRecords = 0;
};

SGeneratedHex GenerateHex(uint32_t nSeed)
{
    std::mt19937 random(nSeed);
    auto Below = [&random](uint32_t nLimit) { return static_cast<uint32_t>(random() % nLimit); };
    SGeneratedHex generated;
    std::vector<std::pair<int, uint32_t>> vecRecent;  // (type, offset) of recent data records
    for (int nRun = 0; nRun < 600; ++nRun) {
        if (Below(2) == 0) {
            generated.strText += HexRecord(2, 0, {static_cast<uint8_t>(Below(256)), static_cast<uint8_t>(Below(256))});
        } else {
            generated.strText += HexRecord(4, 0, {0x00, static_cast<uint8_t>(Below(256))});
        }
        generated.strText += Below(4) == 0 ? "\r\n" : "\n";
        uint32_t nOffset = Below(0xF000);
        const uint32_t nRecords = 5 + Below(40);
        for (uint32_t i = 0; i < nRecords; ++i) {
            const uint32_t nLength = 1 + Below(32);
            // Now and then go back and rewrite part of what was just written.
            const uint32_t nStart = Below(6) == 0 && nOffset > 24 ? nOffset - 1 - Below(24) : nOffset;
            std::vector<uint8_t> vecData(nLength);
            for (uint8_t& nByte : vecData) {
                // Some erased bytes, so blocks are only partly written.
                nByte = Below(8) == 0 ? 0xFF : static_cast<uint8_t>(Below(256));
            }
            if (nStart + nLength > 0x10000) {
                break;  // stay inside the 64 KiB window of the base
            }
            generated.strText += HexRecord(0, nStart, vecData) + "\n";
            ++generated.nRecords;
            nOffset = std::max(nOffset, nStart + nLength) + (Below(3) == 0 ? Below(300) : 0);
        }
    }
    generated.strText += kEof + "\n";
    return generated;
}

std::string ReadBinary(const std::string& strPath)
{
    std::ifstream file(strPath, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

bool HaveTool(const char* pszTool)
{
    return std::system(fmt::format("command -v {} >/dev/null 2>&1", pszTool).c_str()) == 0;
}

TEST(HexReaderTest, MatchesAnIndependentConverter)
{
    if (!HaveTool("srec_cat")) {
        GTEST_SKIP() << "srec_cat (package srecord) is not installed";
    }
    CTempDir dir;
    const SGeneratedHex generated = GenerateHex(20240611);
    ASSERT_GT(generated.strText.size(), size_t {512 << 10}) << "the file should span several read chunks";
    const std::string strHexPath = dir.Write("generated.hex", generated.strText);
    const std::string strBinPath = dir.File("generated.bin");

    // srec_cat keeps the last of several values for one address, as the
    // device will see it, and here fills every unwritten byte of the 24-bit
    // space with 0xFF. (objcopy's gap fill can cover bytes of overlapping
    // records, and its output starts wherever the lowest record does.)
    const std::string strCommand = fmt::format(
        "srec_cat -multiple '{}' -Intel -fill 0xFF 0 0x1000000 -o '{}' -Binary 2>/dev/null", strHexPath, strBinPath);
    ASSERT_EQ(std::system(strCommand.c_str()), 0) << strCommand;
    const std::string strReference = ReadBinary(strBinPath);
    ASSERT_EQ(strReference.size(), size_t {1} << 24);

    CRecordingLog log;
    FirmwareImage image;
    ASSERT_EQ(LoadHexFile(strHexPath, image, log), 1);
    EXPECT_TRUE(log.m_vecEntries.empty());

    std::string strLoaded(size_t {1} << 24, '\xFF');
    int64_t nPrevious = -1;
    for (const FirmwareBlock& block : image) {
        ASSERT_EQ(block.length, kMaxBlockLength);
        ASSERT_EQ(block.address % kMaxBlockLength, 0);
        ASSERT_GT(block.address, nPrevious) << "blocks ascend";
        ASSERT_TRUE(std::any_of(std::begin(block.data), std::end(block.data), [](uint8_t n) { return n != 0xFF; }))
            << "block at " << block.address << " holds only erased bytes";
        nPrevious = block.address;
        std::memcpy(strLoaded.data() + block.address, block.data, kMaxBlockLength);
    }
    EXPECT_GT(image.size(), generated.nRecords / 2);

    size_t nMismatches = 0;
    for (size_t i = 0; i < strLoaded.size(); ++i) {
        if (strLoaded[i] != strReference[i] && ++nMismatches <= 5) {
            ADD_FAILURE() << fmt::format("address {:06X}: loaded {:02X}, reference {:02X}", i,
                                         static_cast<uint8_t>(strLoaded[i]), static_cast<uint8_t>(strReference[i]));
        }
    }
    EXPECT_EQ(nMismatches, 0u);
}
#endif  // _WIN32

}  // namespace
