// The firmware readers: every input is read as a hex number, loaded as a HEX
// file and loaded as an ASC file.
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

// A HEX image is whole 16-byte blocks at rising 16-aligned 24-bit addresses,
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
    // An ASC text always loads: the format has no errors.
    FUZZ_CHECK(LoadAscText(text, image, log) == 1);
    FUZZ_CHECK(BlockLengthsSound(image));
    CheckAscImage(image);
    return 0;
}
