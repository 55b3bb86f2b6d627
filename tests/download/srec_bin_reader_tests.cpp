// Loading Motorola S-record and raw binary files: addressing, blocks, the
// failure messages, the load address, and the table that chooses a reader.
#include <gtest/gtest.h>

#include "ReaderFixtures.h"
#include "download/FirmwareLoad.h"
#include "download/FirmwareReader.h"

namespace {

const std::string kEnd = SRecord(9, 0, {});
// A record whose checksum is known from outside this code base.
const std::string kKnownRecord = "S1130000285F245F2212226A000424290008237C2A";
const std::string kKnownBytes = "285F245F2212226A000424290008237C";

std::vector<SReaderCase> SrecCases()
{
    const std::string strHeader = SRecord(0, 0, {'h', 'd', 'r'});
    const std::string strTwoBytes = SRecord(1, 0x0100, {0x11, 0x22});
    std::string strBadSum = strTwoBytes;
    strBadSum.back() = strBadSum.back() == '0' ? '1' : '0';
    return {
        {"EmptyFile", "", 1, {}, ""},
        {"HeaderAndEndOnly", JoinLines({strHeader, kEnd}), 1, {}, ""},
        {"KnownRecord", JoinLines({kKnownRecord, kEnd}), 1, {{0, kKnownBytes}}, ""},
        {"LowerCaseAndCrLfAndBlanks",
         "\r\n  s1130000285f245f2212226a000424290008237c2a \r\n\r\n" + kEnd + "\r\n",
         1,
         {{0, kKnownBytes}},
         ""},
        {"ThreeAddressWidths",
         JoinLines({SRecord(1, 0x0005, {0xA1, 0xA2, 0xA3}), SRecord(2, 0x012340, {0xB1}),
                    SRecord(3, 0x00FFFFF0, {0xC1}), SRecord(8, 0, {})}),
         1,
         {ErasedBlockWith(0, 5, "A1A2A3"), ErasedBlockWith(0x012340, 0, "B1"), ErasedBlockWith(0xFFFFF0, 0, "C1")},
         ""},
        // Only 24 bits reach the device, as a HEX file's linear base 0x0800 shows.
        {"AddressBeyond24BitsKeepsItsLow24",
         JoinLines({SRecord(3, 0x08000010, {0x11, 0x22}), SRecord(7, 0x08000000, {})}),
         1,
         {ErasedBlockWith(0x10, 0, "1122")},
         ""},
        {"LaterRecordWinsWhereTwoOverlap",
         JoinLines({SRecord(1, 0x0010, {1, 2, 3, 4}), SRecord(1, 0x0012, {0xAA}), kEnd}),
         1,
         {ErasedBlockWith(0x10, 0, "0102AA04")},
         ""},
        {"ErasedBytesAloneMakeNoBlock",
         JoinLines({SRecord(1, 0x0020, std::vector<uint8_t>(16, 0xFF)), SRecord(1, 0x0035, {0x00}), kEnd}),
         1,
         {ErasedBlockWith(0x30, 5, "00")},
         ""},
        {"CountsThatMatch",
         JoinLines({strHeader, strTwoBytes, SRecord(2, 0x0200, {0x33}), SRecord(5, 2, {}), SRecord(6, 2, {}), kEnd}),
         1,
         {ErasedBlockWith(0x100, 0, "1122"), ErasedBlockWith(0x200, 0, "33")},
         ""},
        {"CountThatDoesNotMatch",
         JoinLines({strHeader, strTwoBytes, SRecord(5, 3, {}), kEnd}),
         0,
         {},
         "##  Record count 3 does not match the 1 data records before it. (L3)\r\n"},
        {"RecordsAfterTheEndAreStillPlaced",
         JoinLines({kEnd, strTwoBytes}),
         1,
         {ErasedBlockWith(0x100, 0, "1122")},
         ""},
        {"ReservedS4IsSkipped",
         JoinLines({"S4030000FC00", strTwoBytes, kEnd}),
         1,
         {ErasedBlockWith(0x100, 0, "1122")},
         ""},
        {"ChecksumWrong", JoinLines({strHeader, strBadSum, kEnd}), 0, {}, "##  Checksum error. (L2)\r\n"},
        {"HeaderChecksumWrongToo", JoinLines({"S0030000FB", kEnd}), 0, {}, "##  Checksum error. (L1)\r\n"},
        {"CountLongerThanTheRecord",
         JoinLines({"S10601001122C5", kEnd}),
         0,
         {},
         "##  Data length not equal to 6.(L1)\r\n"},
        {"CountTooShortForItsAddress", JoinLines({"S2020000", kEnd}), 0, {}, "##  Data length not equal to 2.(L1)\r\n"},
        {"NotARecord", JoinLines({strTwoBytes, "", "abc", kEnd}), 0, {}, "##  Invalid format: abc. (L3)\r\n"},
        {"NonHexDigitIsShownEscaped",
         JoinLines({"S10501\x1b[31m"}),
         0,
         {},
         "##  Invalid format: S10501\\x1B[31m. (L1)\r\n"},
        {"OddNumberOfDigits",
         JoinLines({strTwoBytes + "0", kEnd}),
         0,
         {},
         "##  Invalid format: " + strTwoBytes + "0. (L1)\r\n"},
        {"RunsPastTheTopOf24Bits",
         JoinLines({SRecord(2, 0xFFFFFE, {1, 2, 3}), kEnd}),
         0,
         {},
         "##  Address out of range. (L1)\r\n"},
        {"EndRecordMissing",
         JoinLines({strHeader, strTwoBytes, ""}),
         0,
         {},
         "##  End record (S7, S8 or S9) or record count (S5 or S6) missing after line 2: " + strTwoBytes +
             "; the file may be cut off.\r\n"},
        // srec_cat's way without a start address: the count comes last.
        {"CountLastEndsTheFile",
         JoinLines({strHeader, strTwoBytes, SRecord(5, 1, {})}),
         1,
         {ErasedBlockWith(0x100, 0, "1122")},
         ""},
        {"CountInTheMiddleDoesNot",
         JoinLines({strTwoBytes, SRecord(5, 1, {}), strTwoBytes}),
         0,
         {},
         "##  End record (S7, S8 or S9) or record count (S5 or S6) missing after line 3: " + strTwoBytes +
             "; the file may be cut off.\r\n"},
    };
}

class SrecCaseTest : public ::testing::TestWithParam<SReaderCase> {};

TEST_P(SrecCaseTest, LoadsAsDescribed)
{
    const SReaderCase& c = GetParam();
    CTempDir dir;
    CRecordingLog log;
    FirmwareImage image(3);  // left over from an earlier load
    const int nResult = LoadSrecFile(dir.Write("case.s19", c.strFile), image, log);
    ExpectLoaded(nResult, image, log, c.nResult, c.vecBlocks, c.strLog);

    // The text reader the fuzzers use gives the same.
    CRecordingLog textLog;
    FirmwareImage textImage;
    const int nTextResult = LoadSrecText(c.strFile, textImage, textLog);
    ExpectLoaded(nTextResult, textImage, textLog, c.nResult, c.vecBlocks, c.strLog);
}

INSTANTIATE_TEST_SUITE_P(Cases, SrecCaseTest, ::testing::ValuesIn(SrecCases()),
                         [](const ::testing::TestParamInfo<SReaderCase>& info) { return info.param.strName; });

struct SBinCase {
    std::string strName;
    std::string strBytes;
    std::optional<uint32_t> nAddress;
    int nResult;
    std::vector<BlockText> vecBlocks;
    std::string strLog;
};

void PrintTo(const SBinCase& c, std::ostream* pStream)
{
    *pStream << c.strName;
}

std::vector<SBinCase> BinCases()
{
    return {
        {"EmptyFile", "", 0x1000, 1, {}, ""},
        {"AlignedAddress", "\x01\x02", 0x1000, 1, {ErasedBlockWith(0x1000, 0, "0102")}, ""},
        {"AddressInsideABlock",
         std::string("\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0A\x0B\x0C\x0D", 13),
         0x1005,
         1,
         {ErasedBlockWith(0x1000, 5, "0102030405060708090A0B"), ErasedBlockWith(0x1010, 0, "0C0D")},
         ""},
        {"ErasedBlocksAreLeftOut",
         std::string(16, '\xFF') + std::string(1, '\0'),
         0,
         1,
         {ErasedBlockWith(0x10, 0, "00")},
         ""},
        {"AddressBeyond24BitsKeepsItsLow24", "\x5A", 0x08000020, 1, {ErasedBlockWith(0x20, 0, "5A")}, ""},
        {"EndsAtTheTopOf24Bits", std::string(16, '\x11'), 0xFFFFF0, 1, {{0xFFFFF0, std::string(32, '1')}}, ""},
        {"NoAddress", "\x01", std::nullopt, 0, {}, "##  A raw binary file needs a load address.\r\n"},
        {"RunsPastTheTopOf24Bits",
         std::string(17, '\x11'),
         0xFFFFF0,
         0,
         {},
         "##  Address out of range: the file runs past 0xFFFFFF from 0xFFFFF0.\r\n"},
        {"WouldPass4GiB",
         std::string(32, '\x11'),
         0xFFFFFFF0,
         0,
         {},
         "##  The file would pass 4 GiB: more than 16 bytes from 0xFFFFFFF0.\r\n"},
    };
}

class BinCaseTest : public ::testing::TestWithParam<SBinCase> {};

TEST_P(BinCaseTest, LoadsAsDescribed)
{
    const SBinCase& c = GetParam();
    CTempDir dir;
    CRecordingLog log;
    FirmwareImage image(3);
    std::string strRead = "left over";
    const std::string strPath = dir.Write("case.bin", c.strBytes);
    const int nResult = LoadBinFile(strPath, SLoadOptions {c.nAddress}, image, log, &strRead);
    ExpectLoaded(nResult, image, log, c.nResult, c.vecBlocks, c.strLog);
    if (c.nResult) {
        EXPECT_EQ(strRead, c.strBytes) << "the bytes read, for the digest";
    }

    CRecordingLog textLog;
    FirmwareImage textImage;
    const int nTextResult = LoadBinText(c.strBytes, SLoadOptions {c.nAddress}, textImage, textLog);
    ExpectLoaded(nTextResult, textImage, textLog, c.nResult, c.vecBlocks, c.strLog);
}

INSTANTIATE_TEST_SUITE_P(Cases, BinCaseTest, ::testing::ValuesIn(BinCases()),
                         [](const ::testing::TestParamInfo<SBinCase>& info) { return info.param.strName; });

TEST(LoadAddressTest, ReadsHexWith0xOrDecimalBelow4GiB)
{
    const std::pair<std::string, std::optional<uint32_t>> cases[] = {
        {"0x8000", 0x8000},
        {"32768", 32768},
        {" 0X1f ", 0x1F},
        {"0", 0},
        {"0xFFFFFFFF", 0xFFFFFFFF},
        {"4294967295", 0xFFFFFFFF},
        {"0x100000000", std::nullopt},
        {"4294967296", std::nullopt},
        {"", std::nullopt},
        {"0x", std::nullopt},
        {"-1", std::nullopt},
        {"+5", std::nullopt},
        {"12ab", std::nullopt},
        {"0x12g", std::nullopt},
        {"8000h", std::nullopt},
    };
    for (const auto& [strText, nExpected] : cases)
        EXPECT_EQ(ParseLoadAddress(strText), nExpected) << "'" << strText << "'";
}

TEST(FirmwareFormatsTest, EveryEndingChoosesItsReaderInAnyCase)
{
    const std::pair<std::string, EFirmwareKind> cases[] = {
        {"a.hex", EFirmwareKind::kHex},     {"a.ASC", EFirmwareKind::kAsc},   {"a.srec", EFirmwareKind::kSrec},
        {"a.S19", EFirmwareKind::kSrec},    {"a.s28", EFirmwareKind::kSrec},  {"a.s37", EFirmwareKind::kSrec},
        {"a.Mot", EFirmwareKind::kSrec},    {"a.bin", EFirmwareKind::kBin},   {"a.txt", EFirmwareKind::kUnknown},
        {"a.s20", EFirmwareKind::kUnknown}, {"bin", EFirmwareKind::kUnknown},
    };
    for (const auto& [strPath, kind] : cases)
        EXPECT_EQ(FirmwareKindOf(strPath), kind) << strPath;
    EXPECT_TRUE(FirmwareNeedsAddress("fw.BIN"));
    EXPECT_FALSE(FirmwareNeedsAddress("fw.s19"));
    EXPECT_EQ(FirmwareEndingsText(), ".hex, .asc, .srec, .s19, .s28, .s37, .mot or .bin");
    EXPECT_EQ(FirmwareFormatsText(),
              "Intel HEX (.hex), ASC (.asc), Motorola S-record (.srec, .s19, .s28, .s37, .mot) or raw binary (.bin)");
    EXPECT_EQ(FirmwarePatternsText(), "*.hex *.asc *.srec *.s19 *.s28 *.s37 *.mot *.bin");
}

TEST(FirmwareLoadTest, RawBinaryLoadsOnlyWithAnAddressAndKeepsIt)
{
    CTempDir dir;
    const std::string strPath = dir.Write("app.bin", "\x12\x34");

    const auto pRefused = LoadFirmware(strPath);
    EXPECT_EQ(pRefused->problem, EFirmwareLoadProblem::kNoAddress);
    EXPECT_TRUE(pRefused->image.empty());
    const std::vector<std::pair<std::string, int>> vecRefusal = {
        {"## The file " + strPath + " cannot be used: a raw binary file needs a load address.\r\n", kLogRed}};
    EXPECT_EQ(pRefused->vecLog, vecRefusal);

    const auto pLoaded = LoadFirmware(strPath, SLoadOptions {0x2008});
    ASSERT_EQ(pLoaded->problem, EFirmwareLoadProblem::kNone);
    EXPECT_EQ(pLoaded->options.nLoadAddress, 0x2008u);
    EXPECT_EQ(DescribeImage(pLoaded->image), std::vector<BlockText> {ErasedBlockWith(0x2000, 8, "1234")});
    EXPECT_EQ(pLoaded->strBytes, "\x12\x34");
    EXPECT_TRUE(FirmwareFileUnchanged(*pLoaded));

    // An S-record file goes the same one way, chosen by its ending.
    const auto pSrec = LoadFirmware(dir.Write("app.S37", JoinLines({SRecord(3, 0x30, {0x56}), SRecord(7, 0, {})})));
    ASSERT_EQ(pSrec->problem, EFirmwareLoadProblem::kNone);
    EXPECT_EQ(DescribeImage(pSrec->image), std::vector<BlockText> {ErasedBlockWith(0x30, 0, "56")});
}

}  // namespace
