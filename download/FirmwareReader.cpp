#include "download/FirmwareReader.h"

#include <algorithm>
#include <array>
#include <charconv>
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
// A raw binary is read in pieces of this size.
constexpr size_t kBinChunkSize = size_t {256} << 10;

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

// Refuses a line that is no record. Returns 0.
int LogInvalidFormat(std::string_view line, int64_t nLine, CLogSink& log)
{
    // Printed like a C string: a NUL byte ends the text. The file's own
    // text never reaches a terminal raw, nor at any length.
    const std::string_view text = line.substr(0, line.find('\0'));
    log.AppendLog(fmt::format("##  Invalid format: {}. (L{})\r\n", ShownFileText(text), nLine), kLogRed);
    return 0;
}

// Applies one trimmed, non-empty HEX line to the work area. Returns 1, or 0
// after logging why the line is rejected.
int ApplyHexRecord(std::string_view line, int64_t nLine, SHexAddressing& addressing, CHexWorkArea& area, CLogSink& log)
{
    if (line.front() != ':')
        return LogInvalidFormat(line, nLine, log);
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
bool IsHexEndRecord(std::string_view line)
{
    while (!line.empty() && line.front() == ':') {
        line.remove_prefix(1);
    }
    line.remove_prefix(std::min<size_t>(line.size(), 6));
    return TakeHexField(line, 2) == 0x01;
}

// What the S-record reader carries from one record to the next.
struct SSrecState {
    uint32_t nDataRecords = 0;  // S1/S2/S3 so far, as S5/S6 count them
};

// The byte two hexadecimal digits give, or -1 for anything else.
int StrictHexPair(const char* pText)
{
    const int nHigh = HexDigitValue(pText[0]);
    const int nLow = HexDigitValue(pText[1]);
    return (nHigh | nLow) < 0 ? -1 : (nHigh << 4) | nLow;
}

// Applies one trimmed, non-empty S-record line to the work area. Returns 1,
// or 0 after logging why the line is rejected.
int ApplySrecRecord(std::string_view line, int64_t nLine, SSrecState& state, CHexWorkArea& area, CLogSink& log)
{
    // "S", the type digit, the count, then count bytes: address, data, checksum.
    if (line.size() < 4 || (line[0] != 'S' && line[0] != 's') || line[1] < '0' || line[1] > '9')
        return LogInvalidFormat(line, nLine, log);
    const int nType = line[1] - '0';
    const std::string_view fields = line.substr(2);
    const int nCount = StrictHexPair(fields.data());
    if (fields.size() % 2 != 0 || nCount < 0)
        return LogInvalidFormat(line, nLine, log);
    // The address's width by type; S4 is reserved and carries nothing we keep.
    constexpr int kAddressBytes[10] = {2, 2, 3, 4, 0, 2, 3, 4, 3, 2};
    const int nAddressBytes = kAddressBytes[nType];
    if (nType == 4)
        return 1;
    if (static_cast<int64_t>(fields.size()) != 2 * int64_t {nCount} + 2 || nCount < nAddressBytes + 1) {
        log.AppendLog(fmt::format("##  Data length not equal to {}.(L{})\r\n", nCount, nLine), kLogRed);
        return 0;
    }
    // The count's bytes (address, data, checksum), read once.
    std::array<uint8_t, 255> bytes;
    uint32_t nSum = static_cast<uint32_t>(nCount);
    for (int i = 0; i < nCount; ++i) {
        const int nByte = StrictHexPair(fields.data() + 2 + 2 * i);
        if (nByte < 0)
            return LogInvalidFormat(line, nLine, log);
        bytes[static_cast<size_t>(i)] = static_cast<uint8_t>(nByte);
        nSum += static_cast<uint32_t>(nByte);
    }
    // The bytes, checksum included, sum to 0xFF.
    if ((nSum & 0xFF) != 0xFF) {
        log.AppendLog(fmt::format("##  Checksum error. (L{})\r\n", nLine), kLogRed);
        return 0;
    }
    uint32_t nAddress = 0;
    for (int i = 0; i < nAddressBytes; ++i)
        nAddress = (nAddress << 8) | bytes[static_cast<size_t>(i)];
    const auto data =
        std::span(bytes).subspan(static_cast<size_t>(nAddressBytes), static_cast<size_t>(nCount - nAddressBytes - 1));
    switch (nType) {
    case 1:
    case 2:
    case 3: {
        ++state.nDataRecords;
        // Only 24 bits reach the device, as with a HEX file's linear base.
        const uint32_t nStart = nAddress & kHexAddressMask;
        const auto nBytes = static_cast<int32_t>(data.size());
        if (int64_t {nStart} + nBytes - 1 > int64_t {kHexAddressMask}) {
            log.AppendLog(fmt::format("##  Address out of range. (L{})\r\n", nLine), kLogRed);
            return 0;
        }
        if (!area.MakePages(nStart, nBytes)) {
            log.AppendLog(kNoMemoryText, kLogRed);
            return 0;
        }
        for (int32_t i = 0; i < nBytes; ++i)
            area.Put(nStart + static_cast<uint32_t>(i), data[static_cast<size_t>(i)]);
        return 1;
    }
    case 5:
    case 6:
        if (nAddress != state.nDataRecords) {
            log.AppendLog(fmt::format("##  Record count {} does not match the {} data records before it. (L{})\r\n",
                                      nAddress, state.nDataRecords, nLine),
                          kLogRed);
            return 0;
        }
        return 1;
    default: return 1;  // S0 the header, S7/S8/S9 the end and its start address
    }
}

bool IsSrecEndRecord(std::string_view line)
{
    return line.size() >= 2 && line[1] >= '7' && line[1] <= '9';
}

// srec_cat writes no S7/S8/S9 when it knows no start address, but a count
// record last: a checked count of every data record shows the file whole.
bool IsSrecCountRecord(std::string_view line)
{
    return line.size() >= 2 && (line[1] == '5' || line[1] == '6');
}

// A text format of records, one a line, into the work area: what applies
// a record (with the state records leave for the ones after them), what
// marks the end record, what else shows a file whole when it comes last
// (may be null), and what the message calls them.
// The applier is a template argument, so that it is inlined into the loop
// over the lines, as HEX files of many megabytes want.
template <typename TState, int (*pApply)(std::string_view, int64_t, TState&, CHexWorkArea&, CLogSink&)>
int LoadRecords(CLineReader& reader, FirmwareImage& image, CLogSink& log, bool (*pIsEndRecord)(std::string_view),
                bool (*pClosesWhenLast)(std::string_view), const char* pEndRecordName)
{
    TState state;
    CHexWorkArea area;
    int64_t nLine = 0;
    std::string_view line;
    int nRead = 0;
    // The last record, for a file that ends without an end record.
    int64_t nLastLine = 0;
    std::string strLastRecord;
    bool bEndRecord = false;
    bool bClosedByLast = false;
    while ((nRead = reader.NextLine(line)) > 0) {
        ++nLine;
        line = TrimWhiteSpace(line);
        if (line.empty()) {
            continue;
        }
        if (!pApply(line, nLine, state, area, log)) {
            return 0;
        }
        bClosedByLast = pClosesWhenLast && pClosesWhenLast(line);
        if (!bEndRecord) {
            bEndRecord = pIsEndRecord(line);
            nLastLine = nLine;
            strLastRecord.assign(line.substr(0, kShownFileTextBytes + 4));
        }
    }
    if (nRead < 0) {
        return 0;
    }
    // A file cut off at a line end reads like a whole one but for its end
    // record; records after that record are still placed.
    if (nLastLine > 0 && !bEndRecord && !bClosedByLast) {
        log.AppendLog(fmt::format("##  {} missing after line {}: {}; the file may be cut off.\r\n", pEndRecordName,
                                  nLastLine, ShownFileText(strLastRecord)),
                      kLogRed);
        return 0;
    }
    area.CollectBlocks(image);
    return 1;
}

int LoadHex(CLineReader& reader, FirmwareImage& image, CLogSink& log)
{
    return LoadRecords<SHexAddressing, ApplyHexRecord>(reader, image, log, IsHexEndRecord, nullptr,
                                                       "End-of-file record");
}

int LoadSrec(CLineReader& reader, FirmwareImage& image, CLogSink& log)
{
    return LoadRecords<SSrecState, ApplySrecRecord>(reader, image, log, IsSrecEndRecord, IsSrecCountRecord,
                                                    "End record (S7, S8 or S9) or record count (S5 or S6)");
}

// A raw binary: its bytes from the load address on, handed over in pieces,
// cut into the blocks a HEX file of the same bytes gives. Its bytes follow
// on from each other, so no work area is needed: each 16-byte block is
// complete once the next one begins.
class CBinPlacer {
public:
    CBinPlacer(uint32_t nAddress, FirmwareImage& image, CLogSink& log)
        : m_nAddress(nAddress), m_nStart(nAddress & kHexAddressMask), m_image(image), m_log(log)
    {
        m_block.fill(kErased);
    }

    // Places the next piece; 0 after logging why the file cannot be placed.
    int Add(std::string_view piece)
    {
        const uint64_t nEnd = uint64_t {m_nAddress} + m_nPlaced + piece.size();
        if (nEnd > (uint64_t {1} << 32)) {
            m_log.AppendLog(fmt::format("##  The file would pass 4 GiB: more than {} bytes from 0x{:08X}.\r\n",
                                        (uint64_t {1} << 32) - m_nAddress, m_nAddress),
                            kLogRed);
            return 0;
        }
        // Only 24 bits reach the device, as with a HEX file's linear base.
        if (m_nStart + m_nPlaced + piece.size() > kHexAreaSize) {
            m_log.AppendLog(fmt::format("##  Address out of range: the file runs past 0x{:06X} from 0x{:06X}.\r\n",
                                        kHexAddressMask, m_nStart),
                            kLogRed);
            return 0;
        }
        while (!piece.empty()) {
            const uint64_t nAt = m_nStart + m_nPlaced;
            const size_t nOffset = nAt % kMaxBlockLength;
            if (nOffset == 0 && m_nPlaced > 0)
                FlushBlock(nAt - kMaxBlockLength);
            const size_t nTaken = std::min(piece.size(), kMaxBlockLength - nOffset);
            std::memcpy(m_block.data() + nOffset, piece.data(), nTaken);
            piece.remove_prefix(nTaken);
            m_nPlaced += nTaken;
        }
        return 1;
    }

    // The file has ended: its last block too.
    void Finish()
    {
        if (m_nPlaced > 0)
            FlushBlock((m_nStart + m_nPlaced - 1) / kMaxBlockLength * kMaxBlockLength);
    }

private:
    // A block that holds only erased bytes is left out, as in a HEX image.
    void FlushBlock(uint64_t nBlockAddress)
    {
        if (std::any_of(m_block.begin(), m_block.end(), [](uint8_t n) { return n != kErased; })) {
            FirmwareBlock& block = m_image.emplace_back();
            block.address = static_cast<int32_t>(nBlockAddress);
            block.length = kMaxBlockLength;
            std::memcpy(block.data, m_block.data(), m_block.size());
        }
        m_block.fill(kErased);
    }

    uint32_t m_nAddress;
    uint32_t m_nStart;  // the low 24 bits of the address
    FirmwareImage& m_image;
    CLogSink& m_log;
    std::array<uint8_t, kMaxBlockLength> m_block {};
    uint64_t m_nPlaced = 0;
};

// A raw binary's load: feed hands the file's pieces to the placer in turn.
template <typename TFeed>
int LoadBin(const SLoadOptions& options, FirmwareImage& image, CLogSink& log, TFeed feed)
{
    if (!options.nLoadAddress) {
        log.AppendLog("##  A raw binary file needs a load address.\r\n", kLogRed);
        return 0;
    }
    CBinPlacer placer(*options.nLoadAddress, image, log);
    if (!feed(placer))
        return 0;
    placer.Finish();
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

int LoadSrecFile(const std::string& strPath, FirmwareImage& image, CLogSink& log, std::string* pBytesRead)
{
    return LoadFile(strPath, image, log, pBytesRead, [&](CLineReader& reader) { return LoadSrec(reader, image, log); });
}

int LoadBinFile(const std::string& strPath, const SLoadOptions& options, FirmwareImage& image, CLogSink& log,
                std::string* pBytesRead)
{
    if (pBytesRead)
        pBytesRead->clear();
    return LoadWith(image, log, [&] {
        CInputFile file;
        std::string strError;
        if (!file.Open(strPath, strError))
            return 0;
        return LoadBin(options, image, log, [&](CBinPlacer& placer) {
            const auto pChunk = std::make_unique_for_overwrite<char[]>(kBinChunkSize);
            for (;;) {
                const long nRead = file.Read(pChunk.get(), kBinChunkSize);
                if (nRead <= 0)
                    return nRead == 0;
                const std::string_view piece(pChunk.get(), static_cast<size_t>(nRead));
                if (pBytesRead)
                    pBytesRead->append(piece);
                if (!placer.Add(piece))
                    return false;
            }
        });
    });
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

int LoadSrecText(std::string_view text, FirmwareImage& image, CLogSink& log)
{
    return LoadWith(image, log, [&] {
        CLineReader reader(text);
        return LoadSrec(reader, image, log);
    });
}

int LoadBinText(std::string_view bytes, const SLoadOptions& options, FirmwareImage& image, CLogSink& log)
{
    return LoadWith(image, log, [&] {
        return LoadBin(options, image, log, [&](CBinPlacer& placer) { return placer.Add(bytes) == 1; });
    });
}

namespace {

// The readers that need no address, as the table calls them.
template <int (*pLoad)(const std::string&, FirmwareImage&, CLogSink&, std::string*)>
int LoadFileWithout(const std::string& strPath, const SLoadOptions&, FirmwareImage& image, CLogSink& log,
                    std::string* pBytesRead)
{
    return pLoad(strPath, image, log, pBytesRead);
}
template <int (*pLoad)(std::string_view, FirmwareImage&, CLogSink&)>
int LoadTextWithout(std::string_view text, const SLoadOptions&, FirmwareImage& image, CLogSink& log)
{
    return pLoad(text, image, log);
}

// No ending is the end of another's, so the order is the one help texts
// list them in.
constexpr SFirmwareFormat kFormats[] = {
    {EFirmwareKind::kHex, "Intel HEX", {".hex"}, false, LoadFileWithout<LoadHexFile>, LoadTextWithout<LoadHexText>},
    {EFirmwareKind::kAsc, "ASC", {".asc"}, false, LoadFileWithout<LoadAscFile>, LoadTextWithout<LoadAscText>},
    {EFirmwareKind::kSrec,
     "Motorola S-record",
     {".srec", ".s19", ".s28", ".s37", ".mot"},
     false,
     LoadFileWithout<LoadSrecFile>,
     LoadTextWithout<LoadSrecText>},
    {EFirmwareKind::kBin, "raw binary", {".bin"}, true, LoadBinFile, LoadBinText},
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

namespace {

// "a, b or c".
std::string ListText(const std::vector<std::string>& vecItems)
{
    std::string strText;
    for (size_t i = 0; i < vecItems.size(); ++i) {
        strText += i == 0 ? "" : i + 1 == vecItems.size() ? " or " : ", ";
        strText += vecItems[i];
    }
    return strText;
}

// The endings of one format, as given: ".srec, .s19" or "*.srec *.s19".
std::string EndingsOf(const SFirmwareFormat& format, const char* pPrefix, const char* pSeparator)
{
    std::string strText;
    for (const char* pEnding : format.endings) {
        if (pEnding)
            strText += (strText.empty() ? "" : pSeparator) + std::string(pPrefix) + pEnding;
    }
    return strText;
}

}  // namespace

std::string FirmwareEndingsText(bool (*pTakes)(EFirmwareKind))
{
    std::vector<std::string> vecEndings;
    for (const SFirmwareFormat& format : kFormats) {
        if (pTakes && !pTakes(format.kind))
            continue;
        for (const char* pEnding : format.endings) {
            if (pEnding)
                vecEndings.emplace_back(pEnding);
        }
    }
    return ListText(vecEndings);
}

std::string FirmwareFormatsText()
{
    std::vector<std::string> vecNames;
    for (const SFirmwareFormat& format : kFormats)
        vecNames.push_back(fmt::format("{} ({})", format.pName, EndingsOf(format, "", ", ")));
    return ListText(vecNames);
}

std::string FirmwarePatternsText()
{
    std::string strText;
    for (const SFirmwareFormat& format : kFormats) {
        if (!strText.empty())
            strText += ' ';
        strText += EndingsOf(format, "*", " ");
    }
    return strText;
}

bool FirmwareNeedsAddress(const std::string& strPath)
{
    const SFirmwareFormat* pFormat = FirmwareFormatOf(strPath);
    return pFormat && pFormat->bNeedsAddress;
}

std::optional<uint32_t> ParseLoadAddress(std::string_view text)
{
    text = TrimWhiteSpace(text);
    int nBase = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
        nBase = 16;
    }
    uint32_t nValue = 0;
    const auto [pEnd, error] = std::from_chars(text.data(), text.data() + text.size(), nValue, nBase);
    if (text.empty() || error != std::errc() || pEnd != text.data() + text.size())
        return std::nullopt;
    return nValue;
}
