#pragma once
// Text and number helpers shared by every layer: one of each idea.
#include <array>
#include <cstdint>
#include <string_view>

// A text read as a decimal integer the way the settings file and the combo
// boxes are read: leading blanks, an optional sign, digits up to the first
// other character; no digits give 0. Values past the int range are clamped.
int LeadingDecimal(std::string_view text);

// "ttyUSB10" after "ttyUSB9", "COM10" after "COM9": names compare by what
// comes before their closing number, then by that number.
bool NaturalNameLess(std::string_view a, std::string_view b);

// Space and tab around the text go: the blanks of the settings file's names
// and values.
std::string_view TrimBlanks(std::string_view text);
// Every C white-space character around the text goes (space, tab, CR, LF,
// VT, FF): what the firmware readers drop around a line.
std::string_view TrimWhiteSpace(std::string_view text);
// ASCII letters compared without regard to case; other bytes as they are.
bool EqualsNoCase(std::string_view a, std::string_view b);

// Marks a character that is no hexadecimal digit.
constexpr int kNotHexDigit = -1;
// The digit value of every byte: 0 to 15, or kNotHexDigit. A table, because
// the HEX reader asks it for every character of a file.
inline constexpr std::array<int8_t, 256> kHexDigitValues = [] {
    std::array<int8_t, 256> table {};
    table.fill(kNotHexDigit);
    for (int i = 0; i < 10; ++i)
        table['0' + i] = static_cast<int8_t>(i);
    for (int i = 0; i < 6; ++i) {
        table['a' + i] = static_cast<int8_t>(10 + i);
        table['A' + i] = static_cast<int8_t>(10 + i);
    }
    return table;
}();
// '0'-'9', 'A'-'F', 'a'-'f' give 0 to 15; every other character kNotHexDigit.
inline int HexDigitValue(char c)
{
    return kHexDigitValues[static_cast<uint8_t>(c)];
}
