#include "download/FirmwareReader.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include <fmt/format.h>

#include "core/FileSystem.h"
#include "core/TextNumber.h"

namespace {

// One byte per 24-bit device address; 0xFF is what an erased device holds.
constexpr size_t kHexAreaSize = size_t {1} << 24;
constexpr uint32_t kHexAddressMask = 0xFFFFFF;
constexpr uint8_t kErased = 0xFF;

constexpr const char* kNoMemoryText = "##  Not enough memory to load the file.\r\n";

// Cuts `text` before the first occurrence of `marker`, if any.
std::string_view CutAt(std::string_view text, std::string_view marker)
{
    const size_t nPos = text.find(marker);
    return nPos == std::string_view::npos ? text : text.substr(0, nPos);
}

// The value of two characters, read the lenient way unless both are plain
// digits (the usual case, kept cheap).
uint32_t HexPair(const char* pText)
{
    const int nHigh = HexDigitValue(pText[0]);
    const int nLow = HexDigitValue(pText[1]);
    if ((nHigh | nLow) < 0) {
        return ParseHex(std::string_view(pText, 2));
    }
    return static_cast<uint32_t>((nHigh << 4) | nLow);
}

// Reads a fixed-width field of 2 or 4 characters from the front of `text`
// and removes it. A short text gives what there is.
uint32_t TakeHexField(std::string_view& text, size_t nWidth)
{
    if (text.size() < nWidth) {
        const uint32_t nValue = ParseHex(text);
        text = {};
        return nValue;
    }
    const std::string_view field = text.substr(0, nWidth);
    text.remove_prefix(nWidth);
    if (nWidth == 2) {
        return HexPair(field.data());
    }
    // Two plain pairs read the same as the whole field; anything else does not.
    const bool bPlain =
        (HexDigitValue(field[0]) | HexDigitValue(field[1]) | HexDigitValue(field[2]) | HexDigitValue(field[3])) >= 0;
    return bPlain ? (HexPair(field.data()) << 8) | HexPair(field.data() + 2) : ParseHex(field);
}

// Hands out the lines of a file, read in large chunks, or of a text held in
// memory. A line ends at LF and loses one CR in front of it; it may be any
// length and hold any bytes.
class CLineReader {
public:
    // pKeep, when given, gets every byte read appended to it.
    CLineReader(CInputFile& file, std::string* pKeep)
        : m_pFile(&file), m_pKeep(pKeep), m_pBuffer(std::make_unique_for_overwrite<char[]>(kChunkSize)),
          m_pData(m_pBuffer.get())
    {}
    explicit CLineReader(std::string_view text) : m_pData(text.data()), m_nEnd(text.size()), m_bEndOfFile(true) {}
    CLineReader(const CLineReader&) = delete;
    CLineReader& operator=(const CLineReader&) = delete;

    // 1: `line` holds the next line (valid until the next call); 0: end of
    // file; -1: the file could not be read. May throw std::bad_alloc when a
    // line is too long for the memory there is.
    int NextLine(std::string_view& line)
    {
        for (;;) {
            const char* pBegin = m_pData + m_nBegin;
            const char* pEnd = m_pData + m_nEnd;
            const char* pSearch = pBegin + m_nScanned;
            if (const auto* pLf =
                    static_cast<const char*>(std::memchr(pSearch, '\n', static_cast<size_t>(pEnd - pSearch)))) {
                const char* pLineEnd = (pLf > pBegin && pLf[-1] == '\r') ? pLf - 1 : pLf;
                line = std::string_view(pBegin, static_cast<size_t>(pLineEnd - pBegin));
                m_nBegin = static_cast<size_t>(pLf + 1 - m_pData);
                m_nScanned = 0;
                return 1;
            }
            m_nScanned = static_cast<size_t>(pEnd - pBegin);
            if (m_bEndOfFile) {
                if (pBegin == pEnd) {
                    return 0;
                }
                line = std::string_view(pBegin, static_cast<size_t>(pEnd - pBegin));
                m_nBegin = m_nEnd;
                m_nScanned = 0;
                return 1;
            }
            if (!Refill()) {
                return -1;
            }
        }
    }

private:
    static constexpr size_t kChunkSize = size_t {256} << 10;

    // Moves the unfinished line to the front, into a larger buffer if it
    // takes more than half of this one, and reads as much as fits.
    bool Refill()
    {
        const size_t nKept = m_nEnd - m_nBegin;
        if (nKept > m_nCapacity / 2) {
            auto pLarger = std::make_unique_for_overwrite<char[]>(m_nCapacity * 2);
            std::memcpy(pLarger.get(), m_pBuffer.get() + m_nBegin, nKept);
            m_pBuffer = std::move(pLarger);
            m_nCapacity *= 2;
        } else if (m_nBegin > 0) {
            std::memmove(m_pBuffer.get(), m_pBuffer.get() + m_nBegin, nKept);
        }
        m_pData = m_pBuffer.get();
        m_nBegin = 0;
        m_nEnd = nKept;
        const long nRead = m_pFile->Read(m_pBuffer.get() + m_nEnd, m_nCapacity - m_nEnd);
        if (nRead < 0) {
            return false;
        }
        if (m_pKeep)
            m_pKeep->append(m_pBuffer.get() + m_nEnd, static_cast<size_t>(nRead));
        m_nEnd += static_cast<size_t>(nRead);
        m_bEndOfFile = nRead == 0;
        return true;
    }

    CInputFile* m_pFile = nullptr;  // none for a text in memory
    std::string* m_pKeep = nullptr;
    size_t m_nCapacity = kChunkSize;
    std::unique_ptr<char[]> m_pBuffer;
    const char* m_pData = nullptr;  // the buffer, or the text in memory
    size_t m_nBegin = 0;            // first byte of the current, unfinished line
    size_t m_nEnd = 0;              // end of the bytes read so far
    size_t m_nScanned = 0;          // bytes after m_nBegin known to hold no LF
    bool m_bEndOfFile = false;
};

// The work area: one byte per 24-bit address, in 4 KiB pages made when a
// record first writes to them, so that a load costs what its data covers and
// not the 16 MiB the addresses could reach. Each byte is held XOR 0xFF, so
// that a page made zeroed already reads as erased.
class CHexWorkArea {
public:
    CHexWorkArea() : m_pages(kHexAreaSize / kPageSize) {}

    // Makes the pages of bytes nAddress to nAddress + nCount - 1 (inside the
    // area) that are not there yet; false when memory runs out.
    bool MakePages(uint32_t nAddress, int32_t nCount)
    {
        if (nCount <= 0)
            return true;
        const uint32_t nLast = nAddress + static_cast<uint32_t>(nCount) - 1;
        for (uint32_t nPage = nAddress / kPageSize; nPage <= nLast / kPageSize; ++nPage) {
            if (!m_pages[nPage]) {
                m_pages[nPage].reset(new (std::nothrow) uint8_t[kPageSize]());
                if (!m_pages[nPage])
                    return false;
            }
        }
        return true;
    }
    // Only after MakePages for the address.
    void Put(uint32_t nAddress, uint8_t nByte)
    {
        m_pages[nAddress / kPageSize][nAddress % kPageSize] = nByte ^ kErased;
    }

    // Every 16-byte block of the pages made that holds anything but 0xFF, in
    // address order.
    void CollectBlocks(FirmwareImage& image) const
    {
        size_t nBlocks = 0;
        ForEachBlock([&](size_t, const uint8_t*) { ++nBlocks; });
        image.reserve(nBlocks);
        ForEachBlock([&](size_t nAddress, const uint8_t* pBytes) {
            FirmwareBlock& block = image.emplace_back();
            block.address = static_cast<int32_t>(nAddress);
            block.length = kMaxBlockLength;
            uint64_t halves[2];
            std::memcpy(halves, pBytes, sizeof halves);
            halves[0] = ~halves[0];
            halves[1] = ~halves[1];
            std::memcpy(block.data, halves, sizeof halves);
        });
    }

private:
    static constexpr size_t kPageSize = 4096;

    template <typename F>
    void ForEachBlock(F&& onBlock) const
    {
        for (size_t nPage = 0; nPage < m_pages.size(); ++nPage) {
            const uint8_t* pPage = m_pages[nPage].get();
            if (!pPage)
                continue;
            for (size_t nOffset = 0; nOffset < kPageSize; nOffset += kMaxBlockLength) {
                uint64_t halves[2];
                std::memcpy(halves, pPage + nOffset, sizeof halves);
                if ((halves[0] | halves[1]) != 0)
                    onBlock(nPage * kPageSize + nOffset, pPage + nOffset);
            }
        }
    }

    std::vector<std::unique_ptr<uint8_t[]>> m_pages;
};

// What earlier HEX records leave for the ones after them.
struct SHexAddressing {
    int nMode = 1;  // 2: segment addressing (type 02), else linear (type 04)
    uint32_t nSegmentBase = 0;
    uint32_t nLinearBase = 0;
};

// Applies one trimmed, non-empty HEX line to the work area. Returns 1, or 0
// after logging why the line is rejected.
int ApplyHexRecord(std::string_view line, int64_t nLine, SHexAddressing& addressing, CHexWorkArea& area, CLogSink& log)
{
    if (line.front() != ':') {
        // Printed like a C string: a NUL byte ends the text. The file's own
        // text never reaches a terminal raw, nor at any length.
        const std::string_view text = line.substr(0, line.find('\0'));
        log.AppendLog(fmt::format("##  Invalid format: {}. (L{})\r\n", ShownFileText(text), nLine), kLogRed);
        return 0;
    }
    while (!line.empty() && line.front() == ':') {
        line.remove_prefix(1);
    }

    // A sign in the count field can make it negative; keep it signed so the
    // length test and the message treat it as such.
    const auto nCount = static_cast<int32_t>(TakeHexField(line, 2));
    const uint32_t nOffset = TakeHexField(line, 4);
    const uint32_t nType = TakeHexField(line, 2);
    uint32_t nSum = static_cast<uint32_t>(nCount) + (nOffset >> 8) + nOffset + nType;

    const uint32_t nAddress =
        (addressing.nMode == 2 ? addressing.nSegmentBase * 16 + nOffset : addressing.nLinearBase * 65536 + nOffset) &
        kHexAddressMask;

    uint32_t nChecksum = 0;
    switch (nType) {
    case 0x00: {
        if (static_cast<int64_t>(line.size()) != 2 * int64_t {nCount} + 2) {
            log.AppendLog(fmt::format("##  Data length not equal to {}.(L{})\r\n", nCount, nLine), kLogRed);
            return 0;
        }
        // Refused rather than written past the end of the work area.
        if (int64_t {nAddress} + nCount - 1 > int64_t {kHexAddressMask}) {
            log.AppendLog(fmt::format("##  Address out of range. (L{})\r\n", nLine), kLogRed);
            return 0;
        }
        const char* pText = line.data();
        if (!area.MakePages(nAddress, nCount)) {
            log.AppendLog(kNoMemoryText, kLogRed);
            return 0;
        }
        for (int32_t i = 0; i < nCount; ++i, pText += 2) {
            const uint32_t nByte = HexPair(pText);
            nSum += nByte;
            area.Put(nAddress + static_cast<uint32_t>(i), static_cast<uint8_t>(nByte));
        }
        line.remove_prefix(static_cast<size_t>(pText - line.data()));
        nChecksum = TakeHexField(line, 2);  // the two characters left; none for a count of -1
        break;
    }
    case 0x02:
    case 0x04: {
        const uint32_t nBase = TakeHexField(line, 4);
        nSum += (nBase >> 8) + nBase;
        if (nType == 0x02) {
            addressing.nMode = 2;
            addressing.nSegmentBase = nBase;
        } else {
            addressing.nMode = 1;
            addressing.nLinearBase = nBase;
        }
        nChecksum = ParseHex(line);  // however many characters are left
        break;
    }
    default:
        // End of file, start addresses and unknown types carry nothing we
        // keep, so they are not checked.
        return 1;
    }

    if (((0u - nSum) & 0xFF) != (nChecksum & 0xFF)) {
        log.AppendLog(fmt::format("##  Checksum error. (L{})\r\n", nLine), kLogRed);
        return 0;
    }
    return 1;
}

// Whether an accepted record line is an end-of-file record (type 01).
bool IsEndRecord(std::string_view line)
{
    while (!line.empty() && line.front() == ':') {
        line.remove_prefix(1);
    }
    line.remove_prefix(std::min<size_t>(line.size(), 6));
    return TakeHexField(line, 2) == 0x01;
}

int LoadHex(CLineReader& reader, FirmwareImage& image, CLogSink& log)
{
    CHexWorkArea area;
    SHexAddressing addressing;
    int64_t nLine = 0;
    std::string_view line;
    int nRead = 0;
    // The last record, for a file that ends without an end-of-file record.
    int64_t nLastLine = 0;
    std::string strLastRecord;
    bool bEndRecord = false;
    while ((nRead = reader.NextLine(line)) > 0) {
        ++nLine;
        line = TrimWhiteSpace(line);
        if (line.empty()) {
            continue;
        }
        if (!ApplyHexRecord(line, nLine, addressing, area, log)) {
            return 0;
        }
        if (!bEndRecord) {
            bEndRecord = IsEndRecord(line);
            nLastLine = nLine;
            strLastRecord.assign(line.substr(0, kShownFileTextBytes + 4));
        }
    }
    if (nRead < 0) {
        return 0;
    }
    // A file cut off at a line end reads like a whole one but for its
    // end-of-file record; records after that record are still placed.
    if (nLastLine > 0 && !bEndRecord) {
        log.AppendLog(fmt::format("##  End-of-file record missing after line {}: {}; the file may be cut off.\r\n",
                                  nLastLine, ShownFileText(strLastRecord)),
                      kLogRed);
        return 0;
    }
    area.CollectBlocks(image);
    return 1;
}

// Bytes of ASC data lines waiting to become one block.
class CAscPending {
public:
    explicit CAscPending(FirmwareImage& image) : m_image(image) {}

    int Count() const { return m_nCount; }

    void Add(uint8_t nByte) { m_arrData[static_cast<size_t>(m_nCount++)] = nByte; }

    // The pending bytes end at nLastAddress.
    void Flush(uint32_t nLastAddress)
    {
        FirmwareBlock& block = m_image.emplace_back();
        block.address = static_cast<int32_t>(nLastAddress - static_cast<uint32_t>(m_nCount) + 1);
        block.length = m_nCount;
        std::memcpy(block.data, m_arrData.data(), static_cast<size_t>(m_nCount));
        m_nCount = 0;
    }

private:
    FirmwareImage& m_image;
    std::array<uint8_t, kMaxBlockLength> m_arrData {};
    int m_nCount = 0;
};

int LoadAsc(CLineReader& reader, FirmwareImage& image)
{
    uint32_t nCurrent = 0;
    uint32_t nLast = 0xFFFFFFFF;
    CAscPending pending(image);
    std::string_view line;
    int nRead = 0;
    while ((nRead = reader.NextLine(line)) > 0) {
        line = TrimWhiteSpace(CutAt(CutAt(line, "//"), ";"));
        if (line.empty()) {
            continue;
        }
        if (line.front() == '@') {
            while (!line.empty() && line.front() == '@') {
                line.remove_prefix(1);
            }
            nCurrent = ParseHex(line);
            continue;
        }
        // A block ends when full, at a 16-byte boundary, or where the
        // addresses stop running on.
        if (pending.Count() > 0 &&
            (pending.Count() % kMaxBlockLength == 0 || (nCurrent & 0xF) == 0 || nCurrent != nLast + 1)) {
            pending.Flush(nLast);
        }
        pending.Add(static_cast<uint8_t>(ParseHex(line)));
        nLast = nCurrent;
        ++nCurrent;
    }
    if (nRead < 0) {
        return 0;
    }
    if (pending.Count() > 0) {
        pending.Flush(nLast);
    }
    return 1;
}

}  // namespace

uint32_t ParseHex(std::string_view text)
{
    // Leading white space only: a trailing one ends the digits anyway.
    const std::string_view trimmed = TrimWhiteSpace(text);
    text = text.substr(trimmed.empty() ? text.size() : static_cast<size_t>(trimmed.data() - text.data()));
    size_t i = 0;
    bool bNegative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        bNegative = text[i] == '-';
        ++i;
    }
    if (i + 1 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
        i += 2;
    }
    uint64_t nValue = 0;
    for (; i < text.size(); ++i) {
        const int nDigit = HexDigitValue(text[i]);
        if (nDigit < 0) {
            break;
        }
        nValue = (nValue << 4) | static_cast<uint64_t>(nDigit);
        if (nValue > 0xFFFFFFFF) {
            return 0xFFFFFFFF;
        }
    }
    const auto nResult = static_cast<uint32_t>(nValue);
    return bNegative ? 0u - nResult : nResult;
}

namespace {

// Runs one reader: the image starts empty and stays empty unless the whole
// file was read; memory running out is reported, never thrown past us.
template <typename TLoad>
int LoadWith(FirmwareImage& image, CLogSink& log, TLoad load)
{
    FreeImage(image);
    try {
        const int nResult = load();
        if (!nResult) {
            FreeImage(image);
        }
        return nResult;
    } catch (const std::bad_alloc&) {
        FreeImage(image);
        log.AppendLog(kNoMemoryText, kLogRed);
        return 0;
    }
}

}  // namespace

std::string ShownFileText(std::string_view text, size_t nMaxBytes)
{
    std::string strShown;
    strShown.reserve(std::min(text.size(), nMaxBytes) + 8);
    size_t i = 0;
    for (; i < text.size() && strShown.size() < nMaxBytes; ++i) {
        const auto c = static_cast<uint8_t>(text[i]);
        // C0 controls and DEL, and the C1 controls as UTF-8 encodes them
        // (0xC2 0x80-0x9F), which some terminals act on too.
        if (c < 0x20 || c == 0x7F) {
            strShown += fmt::format("\\x{:02X}", c);
        } else if (c == 0xC2 && i + 1 < text.size() && static_cast<uint8_t>(text[i + 1]) >= 0x80 &&
                   static_cast<uint8_t>(text[i + 1]) <= 0x9F) {
            strShown += fmt::format("\\u{:04X}", static_cast<uint8_t>(text[i + 1]));
            ++i;
        } else {
            strShown += static_cast<char>(c);
        }
    }
    if (i < text.size()) {
        // Never end inside a UTF-8 sequence.
        while (!strShown.empty() && (static_cast<uint8_t>(strShown.back()) & 0xC0) == 0x80)
            strShown.pop_back();
        if (!strShown.empty() && static_cast<uint8_t>(strShown.back()) >= 0xC0)
            strShown.pop_back();
        strShown += "\u2026";
    }
    return strShown;
}

CFirmwareFileCheck CheckFirmwareFile(const std::string& strPath)
{
    CFirmwareFileCheck check;
    const auto unreadable = [&](std::string strReason) {
        check.problem = EFileProblem::kUnreadable;
        check.strReason = std::move(strReason);
        return check;
    };
    std::string strError;
    switch (PathKindOf(strPath, strError)) {
    case EPathKind::kMissing: check.problem = EFileProblem::kNotFound; return check;
    case EPathKind::kUnknown: return unreadable(strError);
    case EPathKind::kFolder: return unreadable("it is a folder");
    case EPathKind::kOther: return unreadable("it is not a regular file");
    case EPathKind::kRegularFile: break;
    }
    CInputFile file;
    if (!file.Open(strPath, strError))
        return unreadable(strError);
    check.kind = FirmwareKindOf(strPath);
    if (check.kind == EFirmwareKind::kUnknown) {
        check.problem = EFileProblem::kUnknownKind;
        check.strReason = "not a " + FirmwareEndingsText() + " file";
    }
    return check;
}

EFirmwareKind FirmwareKindOf(const std::string& strPath)
{
    const SFirmwareFormat* pFormat = FirmwareFormatOf(strPath);
    return pFormat ? pFormat->kind : EFirmwareKind::kUnknown;
}

namespace {

// Runs read on the lines of the file at strPath; a file that cannot be
// opened gives 0 without a log line.
template <typename TRead>
int LoadFile(const std::string& strPath, FirmwareImage& image, CLogSink& log, std::string* pBytesRead, TRead read)
{
    if (pBytesRead)
        pBytesRead->clear();
    return LoadWith(image, log, [&] {
        CInputFile file;
        std::string strError;
        if (!file.Open(strPath, strError)) {
            return 0;
        }
        CLineReader reader(file, pBytesRead);
        return read(reader);
    });
}

}  // namespace

int LoadHexFile(const std::string& strPath, FirmwareImage& image, CLogSink& log, std::string* pBytesRead)
{
    return LoadFile(strPath, image, log, pBytesRead, [&](CLineReader& reader) { return LoadHex(reader, image, log); });
}

int LoadAscFile(const std::string& strPath, FirmwareImage& image, CLogSink& log, std::string* pBytesRead)
{
    return LoadFile(strPath, image, log, pBytesRead, [&](CLineReader& reader) { return LoadAsc(reader, image); });
}

int LoadHexText(std::string_view text, FirmwareImage& image, CLogSink& log)
{
    return LoadWith(image, log, [&] {
        CLineReader reader(text);
        return LoadHex(reader, image, log);
    });
}

int LoadAscText(std::string_view text, FirmwareImage& image, CLogSink& log)
{
    return LoadWith(image, log, [&] {
        CLineReader reader(text);
        return LoadAsc(reader, image);
    });
}

namespace {

// ".asc" is looked at before ".hex", as the run always has.
constexpr SFirmwareFormat kFormats[] = {
    {EFirmwareKind::kAsc, "ASC", {".asc"}, LoadAscFile, LoadAscText},
    {EFirmwareKind::kHex, "Intel HEX", {".hex"}, LoadHexFile, LoadHexText},
};

}  // namespace

std::span<const SFirmwareFormat> FirmwareFormats()
{
    return kFormats;
}

const SFirmwareFormat* FirmwareFormatOf(const std::string& strPath)
{
    for (const SFirmwareFormat& format : kFormats) {
        for (const char* pEnding : format.endings) {
            const std::string_view ending = pEnding ? pEnding : "";
            if (!ending.empty() && strPath.size() >= ending.size() &&
                EqualsNoCase(std::string_view(strPath).substr(strPath.size() - ending.size()), ending))
                return &format;
        }
    }
    return nullptr;
}

std::string FirmwareEndingsText()
{
    std::vector<std::string_view> endings;
    for (const SFirmwareFormat& format : kFormats) {
        for (const char* pEnding : format.endings) {
            if (pEnding)
                endings.emplace_back(pEnding);
        }
    }
    // In the order a reader would name them: ".hex or .asc".
    std::reverse(endings.begin(), endings.end());
    std::string strText;
    for (size_t i = 0; i < endings.size(); ++i) {
        strText += i == 0 ? "" : i + 1 == endings.size() ? " or " : ", ";
        strText += endings[i];
    }
    return strText;
}
