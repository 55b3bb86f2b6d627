// Loading ASC files: "@address" lines and one byte a line, grouped into runs
// of consecutive bytes that never cross a 16-byte boundary.
#include <gtest/gtest.h>

#include "ReaderFixtures.h"
#include "download/FirmwareReader.h"

namespace {

// Data lines "00", "01", ... for nCount bytes.
std::string CountingLines(int nCount)
{
    std::string strText;
    for (int i = 0; i < nCount; ++i) {
        strText += fmt::format("{:02X}\n", i);
    }
    return strText;
}

struct SAscCase {
    std::string strName;
    std::string strFile;
    std::vector<BlockText> vecBlocks;
};

// Failures name the case rather than dump its bytes.
void PrintTo(const SAscCase& c, std::ostream* pStream)
{
    *pStream << c.strName;
}

std::vector<SAscCase> AscCases()
{
    return {
        {"TwentyBytesFromAnAlignedStart",
         "@100\n" + CountingLines(20),
         {{0x100, "000102030405060708090A0B0C0D0E0F"}, {0x110, "10111213"}}},
        {"RunEndsAtSixteenByteBoundary", "@0F\n" + CountingLines(3), {{0x0F, "00"}, {0x10, "0102"}}},
        {"DataBeforeAnyAddressStartsAtZero", "01\n02\n", {{0, "0102"}}},
        {"AddressOfTheNextByteKeepsTheRun", "@10\n01\n02\n@12\n03\n", {{0x10, "010203"}}},
        {"GapEndsTheRun", "@10\n01\n@18\n02\n", {{0x10, "01"}, {0x18, "02"}}},
        {"RepeatedAddressGivesBlocksInFileOrder", "@20\n01\n02\n@20\n03\n", {{0x20, "0102"}, {0x20, "03"}}},
        {"AddressesKeepAll32BitsAndWrap",
         "@FFFFFFFE\n01\n02\n03\n",
         {{static_cast<int32_t>(0xFFFFFFFE), "0102"}, {0, "03"}}},
        {"SeveralAtSigns", "@@@30\n01\n", {{0x30, "01"}}},
        {"CommentsAfterAddressAndData", "@10 // start\n01 ; first\n", {{0x10, "01"}}},
        {"CrLfAndBlankLines", "@10\r\n\r\n \t\r\n01\r\n02", {{0x10, "0102"}}},
        {"NoDataLines", "@100\n; comment\n\n// comment\n", {}},
        {"EmptyFile", "", {}},
    };
}

class AscCaseTest : public ::testing::TestWithParam<SAscCase> {};

TEST_P(AscCaseTest, LoadsAsDescribed)
{
    const SAscCase& c = GetParam();
    CTempDir dir;
    CRecordingLog log;
    FirmwareImage image(3);  // left over from an earlier load
    ASSERT_EQ(LoadAscFile(dir.Write("case.asc", c.strFile), image, log), 1);
    EXPECT_EQ(DescribeImage(image), c.vecBlocks);
    EXPECT_TRUE(log.m_vecEntries.empty());
}

INSTANTIATE_TEST_SUITE_P(Cases, AscCaseTest, ::testing::ValuesIn(AscCases()),
                         [](const ::testing::TestParamInfo<SAscCase>& info) { return info.param.strName; });

// One line of an ASC file and the byte it gives ("" for none).
struct SAscLine {
    std::string strLine;
    std::string strByte;
};

void PrintTo(const SAscLine& c, std::ostream* pStream)
{
    *pStream << '"' << c.strLine << '"';
}

class AscLineTest : public ::testing::TestWithParam<SAscLine> {};

TEST_P(AscLineTest, GivesTheLowByteOfItsNumber)
{
    const SAscLine& c = GetParam();
    CTempDir dir;
    CRecordingLog log;
    FirmwareImage image;
    ASSERT_EQ(LoadAscFile(dir.Write("line.asc", "@40\n" + c.strLine + "\n"), image, log), 1);
    std::vector<BlockText> vecExpected;
    if (!c.strByte.empty()) {
        vecExpected.emplace_back(0x40, c.strByte);
    }
    EXPECT_EQ(DescribeImage(image), vecExpected) << "line: \"" << c.strLine << "\"";
}

INSTANTIATE_TEST_SUITE_P(Lines, AscLineTest,
                         ::testing::Values(SAscLine {"AB ; note", "AB"}, SAscLine {"// note", ""},
                                           SAscLine {"; note", ""}, SAscLine {"0x1F", "1F"}, SAscLine {"zz", "00"},
                                           SAscLine {"-1", "FF"}, SAscLine {"12 34", "12"}, SAscLine {"1234", "34"},
                                           SAscLine {"  7\t", "07"}, SAscLine {"5 // a ; b", "05"},
                                           SAscLine {"6;a//b", "06"}, SAscLine {"/ 9", "00"}));

TEST(AscReaderTest, UnreadableFileGivesZeroSilentlyAndEmptiesTheImage)
{
    CTempDir dir;
    for (const std::string& strPath : {dir.File("missing.asc"), dir.Folder()}) {
        CRecordingLog log;
        FirmwareImage image(2);
        EXPECT_EQ(LoadAscFile(strPath, image, log), 0) << strPath;
        EXPECT_TRUE(image.empty()) << strPath;
        EXPECT_TRUE(log.m_vecEntries.empty()) << strPath;
    }
}

}  // namespace
