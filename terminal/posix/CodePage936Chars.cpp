// Code page 936 through iconv.
#include "terminal/CodePage936Chars.h"

#include <iconv.h>

#include <vector>

namespace {

// One converter per thread and direction, opened at first use: an iconv_t
// keeps state, so threads never share one.
class CConverter {
public:
    CConverter(const char* pszTo, const char* pszFrom) : m_converter(iconv_open(pszTo, pszFrom)) {}
    ~CConverter()
    {
        if (IsOpen())
            iconv_close(m_converter);
    }
    CConverter(const CConverter&) = delete;
    CConverter& operator=(const CConverter&) = delete;

    // Converts one piece; false when it is not valid in the source code.
    bool Convert(const char* pIn, size_t nIn, std::string& strOut)
    {
        if (!IsOpen())
            return false;
        iconv(m_converter, nullptr, nullptr, nullptr, nullptr);
        std::vector<char> out(nIn * 4 + 8);
        char* pInput = const_cast<char*>(pIn);
        char* pOutput = out.data();
        size_t nOutLeft = out.size();
        if (iconv(m_converter, &pInput, &nIn, &pOutput, &nOutLeft) == static_cast<size_t>(-1))
            return false;
        strOut.append(out.data(), out.size() - nOutLeft);
        return true;
    }

private:
    bool IsOpen() const { return m_converter != reinterpret_cast<iconv_t>(-1); }

    iconv_t m_converter;
};

}  // namespace

bool AppendCodePage936Char(const char* pChar, size_t nLength, std::string& strOut)
{
    thread_local CConverter converter("CP936", "UTF-8");
    return converter.Convert(pChar, nLength, strOut);
}

bool AppendUtf8OfCodePage936(const char* pBytes, size_t nLength, std::string& strOut)
{
    thread_local CConverter converter("UTF-8", "CP936");
    return converter.Convert(pBytes, nLength, strOut);
}
