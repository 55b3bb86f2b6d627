#include "terminal/HexText.h"

#include <algorithm>

int HexStringToBytes(const std::string& strText, std::vector<uint8_t>& bytes, std::string& strBadToken)
{
    bytes.clear();
    strBadToken.clear();
    const size_t nLength = strText.size();
    for (size_t p = 0; p < nLength;) {
        if (strText[p] == ' ') {
            ++p;
            continue;
        }
        const size_t nEnd = std::min(strText.find(' ', p), nLength);
        bool bWhole = (nEnd - p) % 2 == 0;
        for (size_t q = p; bWhole && q < nEnd; q += 2) {
            const int nHigh = HexDigitValue(strText[q]);
            const int nLow = HexDigitValue(strText[q + 1]);
            bWhole = nHigh != kNotHexDigit && nLow != kNotHexDigit;
            if (bWhole)
                bytes.push_back(static_cast<uint8_t>(nHigh * 16 + nLow));
        }
        if (!bWhole) {
            bytes.clear();
            strBadToken = strText.substr(p, nEnd - p);
            return 0;
        }
        p = nEnd;
    }
    return 1;
}
