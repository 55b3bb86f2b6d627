#pragma once
// Code page 936 at the terminal's byte boundary; UTF-8 everywhere else.
#include <cstddef>
#include <cstdint>
#include <string>

// The text as code page 936 bytes. Characters the code page lacks become '?'.
std::string Utf8ToCodePage936(const std::string& strUtf8);

// Turns received code page 936 bytes into UTF-8. A lead byte that ends one
// chunk is kept and joined with the first byte of the next, so a character
// split between two polls still shows whole.
class CCodePage936Decoder {
public:
    std::string Decode(const uint8_t* pBytes, size_t nLength);
    void Reset() { m_nPendingLead = -1; }

private:
    int m_nPendingLead = -1;
};
