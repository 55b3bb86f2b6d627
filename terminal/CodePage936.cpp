#include "terminal/CodePage936.h"

#include <cerrno>
#include <iconv.h>
#include <vector>

namespace {

const iconv_t kNoConverter = reinterpret_cast<iconv_t>(-1);

// Converts one piece; false when the input is not valid in the source code.
bool Convert(iconv_t converter, const char* pIn, size_t nIn, std::string& strOut)
{
    iconv(converter, nullptr, nullptr, nullptr, nullptr);
    std::vector<char> out(nIn * 4 + 8);
    char* pInput = const_cast<char*>(pIn);
    char* pOutput = out.data();
    size_t nOutLeft = out.size();
    if (iconv(converter, &pInput, &nIn, &pOutput, &nOutLeft) == static_cast<size_t>(-1))
        return false;
    strOut.append(out.data(), out.size() - nOutLeft);
    return true;
}

// Bytes 0x81 to 0xFE open a two-byte character.
bool IsLeadByte(uint8_t byte)
{
    return byte >= 0x81 && byte <= 0xFE;
}

}  // namespace

std::string Utf8ToCodePage936(const std::string& strUtf8)
{
    iconv_t converter = iconv_open("CP936", "UTF-8");
    if (converter == kNoConverter)
        return strUtf8;
    std::string strOut;
    // Character by character, so that one the code page lacks costs only itself.
    for (size_t i = 0; i < strUtf8.size();) {
        const uint8_t lead = static_cast<uint8_t>(strUtf8[i]);
        size_t n = lead < 0x80 ? 1 : (lead >> 5) == 0x6 ? 2 : (lead >> 4) == 0xE ? 3 : (lead >> 3) == 0x1E ? 4 : 1;
        if (i + n > strUtf8.size())
            n = strUtf8.size() - i;
        if (n == 1 && lead < 0x80)
            strOut += static_cast<char>(lead);
        else if (!Convert(converter, strUtf8.data() + i, n, strOut))
            strOut += '?';
        i += n;
    }
    iconv_close(converter);
    return strOut;
}

CCodePage936Decoder::CCodePage936Decoder() : m_pIconv(iconv_open("UTF-8", "CP936")) {}

CCodePage936Decoder::~CCodePage936Decoder()
{
    if (static_cast<iconv_t>(m_pIconv) != kNoConverter)
        iconv_close(static_cast<iconv_t>(m_pIconv));
}

std::string CCodePage936Decoder::Decode(const uint8_t* pBytes, size_t nLength)
{
    const iconv_t converter = static_cast<iconv_t>(m_pIconv);
    std::string strOut;
    size_t i = 0;
    auto decodePair = [&](uint8_t lead, uint8_t trail) {
        const char pair[2] = {static_cast<char>(lead), static_cast<char>(trail)};
        if (converter == kNoConverter || !Convert(converter, pair, 2, strOut))
            strOut += "\xEF\xBF\xBD";  // U+FFFD: a pair the code page does not define
    };
    if (m_nPendingLead >= 0 && nLength > 0) {
        decodePair(static_cast<uint8_t>(m_nPendingLead), pBytes[0]);
        m_nPendingLead = -1;
        i = 1;
    }
    for (; i < nLength; ++i) {
        const uint8_t byte = pBytes[i];
        if (!IsLeadByte(byte)) {
            const char single = static_cast<char>(byte);
            if (byte < 0x80)
                strOut += single;
            else if (converter == kNoConverter || !Convert(converter, &single, 1, strOut))
                strOut += "\xEF\xBF\xBD";  // a single byte the code page does not define
            continue;
        }
        if (i + 1 == nLength) {
            m_nPendingLead = byte;
            break;
        }
        decodePair(byte, pBytes[i + 1]);
        ++i;
    }
    return strOut;
}
