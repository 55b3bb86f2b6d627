// The terminal's text paths: hexadecimal sending, and code page 936 out to
// the line and back in from it.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "FuzzSupport.h"
#include "terminal/CodePage936.h"
#include "terminal/HexText.h"

namespace {

void CheckHexSending(const std::string& strText)
{
    std::vector<uint8_t> bytes;
    std::string strBadToken;
    const int bWhole = HexStringToBytes(strText, bytes, strBadToken);
    FUZZ_CHECK(bytes.size() <= strText.size() / 2);
    if (!bWhole) {
        // Nothing is sent, and the token named is one of the text's own.
        FUZZ_CHECK(bytes.empty());
        FUZZ_CHECK(!strBadToken.empty() && strBadToken.find(' ') == std::string::npos);
        FUZZ_CHECK(strText.find(strBadToken) != std::string::npos);
        return;
    }
    FUZZ_CHECK(strBadToken.empty());

    // The bytes written back as text, both ways the terminal takes them,
    // convert to the same bytes.
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string strSpaced;
    std::string strPacked;
    for (const uint8_t nByte : bytes) {
        const char acPair[2] = {kDigits[nByte >> 4], kDigits[nByte & 0xF]};
        strSpaced.append(acPair, 2).append(" ");
        strPacked.append(acPair, 2);
    }
    std::vector<uint8_t> again;
    FUZZ_CHECK(HexStringToBytes(strSpaced, again, strBadToken) && again == bytes);
    FUZZ_CHECK(HexStringToBytes(strPacked, again, strBadToken) && again == bytes);

    // One bad token anywhere spoils the whole text.
    FUZZ_CHECK(!HexStringToBytes(strText + " zz 00", again, strBadToken));
    FUZZ_CHECK(again.empty() && strBadToken == "zz");
}

void CheckEncode(const std::string& strText)
{
    const std::string strEncoded = Utf8ToCodePage936(strText);
    if (!IsValidUtf8(strText)) {
        return;
    }
    // Every character becomes one code page character or '?', so reading
    // the bytes back gives as many characters as were sent.
    CCodePage936Decoder decoder;
    const std::string strBack = decoder.Decode(reinterpret_cast<const uint8_t*>(strEncoded.data()), strEncoded.size());
    FUZZ_CHECK(IsValidUtf8(strBack));
    FUZZ_CHECK(CountCodePoints(strBack) == CountCodePoints(strText));
}

void CheckDecode(const uint8_t* pData, size_t nSize, uint32_t nSeed)
{
    CCodePage936Decoder whole;
    const std::string strWhole = whole.Decode(pData, nSize);
    FUZZ_CHECK(IsValidUtf8(strWhole));

    // Received in pieces of any size, the text shows the same, and each
    // piece on its own is whole UTF-8 for the view.
    CCodePage936Decoder pieces;
    CChunker chunker(nSeed);
    std::string strJoined;
    for (size_t nPos = 0; nPos < nSize;) {
        const size_t nTake = std::min(chunker.Next(), nSize - nPos);
        const std::string strPiece = pieces.Decode(pData + nPos, nTake);
        FUZZ_CHECK(IsValidUtf8(strPiece));
        strJoined += strPiece;
        nPos += nTake;
        if (nPos < nSize && (chunker.Next() & 15) == 0) {
            FUZZ_CHECK(pieces.Decode(pData + nPos, 0).empty());  // an empty poll changes nothing
        }
    }
    FUZZ_CHECK(strJoined == strWhole);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize)
{
    CFuzzInput input(pData, nSize);
    const uint32_t nSeed = input.TakeByte();
    const std::string_view rest = input.TakeRest();
    const std::string strText(rest);
    CheckHexSending(strText);
    CheckEncode(strText);
    CheckDecode(reinterpret_cast<const uint8_t*>(rest.data()), rest.size(), nSeed);
    return 0;
}
