#pragma once
// UTF-8 read a character at a time, as the dialog's texts need it: the log
// counts characters the way both toolkits' text controls do (UTF-16 units),
// and the integer edits trim Unicode blanks.
#include <cstddef>
#include <string_view>

// The length (1 to 4) of the well-formed UTF-8 character at nAt, with its
// code point in cChar; 0 for a byte that starts none (a stray continuation
// byte, an overlong form, a surrogate, a value past U+10FFFF, a cut sequence).
size_t Utf8CharAt(std::string_view text, size_t nAt, char32_t& cChar);

// The UTF-16 units of a code point: 2 past the Basic Multilingual Plane.
inline size_t Utf16Units(char32_t cChar)
{
    return cChar > 0xFFFF ? 2 : 1;
}

// A white-space character as Qt's QChar::isSpace and the Unicode separator
// categories count it: the C blanks, NEL, and the space, line and paragraph
// separators.
bool IsUnicodeSpace(char32_t cChar);
