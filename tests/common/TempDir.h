#pragma once
// A scratch folder for files a test writes itself, removed afterwards.
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

class CTempDir {
public:
    CTempDir()
    {
        std::string strTemplate = (std::filesystem::temp_directory_path() / "vantrel-test-XXXXXX").string();
        if (::mkdtemp(strTemplate.data()))
            m_path = strTemplate;
    }
    ~CTempDir()
    {
        std::error_code error;
        if (!m_path.empty())
            std::filesystem::remove_all(m_path, error);
    }
    CTempDir(const CTempDir&) = delete;
    CTempDir& operator=(const CTempDir&) = delete;

    std::string Path(const std::string& strName) const { return (m_path / strName).string(); }
    std::string Write(const std::string& strName, const std::string& strContent) const
    {
        const std::string strPath = Path(strName);
        std::ofstream(strPath, std::ios::binary) << strContent;
        return strPath;
    }

private:
    std::filesystem::path m_path;
};
