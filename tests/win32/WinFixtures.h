#pragma once
// What the Windows file tests share: a scratch folder and whole-file reads
// and writes. Paths are UTF-8 as inside the program and reach the system as
// UTF-16, never through the ANSI code page.
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>

#include <windows.h>
// <windows.h> makes ReplaceFile a macro for ReplaceFileW; the tests call the
// seam's function of that name.
#undef ReplaceFile

#include "common/ScopedEnv.h"
#include "core/FileSystem.h"
#include "core/win32/WideText.h"

inline std::filesystem::path WidePath(const std::string& strUtf8)
{
    return std::filesystem::path(Utf8ToWide(strUtf8));
}

// A folder of its own under the user's temporary folder, removed afterwards
// with everything in it.
class CWinTempDir {
public:
    CWinTempDir()
    {
        wchar_t szTemp[MAX_PATH + 1] = {};
        const DWORD nLength = ::GetTempPathW(MAX_PATH + 1, szTemp);
        static unsigned s_nCount = 0;
        for (int nTry = 0; nTry < 100 && m_strPath.empty(); ++nTry) {
            const std::string strCandidate =
                JoinPath(WideToUtf8(std::wstring(szTemp, nLength)),
                         "vantrel-test-" + std::to_string(::GetCurrentProcessId()) + "-" + std::to_string(s_nCount++));
            if (::CreateDirectoryW(Utf8ToWide(strCandidate).c_str(), nullptr))
                m_strPath = strCandidate;
        }
    }
    ~CWinTempDir()
    {
        std::error_code ec;
        if (!m_strPath.empty())
            std::filesystem::remove_all(WidePath(m_strPath), ec);
    }
    CWinTempDir(const CWinTempDir&) = delete;
    CWinTempDir& operator=(const CWinTempDir&) = delete;

    const std::string& Path() const { return m_strPath; }
    std::string File(const std::string& strName) const { return JoinPath(m_strPath, strName); }

private:
    std::string m_strPath;
};

inline bool WriteBytes(const std::string& strPath, const std::string& strBytes)
{
    std::ofstream file(WidePath(strPath), std::ios::binary | std::ios::trunc);
    file << strBytes;
    return static_cast<bool>(file.flush());
}

// The file's bytes; nullopt when it cannot be opened.
inline std::optional<std::string> ReadBytes(const std::string& strPath)
{
    std::ifstream file(WidePath(strPath), std::ios::binary);
    if (!file)
        return std::nullopt;
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

// The manifest a program carries, as the system reads it.
inline constexpr wchar_t kDpiSettings2005[] = L"http://schemas.microsoft.com/SMI/2005/WindowsSettings";
inline constexpr wchar_t kDpiSettings2016[] = L"http://schemas.microsoft.com/SMI/2016/WindowsSettings";
class CProgramManifest {
public:
    // The activation context of the program's own manifest (resource 1);
    // none when it has no manifest or the system cannot read it.
    explicit CProgramManifest(const std::wstring& strProgram)
    {
        ACTCTXW context = {};
        context.cbSize = sizeof(context);
        context.dwFlags = ACTCTX_FLAG_RESOURCE_NAME_VALID;
        context.lpSource = strProgram.c_str();
        context.lpResourceName = CREATEPROCESS_MANIFEST_RESOURCE_ID;
        m_hContext = ::CreateActCtxW(&context);
    }
    ~CProgramManifest()
    {
        if (IsRead())
            ::ReleaseActCtx(m_hContext);
    }
    CProgramManifest(const CProgramManifest&) = delete;
    CProgramManifest& operator=(const CProgramManifest&) = delete;

    bool IsRead() const { return m_hContext != INVALID_HANDLE_VALUE; }
    // A setting of its windowsSettings in the namespace given; none when
    // the manifest does not set it.
    std::optional<std::string> Setting(const wchar_t* pszNamespace, const wchar_t* pszName) const
    {
        wchar_t szValue[128] = {};
        SIZE_T nWritten = 0;
        if (!IsRead() || !::QueryActCtxSettingsW(0, m_hContext, pszNamespace, pszName, szValue, 128, &nWritten))
            return std::nullopt;
        return WideToUtf8(szValue);
    }

private:
    HANDLE m_hContext = INVALID_HANDLE_VALUE;
};
