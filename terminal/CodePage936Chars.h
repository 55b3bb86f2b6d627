#pragma once
// One character at a time between code page 936 and UTF-8: what each
// platform converts for CodePage936.cpp (iconv on POSIX, the system's code
// page tables on Windows). Callers split the text into characters.
#include <cstddef>
#include <string>

// Appends the code page 936 bytes of the one UTF-8 character at pChar;
// false, appending nothing, when the code page lacks it or it is not UTF-8.
bool AppendCodePage936Char(const char* pChar, size_t nLength, std::string& strOut);
// Appends the UTF-8 of the one code page 936 character at pBytes (a single
// byte, or a lead byte and its trail byte); false, appending nothing, when the
// code page does not define it.
bool AppendUtf8OfCodePage936(const char* pBytes, size_t nLength, std::string& strOut);
