// Settings files this user may not replace: a read-only file, another user's
// file, a file in a folder that cannot be written. Such a file is never
// replaced behind its owner's back; when it cannot be written at all, the
// settings move to the per-user file with one red line and are read back
// from there at the next start.
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "SettingsFixtures.h"
#include "settings/ProfileFile.h"
#include "settings/Settings.h"

namespace {

namespace fs = std::filesystem;

// The account the other user's process runs as.
constexpr uid_t kOtherUser = 65534;
constexpr gid_t kOtherGroup = 65534;

bool IsRoot()
{
    return ::geteuid() == 0;
}

// Runs the body as a user who does not own the test's files: as root, in a
// child process that has become another user; otherwise here, where the
// test's own read-only files are as closed to it as another user's. The body
// gives the first thing it found wrong, or nothing.
std::string AsAnotherUser(const std::function<std::string()>& body)
{
    if (!IsRoot())
        return body();
    int fds[2];
    if (::pipe(fds) != 0)
        return "no pipe";
    const pid_t pid = ::fork();
    if (pid < 0)
        return "no fork";
    if (pid == 0) {
        ::close(fds[0]);
        std::string strResult;
        if (::setgroups(0, nullptr) != 0 || ::setgid(kOtherGroup) != 0 || ::setuid(kOtherUser) != 0)
            strResult = "cannot become another user";
        else
            strResult = body();
        (void)!::write(fds[1], strResult.data(), strResult.size());
        ::_exit(0);
    }
    ::close(fds[1]);
    std::string strResult;
    char buffer[256];
    for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) > 0;)
        strResult.append(buffer, static_cast<size_t>(n));
    ::close(fds[0]);
    int nStatus = 0;
    ::waitpid(pid, &nStatus, 0);
    if (!WIFEXITED(nStatus))
        return "the other user's process died";
    return strResult;
}

class SettingsSafetyTest : public CSettingsTest {
protected:
    SettingsSafetyTest()
    {
        // A folder anyone may write, as a shared install or a shared /opt.
        fs::permissions(m_dir.Path(), fs::perms(0777));
    }

    // The files in the test's folder, but for the per-user folder.
    std::vector<std::string> FolderNames() const
    {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(m_dir.Path())) {
            if (entry.path().filename() != "config")
                names.push_back(entry.path().filename().string());
        }
        return names;
    }
};

// An administrator's file that only permits versions: it can never be
// marked used, and every start must still honour it.
TEST_F(SettingsSafetyTest, ReadOnlyFileOfPermittedVersionsCountsFromTheFirstStart)
{
    const std::string strFile = "[update]\r\nsupportversion=1.*.*\r\n";
    WriteBytes(IniPath(), strFile);
    fs::permissions(IniPath(), fs::perms(0444));

    const std::string strResult = AsAnotherUser([this] {
        for (int nStart = 1; nStart <= 2; ++nStart) {
            NewStart();
            CSettings settings;
            CRecordingLog log;
            LoadSettings(*m_pProfile, settings, log);
            if (settings.strSupportVersion != "1.*.*")
                return "start " + std::to_string(nStart) + " read \"" + settings.strSupportVersion + "\"";
        }
        return std::string();
    });
    EXPECT_EQ(strResult, "");
    EXPECT_EQ(ReadBytes(IniPath()), strFile);
}

TEST_F(SettingsSafetyTest, ReadOnlyFileIsNeverReplacedAndTheSettingsPersistPerUser)
{
    const std::string strFile =
        "[Port:]\r\nUsedTimes=1\r\nBaudRate=5\r\nFrameLen=64\r\n[update]\r\nsupportversion=1.2.*\r\n";
    WriteBytes(IniPath(), strFile);
    fs::permissions(IniPath(), fs::perms(0444));
    struct stat before {};
    ASSERT_EQ(::stat(IniPath().c_str(), &before), 0);

    const std::string strResult = AsAnotherUser([this] {
        // The read-only file is read as it stands.
        NewStart();
        CSettings settings;
        CRecordingLog log;
        LoadSettings(*m_pProfile, settings, log);
        if (settings.nBaudRate != 5 || settings.nFrameLen != 64 || settings.strSupportVersion != "1.2.*")
            return std::string("the read-only file was not read");
        if (!log.m_vecEntries.empty())
            return "reading logged: " + log.m_vecEntries[0].first;
        // The first write fails, is logged once in red, and moves the settings.
        settings.nBaudRate = 2;
        settings.nFrameLen = 128;
        SaveSettings(*m_pProfile, settings, log);
        SaveSettings(*m_pProfile, settings, log);
        const std::string strLine = "## Cannot write the settings file " + IniPath() + ": Permission denied\r\n";
        if (log.m_vecEntries.size() != 1 || log.m_vecEntries[0].first != strLine ||
            log.m_vecEntries[0].second != kLogRed)
            return std::string("not one red line for the failed write");
        // The next start reads them back, permitted versions included.
        NewStart();
        CSettings next;
        CRecordingLog nextLog;
        LoadSettings(*m_pProfile, next, nextLog);
        if (m_pProfile->Path() != UserIniPath())
            return "the next start read " + m_pProfile->Path();
        if (next != settings || !nextLog.m_vecEntries.empty())
            return std::string("the next start did not read the saved settings back");
        return std::string();
    });
    EXPECT_EQ(strResult, "");

    EXPECT_EQ(ReadBytes(IniPath()), strFile);
    struct stat after {};
    ASSERT_EQ(::stat(IniPath().c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_uid, before.st_uid);
    EXPECT_EQ(after.st_mode & 07777, 0444u);
    EXPECT_EQ(FolderNames(), std::vector<std::string> {"vantrel.Ini"});
}

TEST_F(SettingsSafetyTest, AnotherUsersWritableFileKeepsItsOwner)
{
    if (!IsRoot())
        GTEST_SKIP() << "only root can make a file of another user's";
    // Root's file, open to everyone: the other user writes into it.
    WriteBytes(IniPath(), "[Port:]\nUsedTimes=1\nBaudRate=5\n");
    fs::permissions(IniPath(), fs::perms(0666));
    struct stat before {};
    ASSERT_EQ(::stat(IniPath().c_str(), &before), 0);
    const std::string strResult = AsAnotherUser([this] {
        NewStart();
        m_pProfile->SetPath(IniPath());
        if (!m_pProfile->IniWriteInt("Port:", "BaudRate", 2))
            return "write failed: " + m_pProfile->IniWriteError();
        return std::string();
    });
    EXPECT_EQ(strResult, "");
    EXPECT_EQ(ReadBytes(IniPath()), "[Port:]\nUsedTimes=1\nBaudRate=2\n");
    struct stat after {};
    ASSERT_EQ(::stat(IniPath().c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_uid, before.st_uid);
    EXPECT_EQ(after.st_mode & 07777, 0666u);
    EXPECT_EQ(FolderNames(), std::vector<std::string> {"vantrel.Ini"});
}

TEST_F(SettingsSafetyTest, WritableFileInAFolderThatIsNotIsWrittenInPlace)
{
    // The user's own file in a folder closed to it: nothing can be renamed
    // there, but the file itself takes the new settings.
    const fs::path folder = m_dir.Path() / "中文 long folder name";
    fs::create_directories(folder);
    const std::string strPath = (folder / "vantrel.Ini").string();
    WriteBytes(strPath, "[Port:]\r\nUsedTimes=1\r\nBaudRate=5\r\n");
    if (IsRoot()) {
        ASSERT_EQ(::chown(strPath.c_str(), kOtherUser, kOtherGroup), 0);
        ASSERT_EQ(::chown(folder.c_str(), kOtherUser, kOtherGroup), 0);
    }
    fs::permissions(folder, fs::perms(0555));
    CScopedEnv named("VANTREL_INI", strPath);
    const std::string strResult = AsAnotherUser([&] {
        NewStart();
        CSettings settings;
        CRecordingLog log;
        LoadSettings(*m_pProfile, settings, log);
        if (m_pProfile->Path() != strPath)
            return "chose " + m_pProfile->Path();
        settings.nBaudRate = 2;
        SaveSettings(*m_pProfile, settings, log);
        if (!log.m_vecEntries.empty())
            return log.m_vecEntries[0].first;
        return std::string();
    });
    fs::permissions(folder, fs::perms(0755));
    EXPECT_EQ(strResult, "");
    m_pProfile->SetPath(strPath);
    EXPECT_EQ(m_pProfile->IniReadString("Port:", "BaudRate"), "2");
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder))
        names.push_back(entry.path().filename().string());
    EXPECT_EQ(names, std::vector<std::string> {"vantrel.Ini"});
}

}  // namespace
