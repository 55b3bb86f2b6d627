// Code page 936 text, split into characters here; the platform converts
// each character (CodePage936Chars.h).
#include "terminal/CodePage936.h"

#include "terminal/CodePage936Chars.h"

namespace {

// U+FFFD: bytes the code page does not define.
constexpr const char* kReplacement = "\xEF\xBF\xBD";

// Bytes 0x81 to 0xFE open a two-byte character.
bool IsLeadByte(uint8_t byte)
{
    return byte >= 0x81 && byte <= 0xFE;
}

// How many bytes the UTF-8 character led by this byte takes; 1 for a byte
// that leads none.
size_t Utf8Length(uint8_t lead)
{
    if ((lead >> 5) == 0x6)
        return 2;
    if ((lead >> 4) == 0xE)
        return 3;
    return (lead >> 3) == 0x1E ? 4 : 1;
}

void AppendDecoded(const char* pBytes, size_t nLength, std::string& strOut)
{
    if (!AppendUtf8OfCodePage936(pBytes, nLength, strOut))
        strOut += kReplacement;
}

}  // namespace

std::string Utf8ToCodePage936(const std::string& strUtf8)
{
    std::string strOut;
    // Character by character, so that one the code page lacks costs only itself.
    for (size_t i = 0; i < strUtf8.size();) {
        const uint8_t lead = static_cast<uint8_t>(strUtf8[i]);
        size_t n = Utf8Length(lead);
        if (i + n > strUtf8.size())
            n = strUtf8.size() - i;
        if (lead < 0x80)
            strOut += static_cast<char>(lead);
        else if (!AppendCodePage936Char(strUtf8.data() + i, n, strOut))
            strOut += '?';
        i += n;
    }
    return strOut;
}

std::string CCodePage936Decoder::Decode(const uint8_t* pBytes, size_t nLength)
{
    std::string strOut;
    size_t i = 0;
    if (m_nPendingLead >= 0 && nLength > 0) {
        const char pair[2] = {static_cast<char>(m_nPendingLead), static_cast<char>(pBytes[0])};
        AppendDecoded(pair, 2, strOut);
        m_nPendingLead = -1;
        i = 1;
    }
    for (; i < nLength; ++i) {
        const uint8_t byte = pBytes[i];
        if (byte < 0x80) {
            strOut += static_cast<char>(byte);
        } else if (!IsLeadByte(byte)) {
            AppendDecoded(reinterpret_cast<const char*>(pBytes + i), 1, strOut);
        } else if (i + 1 == nLength) {
            m_nPendingLead = byte;
        } else {
            AppendDecoded(reinterpret_cast<const char*>(pBytes + i), 2, strOut);
            ++i;
        }
    }
    return strOut;
}
