// Code page 936 through the system's own tables, by way of UTF-16.
#include "terminal/CodePage936Chars.h"

#include <windows.h>

#include "core/win32/WideText.h"

namespace {

constexpr UINT kCodePage936 = 936;

}  // namespace

bool AppendCodePage936Char(const char* pChar, size_t nLength, std::string& strOut)
{
    // Invalid UTF-8 turns into U+FFFD here, which the code page lacks.
    const std::wstring strWide = Utf8ToWide(std::string(pChar, nLength));
    if (strWide.empty())
        return false;
    char bytes[8];
    BOOL bUsedDefault = FALSE;
    // No best fit: a character the code page lacks is refused, never shown
    // as a look-alike.
    const int nBytes =
        ::WideCharToMultiByte(kCodePage936, WC_NO_BEST_FIT_CHARS, strWide.data(), static_cast<int>(strWide.size()),
                              bytes, sizeof bytes, nullptr, &bUsedDefault);
    if (nBytes <= 0 || bUsedDefault)
        return false;
    strOut.append(bytes, static_cast<size_t>(nBytes));
    return true;
}

bool AppendUtf8OfCodePage936(const char* pBytes, size_t nLength, std::string& strOut)
{
    wchar_t wide[4];
    const int nWide =
        ::MultiByteToWideChar(kCodePage936, MB_ERR_INVALID_CHARS, pBytes, static_cast<int>(nLength), wide, 4);
    if (nWide <= 0)
        return false;
    strOut += WideToUtf8(std::wstring(wide, static_cast<size_t>(nWide)));
    return true;
}
