#include "download/FirmwareWriter.h"

#include <algorithm>

#include <fmt/format.h>

#include "core/FileSystem.h"
#include "download/FirmwareReader.h"

namespace {

// Data bytes per record, as the common tools write them.
constexpr size_t kBytesPerRecord = 16;

// What a read is written as, for a format of the readers' table. ASC has no
// writer: a byte a line is no way to keep a device's memory.
EOutputKind OutputKindOfFormat(EFirmwareKind kind)
{
    switch (kind) {
    case EFirmwareKind::kHex: return EOutputKind::kIntelHex;
    case EFirmwareKind::kSrec: return EOutputKind::kSRecord;
    case EFirmwareKind::kBin: return EOutputKind::kBinary;
    case EFirmwareKind::kAsc:
    case EFirmwareKind::kUnknown: break;
    }
    return EOutputKind::kUnknown;
}

bool Writable(EFirmwareKind kind)
{
    return OutputKindOfFormat(kind) != EOutputKind::kUnknown;
}

void SortByAddress(std::vector<SMemoryRange>& ranges)
{
    std::sort(ranges.begin(), ranges.end(),
              [](const SMemoryRange& a, const SMemoryRange& b) { return a.nStart < b.nStart; });
}

// One Intel HEX record; its checksum makes the sum of all its bytes 0.
std::string HexRecord(uint8_t nType, uint16_t nOffset, const uint8_t* pData, size_t nLength)
{
    std::string strLine = fmt::format(":{:02X}{:04X}{:02X}", nLength, nOffset, nType);
    uint32_t nSum = static_cast<uint32_t>(nLength) + (nOffset >> 8) + (nOffset & 0xFF) + nType;
    for (size_t i = 0; i < nLength; ++i) {
        strLine += fmt::format("{:02X}", pData[i]);
        nSum += pData[i];
    }
    return strLine + fmt::format("{:02X}\n", (0x100 - (nSum & 0xFF)) & 0xFF);
}

// One S-record: the count covers address, data and checksum; the checksum
// is the ones' complement of the low byte of their sum.
std::string SRecord(char cType, uint32_t nAddress, int nAddressBytes, const uint8_t* pData, size_t nLength)
{
    const size_t nCount = static_cast<size_t>(nAddressBytes) + nLength + 1;
    std::string strLine = fmt::format("S{}{:02X}", cType, nCount);
    uint32_t nSum = static_cast<uint32_t>(nCount);
    for (int i = nAddressBytes - 1; i >= 0; --i) {
        const uint8_t nByte = static_cast<uint8_t>(nAddress >> (8 * i));
        strLine += fmt::format("{:02X}", nByte);
        nSum += nByte;
    }
    for (size_t i = 0; i < nLength; ++i) {
        strLine += fmt::format("{:02X}", pData[i]);
        nSum += pData[i];
    }
    return strLine + fmt::format("{:02X}\n", ~nSum & 0xFF);
}

}  // namespace

EOutputKind OutputKindOf(const std::string& strPath)
{
    return OutputKindOfFormat(FirmwareKindOf(strPath));
}

std::string OutputEndings()
{
    return FirmwareEndingsText(Writable);
}

std::string IntelHexText(std::vector<SMemoryRange> ranges)
{
    SortByAddress(ranges);
    std::string strText;
    uint32_t nUpper = 0;  // a file starts with the upper bits at 0
    for (const SMemoryRange& range : ranges) {
        for (size_t i = 0; i < range.vecData.size();) {
            const uint32_t nAt = range.nStart + static_cast<uint32_t>(i);
            if ((nAt >> 16) != nUpper) {
                nUpper = nAt >> 16;
                const uint8_t upper[2] = {static_cast<uint8_t>(nUpper >> 8), static_cast<uint8_t>(nUpper)};
                strText += HexRecord(0x04, 0, upper, 2);
            }
            const size_t n = std::min({kBytesPerRecord, range.vecData.size() - i, size_t {0x10000 - (nAt & 0xFFFF)}});
            strText += HexRecord(0x00, static_cast<uint16_t>(nAt & 0xFFFF), range.vecData.data() + i, n);
            i += n;
        }
    }
    return strText + HexRecord(0x01, 0, nullptr, 0);
}

std::string SRecordText(std::vector<SMemoryRange> ranges)
{
    SortByAddress(ranges);
    uint64_t nHighest = 0;
    for (const SMemoryRange& range : ranges) {
        if (!range.vecData.empty())
            nHighest = std::max<uint64_t>(nHighest, range.nStart + range.vecData.size() - 1);
    }
    const int nAddressBytes = nHighest <= 0xFFFF ? 2 : nHighest <= 0xFFFFFF ? 3 : 4;
    const char cData = static_cast<char>('0' + nAddressBytes - 1);  // S1, S2, S3
    const char cEnd = static_cast<char>('0' + 11 - nAddressBytes);  // S9, S8, S7
    static const uint8_t kHeader[] = {'v', 'a', 'n', 't', 'r', 'e', 'l'};
    std::string strText = SRecord('0', 0, 2, kHeader, sizeof kHeader);
    size_t nRecords = 0;
    for (const SMemoryRange& range : ranges) {
        for (size_t i = 0; i < range.vecData.size(); i += kBytesPerRecord, ++nRecords) {
            const size_t n = std::min(kBytesPerRecord, range.vecData.size() - i);
            strText +=
                SRecord(cData, range.nStart + static_cast<uint32_t>(i), nAddressBytes, range.vecData.data() + i, n);
        }
    }
    // The count record holds 16 bits (S5) or 24 (S6).
    strText += nRecords <= 0xFFFF ? SRecord('5', static_cast<uint32_t>(nRecords), 2, nullptr, 0)
                                  : SRecord('6', static_cast<uint32_t>(nRecords), 3, nullptr, 0);
    return strText + SRecord(cEnd, 0, nAddressBytes, nullptr, 0);
}

bool OutputTakes(const std::string& strPath, size_t nRanges, std::string& strError)
{
    switch (OutputKindOf(strPath)) {
    case EOutputKind::kUnknown:
        strError = fmt::format("the file's ending does not name its format: use {}", OutputEndings());
        return false;
    case EOutputKind::kBinary:
        if (nRanges != 1) {
            strError = "a binary file holds one range, without addresses; read several into .hex or .srec";
            return false;
        }
        return true;
    default: return true;
    }
}

bool WriteFirmwareFile(const std::string& strPath, const std::vector<SMemoryRange>& ranges, std::string& strError)
{
    if (!OutputTakes(strPath, ranges.size(), strError))
        return false;
    std::string strBytes;
    switch (OutputKindOf(strPath)) {
    case EOutputKind::kIntelHex: strBytes = IntelHexText(ranges); break;
    case EOutputKind::kSRecord: strBytes = SRecordText(ranges); break;
    default: strBytes.assign(ranges.front().vecData.begin(), ranges.front().vecData.end()); break;
    }
    return ReplaceFile(strPath, strBytes, strError);
}
