// The private-profile layer over files each test writes itself.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "SettingsFixtures.h"
#include "core/FileSystem.h"
#include "settings/ProfileFile.h"

namespace {

namespace fs = std::filesystem;

class ProfileFileTest : public CSettingsTest {
protected:
    void UseFile(const std::string& strBytes)
    {
        m_pProfile->SetPath(IniPath());
        WriteBytes(m_pProfile->Path(), strBytes);
    }
};

TEST(ProfileFileNames, ExtensionReplacedInTheFileNameOnly)
{
    const struct {
        const char* pszPath;
        const char* pszExpected;
    } cases[] = {
        {"/opt/vantrel/vantrel", "/opt/vantrel/vantrel.Ini"},
        {"/opt/v1.2/vantrel", "/opt/v1.2/vantrel.Ini"},
        {"/opt/v1.2/vantrel.exe", "/opt/v1.2/vantrel.Ini"},
        {"/opt/v/vantrel.tar.gz", "/opt/v/vantrel.tar.Ini"},
        {"/opt/v/vantrel.", "/opt/v/vantrel.Ini"},
        {"/opt/v/.vantrel", "/opt/v/.vantrel.Ini"},
        {"vantrel", "vantrel.Ini"},
        {"a.b", "a.Ini"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ReplaceFileExt(c.pszPath, "Ini"), c.pszExpected) << c.pszPath;
}

TEST(ProfileFileNames, FolderOfAPathAndANameJoinedToIt)
{
    const struct {
        const char* pszPath;
        const char* pszFolder;
        const char* pszJoined;  // "x.Ini" in that folder
    } cases[] = {
        {"/opt/v1.2/vantrel.Ini", "/opt/v1.2", "/opt/v1.2/x.Ini"},
        {"/opt/v//vantrel.Ini", "/opt/v", "/opt/v/x.Ini"},
        {"/opt/v/", "/opt/v", "/opt/v/x.Ini"},
        {"/vantrel.Ini", "/", "/x.Ini"},
        {"vantrel.Ini", "", "x.Ini"},
        {"v/vantrel.Ini", "v", "v/x.Ini"},
        // A backslash is part of a POSIX name.
        {"/opt/a\\b.Ini", "/opt", "/opt/x.Ini"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(FolderOf(c.pszPath), c.pszFolder) << c.pszPath;
        EXPECT_EQ(JoinPath(FolderOf(c.pszPath), "x.Ini"), c.pszJoined) << c.pszPath;
    }
    EXPECT_EQ(JoinPath("/opt/v/", "x.Ini"), "/opt/v/x.Ini");
    EXPECT_EQ(ReplaceFileExt("/opt/a.b\\c", "Ini"), "/opt/a.Ini");
}

TEST(ProfileFileNames, ModulePathIsThisProgramBesideItself)
{
    const fs::path exe = fs::read_symlink("/proc/self/exe");
    EXPECT_EQ(ModulePathWithExt("Ini"), (exe.parent_path() / "app_tests.Ini").string());
}

TEST_F(ProfileFileTest, SettingsFileChoice)
{
    EXPECT_EQ(m_pProfile->SettingsFilePath(), IniPath());
    {
        // The test program's folder (the build folder) can be written.
        CScopedEnv unnamed("VANTREL_INI", std::nullopt);
        EXPECT_EQ(m_pProfile->SettingsFilePath(), ModulePathWithExt("Ini"));
    }
    m_pProfile->IniFallBackToUserFile();
    EXPECT_EQ(m_pProfile->SettingsFilePath(), UserIniPath());
    EXPECT_TRUE(fs::is_directory(fs::path(UserIniPath()).parent_path()));
    {
        CScopedEnv noConfig("XDG_CONFIG_HOME", std::nullopt);
        CScopedEnv home("HOME", m_dir.File("home"));
        EXPECT_EQ(m_pProfile->SettingsFilePath(), m_dir.File("home") + "/.config/vantrel/vantrel.Ini");
        EXPECT_TRUE(fs::is_directory(m_dir.File("home") + "/.config/vantrel"));
    }
}

TEST_F(ProfileFileTest, ReadsMatchNamesIgnoringCaseFirstSectionAndKeyWin)
{
    UseFile("; leading comment\n"
            "key0=outside\n"
            "[Port:]\n"
            "  StopBit = 1  \n"
            ";BaudRate=9\n"
            "DataBit=3=x\n"
            "DataBit=4\n"
            "[port:]\n"
            "CsBit=7\n"
            "[ Other ]\n"
            "Empty=\n"
            "Name=\t some text  with inner  blanks \t\n"
            "NoEquals\n");
    const struct {
        const char* pszSection;
        const char* pszKey;
        const char* pszExpected;
    } cases[] = {
        {"port:", "stopbit", "1"},
        {"PORT:", "DataBit", "3=x"},
        {"Port:", "BaudRate", ""},
        {"Port:", "CsBit", ""},
        {"Port:", "key0", ""},
        {"other", "EMPTY", ""},
        {"Other", "Name", "some text  with inner  blanks"},
        {"Other", "Nam", ""},
        {"Other", "NoEquals", ""},
        {"Missing", "Name", ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(m_pProfile->IniReadString(c.pszSection, c.pszKey), c.pszExpected) << c.pszSection << " " << c.pszKey;
    EXPECT_EQ(m_pProfile->IniReadInt("Port:", "StopBit"), 1);
    EXPECT_EQ(m_pProfile->IniReadInt("Port:", "DataBit"), 3);
    EXPECT_EQ(m_pProfile->IniReadInt("Other", "Name"), 0);

    const std::vector<std::pair<std::string, std::string>> expected {{"StopBit", "1"}, {"DataBit", "3=x"}};
    EXPECT_EQ(m_pProfile->IniReadSection("PORT:"), expected);
    EXPECT_TRUE(m_pProfile->IniReadSection("Missing").empty());
}

TEST_F(ProfileFileTest, UnreadableFilesReadAsEmpty)
{
    m_pProfile->SetPath(IniPath());  // not created
    EXPECT_EQ(m_pProfile->IniReadString("Port:", "StopBit"), "");
    WriteBytes(m_dir.File("plain"), "[Port:]\nStopBit=1\n");
    m_pProfile->SetPath(m_dir.File("plain") + "/vantrel.Ini");  // under a file: not a directory
    EXPECT_EQ(m_pProfile->IniReadString("Port:", "StopBit"), "");
    EXPECT_TRUE(m_pProfile->IniReadSection("Port:").empty());
    m_pProfile->SetPath(m_dir.Path().string());  // a directory
    EXPECT_EQ(m_pProfile->IniReadInt("Port:", "StopBit"), 0);
}

TEST_F(ProfileFileTest, LongValuesAreCut)
{
    const std::string strLong(600, 'v');
    UseFile("[S]\nK=" + strLong.substr(0, 509) + "xy\nL=" + strLong + "\n");
    EXPECT_EQ(m_pProfile->IniReadString("S", "K"), strLong.substr(0, 509) + "x");
    EXPECT_EQ(m_pProfile->IniReadString("S", "L").size(), kIniMaxValueLength);
    EXPECT_EQ(m_pProfile->IniReadSection("S")[1].second.size(), kIniMaxValueLength);
}

TEST_F(ProfileFileTest, WritesChangeOnlyTheirOwnLines)
{
    const std::string strBase = "; settings\n"
                                "[Port:]\n"
                                "StopBit = 1\n"
                                "; keep me\n"
                                "Unknown = x\n"
                                "\n"
                                "[Other]\n"
                                "A=1\n"
                                "[Port:]\n"
                                "StopBit=9\n";
    const struct {
        const char* pszSection;
        const char* pszKey;
        const char* pszText;  // nullptr: delete
        std::string strExpected;
        const char* pszReadBack;
    } cases[] = {
        {"port:", "STOPBIT", "2",
         "; settings\n[Port:]\nStopBit=2\n; keep me\nUnknown = x\n\n[Other]\nA=1\n[Port:]\nStopBit=9\n", "2"},
        {"Port:", "NewKey", "v w ",
         "; settings\n[Port:]\nStopBit = 1\n; keep me\nUnknown = x\nNewKey=v w \n\n[Other]\nA=1\n[Port:]\nStopBit=9\n",
         "v w"},
        {"Other", "B", "",
         "; settings\n[Port:]\nStopBit = 1\n; keep me\nUnknown = x\n\n[Other]\nA=1\nB=\n[Port:]\nStopBit=9\n", ""},
        {"Fresh", "K", "v", strBase + "\n[Fresh]\nK=v\n", "v"},
        {"Port:", "unknown", nullptr,
         "; settings\n[Port:]\nStopBit = 1\n; keep me\n\n[Other]\nA=1\n[Port:]\nStopBit=9\n", ""},
        {"Port:", "Absent", nullptr, strBase, ""},
    };
    for (const auto& c : cases) {
        UseFile(strBase);
        const bool bWritten = c.pszText ? m_pProfile->IniWriteString(c.pszSection, c.pszKey, c.pszText)
                                        : m_pProfile->IniDeleteKey(c.pszSection, c.pszKey);
        EXPECT_TRUE(bWritten) << c.pszKey;
        EXPECT_EQ(ReadBytes(m_pProfile->Path()), c.strExpected) << c.pszKey;
        EXPECT_EQ(m_pProfile->IniReadString(c.pszSection, c.pszKey), c.pszReadBack) << c.pszKey;
    }
}

TEST_F(ProfileFileTest, NewLinesTakeTheFilesLineEnd)
{
    const struct {
        const char* pszBase;
        const char* pszExpected;
    } cases[] = {
        // A file that does not exist yet.
        {nullptr, "[S]\r\nK=v\r\n\r\n[T]\r\nK=w\r\n"},
        {"[S]\r\nA=1\n\r\n", "[S]\r\nA=1\nK=v\r\n\r\n[T]\r\nK=w\r\n"},
        {"[S]\nA=1", "[S]\nA=1\nK=v\n\n[T]\nK=w\n"},
        {"\xEF\xBB\xBF[S]\nA=1\n", "\xEF\xBB\xBF[S]\nA=1\nK=v\n\n[T]\nK=w\n"},
        {"", "[S]\r\nK=v\r\n\r\n[T]\r\nK=w\r\n"},
    };
    for (const auto& c : cases) {
        m_pProfile->SetPath(IniPath());
        fs::remove(m_pProfile->Path());
        if (c.pszBase)
            WriteBytes(m_pProfile->Path(), c.pszBase);
        EXPECT_TRUE(m_pProfile->IniWriteString("S", "K", "v"));
        EXPECT_TRUE(m_pProfile->IniWriteString("T", "K", "w"));
        EXPECT_EQ(ReadBytes(m_pProfile->Path()), c.pszExpected) << (c.pszBase ? c.pszBase : "(no file)");
    }
}

TEST_F(ProfileFileTest, NamesAreTrimmedAndABareCarriageReturnEndsTheLastLine)
{
    // A name with blanks around it is the name without them, written or read.
    UseFile("[Ports]\nCOM1=/dev/ttyS0\n");
    EXPECT_TRUE(m_pProfile->IniWriteString("  Ports ", " COM2\t", "/dev/ttyUSB0"));
    EXPECT_EQ(ReadBytes(m_pProfile->Path()), "[Ports]\nCOM1=/dev/ttyS0\nCOM2=/dev/ttyUSB0\n");
    EXPECT_EQ(m_pProfile->IniReadString(" ports", "com2 "), "/dev/ttyUSB0");
    // A key that would read back as a section header is refused.
    EXPECT_FALSE(m_pProfile->IniWriteString("Ports", " [x", "]"));

    // Carriage returns that end the file end its last line, so a key added
    // after it changes no value, whatever line end the new line takes.
    using namespace std::string_literals;
    const struct {
        std::string strFile;
        std::string strValue;
    } cases[] = {
        {"[S]\nA=1\nB=]\r", "]"},
        {"[S]\nA=1\nB=]\r\r", "]"},
        {"[S]\r\nA=1\r\nB=]\r\r\r", "]"},
        {"[S]\nA=1\nB=] \r\t\r", "] \r"},
        {"[S]\nA=1\nB=\r\r", ""},
        // What the settings fuzz target found: bare CRs inside lines and at the end.
        {"mes=1t\t=\tCOM\xcf\r=\nEmpty=\r\x02\x00 \x00\x00\x00\x00\x00\n[S\xef\xbb\xbfs]\r\n[S]\r\nB=CO)4\r\r"s,
         "CO)4"},
    };
    for (const auto& c : cases) {
        UseFile(c.strFile);
        EXPECT_EQ(m_pProfile->IniReadString("S", "B"), c.strValue) << c.strFile;
        EXPECT_TRUE(m_pProfile->IniWriteString("S", "C", "2"));
        EXPECT_EQ(m_pProfile->IniReadString("S", "B"), c.strValue) << c.strFile;
        EXPECT_EQ(m_pProfile->IniReadString("S", "C"), "2");
    }
}

TEST_F(ProfileFileTest, NewFileGetsLineEndsOfItsOwn)
{
    m_pProfile->SetPath(IniPath());
    EXPECT_TRUE(m_pProfile->IniWriteInt("S", "N", -42));
    EXPECT_EQ(ReadBytes(m_pProfile->Path()), "[S]\r\nN=-42\r\n");
    EXPECT_EQ(m_pProfile->IniReadInt("S", "N"), -42);
}

TEST_F(ProfileFileTest, WritesLeaveNoTemporaryFilesAndKeepTheMode)
{
    UseFile("[S]\nK=1\n");
    fs::permissions(m_pProfile->Path(), fs::perms(0640));
    for (int i = 0; i < 5; ++i)
        ASSERT_TRUE(m_pProfile->IniWriteInt("S", "K", i));
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(m_dir.Path()))
        names.push_back(entry.path().filename().string());
    EXPECT_EQ(names, std::vector<std::string> {"vantrel.Ini"});
    EXPECT_EQ(fs::status(m_pProfile->Path()).permissions(), fs::perms(0640));
}

TEST_F(ProfileFileTest, LinkedFileStaysALink)
{
    const std::string strTarget = m_dir.File("real.Ini");
    WriteBytes(strTarget, "[S]\nK=1\n");
    fs::create_symlink(strTarget, IniPath());
    m_pProfile->SetPath(IniPath());
    ASSERT_TRUE(m_pProfile->IniWriteString("S", "K", "2"));
    EXPECT_TRUE(fs::is_symlink(IniPath()));
    EXPECT_EQ(ReadBytes(strTarget), "[S]\nK=2\n");
}

// A file written whole through a rename must not put a file in the place of
// a link, nor of what a link leads to when that is no file: run as root, a
// rename over "/dev/stdout" replaces the system's link with a file.
TEST_F(ProfileFileTest, AReplacedLinkStaysALinkAndAPipeIsWrittenThrough)
{
    int fds[2] = {-1, -1};
    ASSERT_EQ(::pipe(fds), 0);
    const std::string strToPipe = m_dir.File("stdout");
    fs::create_symlink("/dev/fd/" + std::to_string(fds[1]), strToPipe);
    std::string strError;
    EXPECT_TRUE(ReplaceFile(strToPipe, "rows\n", strError)) << strError;
    ::close(fds[1]);
    char buffer[16] = {};
    EXPECT_EQ(::read(fds[0], buffer, sizeof buffer), 5);
    ::close(fds[0]);
    EXPECT_EQ(std::string(buffer), "rows\n");
    EXPECT_TRUE(fs::is_symlink(strToPipe));

    const std::string strTarget = m_dir.File("image.hex");
    const std::string strLink = m_dir.File("latest.hex");
    WriteBytes(strTarget, "old");
    fs::create_symlink(strTarget, strLink);
    EXPECT_TRUE(ReplaceFile(strLink, "new", strError)) << strError;
    EXPECT_TRUE(fs::is_symlink(strLink));
    EXPECT_EQ(ReadBytes(strTarget), "new");
}

TEST_F(ProfileFileTest, RefusedWritesLeaveTheFileAlone)
{
    const std::string strBase = "[S]\nK=1\n";
    UseFile(strBase);
    EXPECT_FALSE(m_pProfile->IniWriteString("S", "K", "two\nlines"));
    EXPECT_FALSE(m_pProfile->IniWriteString("S", "K=", "x"));
    EXPECT_FALSE(m_pProfile->IniWriteString("S", "", "x"));
    EXPECT_FALSE(m_pProfile->IniWriteString("S]", "K", "x"));
    EXPECT_EQ(ReadBytes(m_pProfile->Path()), strBase);

    WriteBytes(m_dir.File("plain"), "not a folder");
    m_pProfile->SetPath(m_dir.File("plain") + "/vantrel.Ini");
    EXPECT_FALSE(m_pProfile->IniWriteString("S", "K", "x"));
    EXPECT_EQ(m_pProfile->IniWriteError(), "Not a directory");
    m_pProfile->SetPath("");
    EXPECT_FALSE(m_pProfile->IniWriteString("S", "K", "x"));
}

TEST_F(ProfileFileTest, CheckUsedReadsUsedTimesAndMarksAFirstRun)
{
    const struct {
        const char* pszBase;  // nullptr: no file
        bool bUsed;
        const char* pszAfter;
    } cases[] = {
        {nullptr, false, "[Port:]\r\nUsedTimes=0\r\n"},
        {"[Port:]\nUsedTimes=0\n", false, "[Port:]\nUsedTimes=0\n"},
        {"[Port:]\nUsedTimes=abc\nX=1\n", false, "[Port:]\nUsedTimes=0\nX=1\n"},
        {"[Port:]\nX=1\n", false, "[Port:]\nX=1\nUsedTimes=0\n"},
        {"[port:]\nusedtimes= 5\n", true, "[port:]\nusedtimes= 5\n"},
        {"[Port:]\nUsedTimes=-1\n", true, "[Port:]\nUsedTimes=-1\n"},
    };
    for (const auto& c : cases) {
        fs::remove(IniPath());
        if (c.pszBase)
            WriteBytes(IniPath(), c.pszBase);
        m_pProfile->SetPath("elsewhere");
        EXPECT_EQ(m_pProfile->IniCheckUsed("Port:"), c.bUsed) << (c.pszBase ? c.pszBase : "(no file)");
        EXPECT_EQ(m_pProfile->Path(), IniPath());
        EXPECT_EQ(ReadBytes(IniPath()), c.pszAfter);
    }
}

}  // namespace
