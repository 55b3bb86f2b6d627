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

namespace {

template <typename TIsBlank>
std::string_view TrimWith(std::string_view text, TIsBlank isBlank)
{
    while (!text.empty() && isBlank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && isBlank(text.back()))
        text.remove_suffix(1);
    return text;
}

char AsciiLower(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

}  // namespace

std::string_view TrimBlanks(std::string_view text)
{
    return TrimWith(text, [](char c) { return c == ' ' || c == '\t'; });
}

std::string_view TrimWhiteSpace(std::string_view text)
{
    return TrimWith(text, [](char c) { return c == ' ' || (c >= '\t' && c <= '\r'); });
}

bool EqualsNoCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (AsciiLower(a[i]) != AsciiLower(b[i]))
            return false;
    }
    return true;
}

bool NaturalNameLess(std::string_view a, std::string_view b)
{
    const auto split = [](std::string_view s) {
        const size_t nDigits = s.find_last_not_of("0123456789") + 1;
        return std::make_pair(s.substr(0, nDigits), LeadingDecimal(s.substr(nDigits)));
    };
    return split(a) < split(b);
}
