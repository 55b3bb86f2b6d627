#pragma once
// An environment variable set (or removed) for one scope, the old value
// back afterwards. Values are UTF-8; on Windows they go in as UTF-16, where
// both the C runtime's _wgetenv and the system see them.
#include <cstdlib>
#include <optional>
#include <string>

#ifdef _WIN32
#include "core/win32/WideText.h"
#endif

class CScopedEnv {
public:
    CScopedEnv(const char* pszName, const std::optional<std::string>& value) : m_strName(pszName)
    {
        m_old = Get();
        Apply(value);
    }
    ~CScopedEnv() { Apply(m_old); }
    CScopedEnv(const CScopedEnv&) = delete;
    CScopedEnv& operator=(const CScopedEnv&) = delete;

private:
#ifdef _WIN32
    std::optional<std::string> Get() const
    {
        const wchar_t* pszOld = ::_wgetenv(Utf8ToWide(m_strName).c_str());
        return pszOld != nullptr ? std::optional<std::string>(WideToUtf8(pszOld)) : std::nullopt;
    }
    // An empty value removes the variable.
    void Apply(const std::optional<std::string>& value)
    {
        ::_wputenv_s(Utf8ToWide(m_strName).c_str(), value ? Utf8ToWide(*value).c_str() : L"");
    }
#else
    std::optional<std::string> Get() const
    {
        const char* pszOld = std::getenv(m_strName.c_str());
        return pszOld != nullptr ? std::optional<std::string>(pszOld) : std::nullopt;
    }
    void Apply(const std::optional<std::string>& value)
    {
        if (value)
            ::setenv(m_strName.c_str(), value->c_str(), 1);
        else
            ::unsetenv(m_strName.c_str());
    }
#endif

    std::string m_strName;
    std::optional<std::string> m_old;
};
