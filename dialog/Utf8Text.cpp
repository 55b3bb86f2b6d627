#include "dialog/Utf8Text.h"

size_t Utf8CharAt(std::string_view text, size_t nAt, char32_t& cChar)
{
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char nLead = byte(nAt);
    if (nLead < 0x80) {
        cChar = nLead;
        return 1;
    }
    size_t nLength = 0;
    char32_t cMin = 0;
    if ((nLead & 0xE0) == 0xC0) {
        nLength = 2;
        cChar = nLead & 0x1F;
        cMin = 0x80;
    } else if ((nLead & 0xF0) == 0xE0) {
        nLength = 3;
        cChar = nLead & 0x0F;
        cMin = 0x800;
    } else if ((nLead & 0xF8) == 0xF0) {
        nLength = 4;
        cChar = nLead & 0x07;
        cMin = 0x10000;
    } else {
        return 0;
    }
    if (text.size() - nAt < nLength)
        return 0;
    for (size_t i = 1; i < nLength; ++i) {
        if ((byte(nAt + i) & 0xC0) != 0x80)
            return 0;
        cChar = (cChar << 6) | (byte(nAt + i) & 0x3F);
    }
    if (cChar < cMin || cChar > 0x10FFFF || (cChar >= 0xD800 && cChar <= 0xDFFF))
        return 0;
    return nLength;
}

bool IsUnicodeSpace(char32_t cChar)
{
    if (cChar == 0x20 || (cChar >= 0x09 && cChar <= 0x0D) || cChar == 0x85 || cChar == 0xA0)
        return true;
    // Zs, Zl and Zp past Latin-1.
    return cChar == 0x1680 || (cChar >= 0x2000 && cChar <= 0x200A) || cChar == 0x2028 || cChar == 0x2029 ||
           cChar == 0x202F || cChar == 0x205F || cChar == 0x3000;
}
