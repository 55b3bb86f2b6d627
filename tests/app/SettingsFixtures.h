#pragma once
// What the settings tests share: a private temp dir, whole-file reads and
// writes, an environment variable set for one test, a log that records, and
// a clean start of the settings layer's process-wide state.
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "common/ScopedEnv.h"
#include "core/LogSink.h"
#include "settings/ProfileFile.h"
#include "serial/ComPortMap.h"

class CTempDir {
public:
    CTempDir()
    {
        std::string strTemplate = (std::filesystem::temp_directory_path() / "vantrel-settings-XXXXXX").string();
        if (mkdtemp(strTemplate.data()) != nullptr)
            m_path = strTemplate;
    }
    ~CTempDir()
    {
        std::error_code ec;
        if (!m_path.empty())
            std::filesystem::remove_all(m_path, ec);
    }
    CTempDir(const CTempDir&) = delete;
    CTempDir& operator=(const CTempDir&) = delete;

    const std::filesystem::path& Path() const { return m_path; }
    std::string File(const std::string& strName) const { return (m_path / strName).string(); }

private:
    std::filesystem::path m_path;
};

inline void WriteBytes(const std::string& strPath, const std::string& strBytes)
{
    std::ofstream file(strPath, std::ios::binary | std::ios::trunc);
    file << strBytes;
}

// The file's bytes; nullopt when it does not exist.
inline std::optional<std::string> ReadBytes(const std::string& strPath)
{
    std::ifstream file(strPath, std::ios::binary);
    if (!file)
        return std::nullopt;
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

class CRecordingLog : public CLogSink {
public:
    void AppendLog(const std::string& strText, int nColour) override { m_vecEntries.emplace_back(strText, nColour); }

    std::vector<std::pair<std::string, int>> m_vecEntries;
};

// Each test starts as a fresh process would: no file chosen, no fall-back,
// an empty COM-number map, and the per-user folder inside the temp dir.
// NewStart() is the next start of the program: a new settings-file object.
class CSettingsTest : public ::testing::Test {
protected:
    CSettingsTest()
        : m_config("XDG_CONFIG_HOME", (m_dir.Path() / "config").string()),
          m_named("VANTREL_INI", m_dir.File("vantrel.Ini"))
    {}

    void NewStart() { m_pProfile = std::make_unique<CProfileFile>(); }
    std::string IniPath() const { return m_dir.File("vantrel.Ini"); }
    std::string UserIniPath() const { return (m_dir.Path() / "config" / "vantrel" / "vantrel.Ini").string(); }

    CTempDir m_dir;
    CScopedEnv m_config;
    CScopedEnv m_named;
    // What an engine and its view would own.
    std::unique_ptr<CProfileFile> m_pProfile = std::make_unique<CProfileFile>();
    CComPortMap m_comPorts;
};
