// UTF-8 and UTF-16 through the system's own converters.
#include "core/win32/WideText.h"

#include <climits>

#include <windows.h>

std::wstring Utf8ToWide(const std::string& strUtf8)
{
    if (strUtf8.empty() || strUtf8.size() > INT_MAX)
        return std::wstring();
    const int nIn = static_cast<int>(strUtf8.size());
    const int nOut = ::MultiByteToWideChar(CP_UTF8, 0, strUtf8.data(), nIn, nullptr, 0);
    if (nOut <= 0)
        return std::wstring();
    std::wstring strWide(static_cast<size_t>(nOut), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, strUtf8.data(), nIn, strWide.data(), nOut);
    return strWide;
}

std::string WideToUtf8(const std::wstring& strWide)
{
    if (strWide.empty() || strWide.size() > INT_MAX)
        return std::string();
    const int nIn = static_cast<int>(strWide.size());
    const int nOut = ::WideCharToMultiByte(CP_UTF8, 0, strWide.data(), nIn, nullptr, 0, nullptr, nullptr);
    if (nOut <= 0)
        return std::string();
    std::string strUtf8(static_cast<size_t>(nOut), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, strWide.data(), nIn, strUtf8.data(), nOut, nullptr, nullptr);
    return strUtf8;
}

std::string SystemErrorText(unsigned long nError)
{
    wchar_t* pszText = nullptr;
    const DWORD nLength =
        ::FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                         nullptr, nError, 0, reinterpret_cast<wchar_t*>(&pszText), 0, nullptr);
    std::wstring strText(pszText != nullptr ? pszText : L"", nLength);
    if (pszText != nullptr)
        ::LocalFree(pszText);
    while (!strText.empty() && (strText.back() == L'\r' || strText.back() == L'\n' || strText.back() == L' '))
        strText.pop_back();
    const std::string strNumber = "(error " + std::to_string(nError) + ")";
    return strText.empty() ? strNumber : WideToUtf8(strText) + " " + strNumber;
}
