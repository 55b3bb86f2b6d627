#include "terminal/HexText.h"

int HexStringToBytes(const std::string& strText, std::vector<uint8_t>& bytes)
{
    const size_t nLength = strText.size();
    bytes.resize(nLength / 2);
    size_t n = 0;
    for (size_t p = 0; p < nLength;) {
        if (strText[p] == ' ') {
            ++p;
            continue;
        }
        if (p + 1 >= nLength)
            break;  // a single digit at the end is ignored
        const int nHigh = HexDigitValue(strText[p]);
        const int nLow = HexDigitValue(strText[p + 1]);
        if (nHigh == kNotHexDigit || nLow == kNotHexDigit)
            break;
        bytes[n++] = static_cast<uint8_t>(nHigh * 16 + nLow);
        p += 2;
    }
    bytes.resize(n);
    return static_cast<int>(n);
}
