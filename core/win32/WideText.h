#pragma once
// Text at the Win32 boundary: every string inside the program is UTF-8, the
// W functions take and give UTF-16.
#include <string>

// Invalid UTF-8 becomes U+FFFD; an empty text gives an empty one.
std::wstring Utf8ToWide(const std::string& strUtf8);
// Unpaired surrogates become U+FFFD.
std::string WideToUtf8(const std::wstring& strWide);
// The system's own words for a Win32 error code, with its number, without the
// line end: "Access is denied. (error 5)".
std::string SystemErrorText(unsigned long nError);
