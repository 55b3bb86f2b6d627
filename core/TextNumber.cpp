#include "core/TextNumber.h"

#include <climits>

int LeadingDecimal(std::string_view text)
{
    size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t'))
        ++i;
    bool bNegative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
        bNegative = text[i++] == '-';
    long long nValue = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        nValue = nValue * 10 + (text[i] - '0');
        if (nValue > INT_MAX)
            nValue = static_cast<long long>(INT_MAX) + 1;
    }
    if (bNegative)
        return static_cast<int>(-nValue);
    return nValue > INT_MAX ? INT_MAX : static_cast<int>(nValue);
}
