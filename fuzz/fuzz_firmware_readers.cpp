// The firmware readers: every input is read as a hex number and loaded as a
// HEX, an ASC, an S-record and a raw binary file.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "FuzzSupport.h"
#include "download/FirmwareReader.h"

namespace {

class CNullLog : public CLogSink {
public:
    void AppendLog(const std::string&, int) override {}
};

// No reader hands out a block of a length the writer cannot take.
bool BlockLengthsSound(const FirmwareImage& image)
{
    for (const FirmwareBlock& block : image) {
        if (block.length < 1 || block.length > kMaxBlockLength) {
            return false;
        }
    }
    return true;
}

// A HEX image (and an S-record or raw binary one, cut the same way) is
// whole 16-byte blocks at rising 16-aligned 24-bit addresses,
// none of them erased throughout.
void CheckHexImage(const FirmwareImage& image)
{
    int64_t nPrevious = -1;
    for (const FirmwareBlock& block : image) {
        FUZZ_CHECK(block.length == kMaxBlockLength);
        FUZZ_CHECK(block.address >= 0 && block.address < (1 << 24));
        FUZZ_CHECK(block.address % kMaxBlockLength == 0);
        FUZZ_CHECK(block.address > nPrevious);
        nPrevious = block.address;
        bool bErased = true;
        for (const uint8_t nByte : block.data) {
            bErased = bErased && nByte == 0xFF;
        }
        FUZZ_CHECK(!bErased);
    }
}

// An ASC block never crosses a 16-byte boundary: the reader starts a new one there.
void CheckAscImage(const FirmwareImage& image)
{
    for (const FirmwareBlock& block : image) {
        const uint32_t nOffset = static_cast<uint32_t>(block.address) & 0xF;
        FUZZ_CHECK(nOffset + static_cast<uint32_t>(block.length) <= kMaxBlockLength);
    }
}

// Leading blanks and a trailing non-digit do not change a number.
void CheckParseHex(std::string_view text)
{
    const uint32_t nValue = ParseHex(text);
    if (text.size() > 256) {
        return;  // the copies below are for short texts
    }
    FUZZ_CHECK(ParseHex(" \t" + std::string(text)) == nValue);
    FUZZ_CHECK(ParseHex(std::string(text) + "g") == nValue);
    FUZZ_CHECK(ParseHex(std::string(text) + "\n") == nValue);
}

// A raw binary holds every byte it is given, from its address on: the bytes
// that are not 0xFF are exactly the image's bytes that are not 0xFF.
void CheckBinImage(std::string_view bytes, uint32_t nAddress, const FirmwareImage& image)
{
    size_t nKept = 0;
    for (const FirmwareBlock& block : image) {
        for (int i = 0; i < block.length; ++i) {
            const uint32_t nOffset = static_cast<uint32_t>(block.address) + static_cast<uint32_t>(i) - nAddress;
            if (block.data[i] != 0xFF) {
                FUZZ_CHECK(nOffset < bytes.size() && static_cast<uint8_t>(bytes[nOffset]) == block.data[i]);
                ++nKept;
            }
        }
    }
    size_t nGiven = 0;
    for (const char c : bytes)
        nGiven += static_cast<uint8_t>(c) != 0xFF;
    FUZZ_CHECK(nKept == nGiven);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize)
{
    const std::string_view text(reinterpret_cast<const char*>(pData), nSize);
    CheckParseHex(text);
    CNullLog log;
    FirmwareImage image;
    const int nHex = LoadHexText(text, image, log);
    FUZZ_CHECK(nHex == 0 || nHex == 1);
    // A failed load leaves nothing behind.
    FUZZ_CHECK(nHex == 1 || image.empty());
    FUZZ_CHECK(BlockLengthsSound(image));
    CheckHexImage(image);
    const int nSrec = LoadSrecText(text, image, log);
    FUZZ_CHECK(nSrec == 1 || image.empty());
    CheckHexImage(image);
    // The input's first bytes choose the address, so that both the edges of
    // the 24-bit space and places inside it are reached.
    if (text.size() >= 4) {
        const uint32_t nAddress = (static_cast<uint32_t>(pData[0]) << 24 | static_cast<uint32_t>(pData[1]) << 16 |
                                   static_cast<uint32_t>(pData[2]) << 8 | pData[3]) &
                                  0x00FFFFF0;
        const std::string_view bytes = text.substr(4);
        const int nBin = LoadBinText(bytes, SLoadOptions {nAddress}, image, log);
        // It loads exactly when it fits below 16 MiB.
        FUZZ_CHECK(nBin == (nAddress + bytes.size() <= (size_t {1} << 24) ? 1 : 0));
        CheckHexImage(image);
        if (nBin)
            CheckBinImage(bytes, nAddress, image);
    }
    // An ASC text always loads: the format has no errors.
    FUZZ_CHECK(LoadAscText(text, image, log) == 1);
    FUZZ_CHECK(BlockLengthsSound(image));
    CheckAscImage(image);
    return 0;
}
