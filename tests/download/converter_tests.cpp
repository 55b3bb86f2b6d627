// Our readers against two independent converters: a random image with gaps
// and addresses above 64 KiB and above 16 MiB, written by srec_cat and by
// objcopy as S-record, Intel HEX and raw binary, reads back as that image.
#ifndef _WIN32
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>

#include <gtest/gtest.h>

#include "ReaderFixtures.h"
#include "download/FirmwareReader.h"

namespace {

constexpr uint32_t kSpace = uint32_t {1} << 24;  // what reaches the device

struct SSegment {
    uint32_t nAddress;
    std::string strBytes;
};

bool HaveTool(const char* pszTool)
{
    return std::system(fmt::format("command -v {} >/dev/null 2>&1", pszTool).c_str()) == 0;
}

std::string ReadBinary(const std::string& strPath)
{
    std::ifstream file(strPath, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

// Three groups: below 64 KiB and a little above it, just below 16 MiB, and
// above 16 MiB (where only the low 24 bits reach the device, and those fall
// in none of the others' places). Segments are apart, with gaps of any size.
std::vector<std::vector<SSegment>> RandomGroups(uint32_t nSeed)
{
    std::mt19937 random(nSeed);
    const auto segmentsFrom = [&](uint32_t nAddress, int nCount) {
        std::vector<SSegment> vecSegments;
        for (int i = 0; i < nCount; ++i) {
            nAddress += 1 + random() % 0x3000;  // the gap, odd sizes included
            SSegment& segment = vecSegments.emplace_back();
            segment.nAddress = nAddress;
            segment.strBytes.resize(1 + random() % 2500);
            for (char& c : segment.strBytes)
                c = static_cast<char>(random() % 5 == 0 ? 0xFF : random());  // erased runs too
            nAddress += static_cast<uint32_t>(segment.strBytes.size());
        }
        return vecSegments;
    };
    return {segmentsFrom(0xE000, 6), segmentsFrom(0xFC0000, 4), segmentsFrom(0x08400000, 4)};
}

// The device's 24-bit space as the segments fill it, 0xFF elsewhere.
std::string SpaceOf(const std::vector<SSegment>& vecSegments)
{
    std::string strSpace(kSpace, '\xFF');
    for (const SSegment& segment : vecSegments)
        std::memcpy(strSpace.data() + (segment.nAddress & (kSpace - 1)), segment.strBytes.data(),
                    segment.strBytes.size());
    return strSpace;
}

std::string SpaceOf(const FirmwareImage& image)
{
    std::string strSpace(kSpace, '\xFF');
    for (const FirmwareBlock& block : image) {
        EXPECT_LE(static_cast<uint32_t>(block.address) + static_cast<uint32_t>(block.length), kSpace);
        std::memcpy(strSpace.data() + block.address, block.data, static_cast<size_t>(block.length));
    }
    return strSpace;
}

// Where two spaces first differ, for a message; empty when they do not.
std::string FirstDifference(const std::string& strLoaded, const std::string& strExpected)
{
    for (size_t i = 0; i < strLoaded.size(); ++i) {
        if (strLoaded[i] != strExpected[i])
            return fmt::format("address {:06X}: loaded {:02X}, expected {:02X}", i, static_cast<uint8_t>(strLoaded[i]),
                               static_cast<uint8_t>(strExpected[i]));
    }
    return {};
}

// Runs a converter; what it says is shown only when it fails (srec_cat
// warns of every file without a start address).
::testing::AssertionResult RunTool(const CTempDir& dir, const std::string& strCommand)
{
    const std::string strOutput = dir.File("tool.out");
    if (std::system(fmt::format("{} >'{}' 2>&1", strCommand, strOutput).c_str()) == 0)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << strCommand << "\n" << ReadBinary(strOutput);
}

TEST(ConverterTest, FilesOfSrecCatAndObjcopyReadAsTheirImage)
{
    if (!HaveTool("srec_cat") || !HaveTool("objcopy"))
        GTEST_SKIP() << "srec_cat (package srecord) or objcopy (package binutils) is not installed";
    for (const uint32_t nSeed : {1u, 20261211u}) {
        SCOPED_TRACE(fmt::format("seed {}", nSeed));
        CTempDir dir;
        const std::vector<std::vector<SSegment>> vecGroups = RandomGroups(nSeed);
        std::vector<SSegment> vecAll;
        // The source: a raw file per segment, each placed by srec_cat.
        std::string strInputs;
        for (const std::vector<SSegment>& vecGroup : vecGroups) {
            for (const SSegment& segment : vecGroup) {
                const std::string strPath = dir.Write(fmt::format("seg{}.raw", vecAll.size()), segment.strBytes);
                strInputs += fmt::format(" '{}' -binary -offset 0x{:X}", strPath, segment.nAddress);
                vecAll.push_back(segment);
            }
        }
        const std::string strExpected = SpaceOf(vecAll);
        std::mt19937 random(nSeed);
        const size_t nBlockSize = 8 + random() % 48;
        // With a start address srec_cat ends the file with S7; without one, with the count.
        if (nSeed % 2 == 0)
            strInputs += fmt::format(" -execution-start-address 0x{:X}", vecAll.back().nAddress);

        const std::string strSrec = dir.File("cat.srec");
        const std::string strHex = dir.File("cat.hex");
        ASSERT_TRUE(RunTool(
            dir, fmt::format("srec_cat{} -o '{}' -Motorola -Output_Block_Size {}", strInputs, strSrec, nBlockSize)));
        ASSERT_TRUE(RunTool(
            dir, fmt::format("srec_cat{} -o '{}' -Intel -Output_Block_Size {}", strInputs, strHex, nBlockSize)));
        const std::string strObjSrec = dir.File("obj.s37");
        const std::string strObjHex = dir.File("obj.hex");
        ASSERT_TRUE(RunTool(dir, fmt::format("objcopy -I srec -O ihex '{}' '{}'", strSrec, strObjHex)));
        ASSERT_TRUE(RunTool(
            dir, fmt::format("objcopy -I ihex -O srec --srec-len {} '{}' '{}'", nBlockSize, strHex, strObjSrec)));
        const std::string strSrecText = ReadBinary(strSrec);
        ASSERT_NE(strSrecText.find("\nS3"), std::string::npos) << "32-bit records above 16 MiB";
        EXPECT_EQ(strSrecText.find("\nS7") != std::string::npos, nSeed % 2 == 0);

        const struct {
            std::string strPath;
            int (*pLoad)(const std::string&, FirmwareImage&, CLogSink&, std::string*);
        } files[] = {
            {strSrec, LoadSrecFile}, {strObjSrec, LoadSrecFile}, {strHex, LoadHexFile}, {strObjHex, LoadHexFile}};
        for (const auto& file : files) {
            SCOPED_TRACE(file.strPath);
            CRecordingLog log;
            FirmwareImage image;
            ASSERT_EQ(file.pLoad(file.strPath, image, log, nullptr), 1)
                << (log.m_vecEntries.empty() ? "" : log.m_vecEntries[0].first);
            EXPECT_TRUE(log.m_vecEntries.empty());
            EXPECT_EQ(FirstDifference(SpaceOf(image), strExpected), "");
        }

        // A raw binary per group, from its first address, gaps filled with 0xFF.
        for (size_t nGroup = 0; nGroup < vecGroups.size(); ++nGroup) {
            const std::vector<SSegment>& vecGroup = vecGroups[nGroup];
            const uint32_t nFirst = vecGroup.front().nAddress;
            const uint32_t nEnd = vecGroup.back().nAddress + static_cast<uint32_t>(vecGroup.back().strBytes.size());
            const std::string strCatBin = dir.File(fmt::format("cat{}.bin", nGroup));
            const std::string strObjBin = dir.File(fmt::format("obj{}.bin", nGroup));
            ASSERT_TRUE(RunTool(
                dir,
                fmt::format(
                    "srec_cat '{}' -Motorola -crop 0x{:X} 0x{:X} -offset -0x{:X} -fill 0xFF 0 0x{:X} -o '{}' -binary",
                    strSrec, nFirst, nEnd, nFirst, nEnd - nFirst, strCatBin)));
            // objcopy writes from the lowest address it is given: the group alone.
            const std::string strGroupHex = dir.File(fmt::format("group{}.hex", nGroup));
            ASSERT_TRUE(RunTool(dir, fmt::format("srec_cat '{}' -Motorola -crop 0x{:X} 0x{:X} -o '{}' -Intel", strSrec,
                                                 nFirst, nEnd, strGroupHex)));
            ASSERT_TRUE(RunTool(
                dir, fmt::format("objcopy -I ihex -O binary --gap-fill 0xFF '{}' '{}'", strGroupHex, strObjBin)));
            const std::string strGroupExpected = SpaceOf(vecGroup);
            for (const std::string& strPath : {strCatBin, strObjBin}) {
                SCOPED_TRACE(strPath);
                EXPECT_EQ(ReadBinary(strPath).size(), nEnd - nFirst);
                CRecordingLog log;
                FirmwareImage image;
                ASSERT_EQ(LoadBinFile(strPath, SLoadOptions {nFirst}, image, log), 1)
                    << (log.m_vecEntries.empty() ? "" : log.m_vecEntries[0].first);
                EXPECT_TRUE(log.m_vecEntries.empty());
                EXPECT_EQ(FirstDifference(SpaceOf(image), strGroupExpected), "");
            }
        }
    }
}

}  // namespace
#endif  // _WIN32
