// The file-system seam, the settings file's path, code page 936 and the
// UTF-8/UTF-16 boundary on Windows, with Chinese file and folder names.
#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "WinFixtures.h"
#include "core/FileSystem.h"
#include "core/StandardStreams.h"
#include "core/win32/CUniqueHandle.h"
#include "core/win32/WideText.h"
#include "settings/ProfileFile.h"
#include "terminal/CodePage936.h"

namespace {

namespace fs = std::filesystem;

// Bytes no text-mode layer would leave alone: CR LF, a lone LF, a NUL,
// Ctrl-Z and bytes above 0x7F.
const std::string kBinaryBytes = std::string(":00000001FF\r\n\n\0\x1A\xFF\x80 end", 22);

TEST(WideText, ChineseTextRoundTrips)
{
    const struct {
        const char* pszUtf8;
        const wchar_t* pszWide;
    } cases[] = {
        {"", L""},
        {"ok", L"ok"},
        {"固件/测试.hex", L"\u56FA\u4EF6/\u6D4B\u8BD5.hex"},
        {"串口ok", L"\u4E32\u53E3ok"},
        {"\xF0\x9F\x98\x80", L"\xD83D\xDE00"},  // beyond 16 bits: a surrogate pair
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Utf8ToWide(c.pszUtf8), c.pszWide) << c.pszUtf8;
        EXPECT_EQ(WideToUtf8(c.pszWide), c.pszUtf8) << c.pszUtf8;
    }
    EXPECT_EQ(Utf8ToWide("a\xFF"), L"a\xFFFD");
    EXPECT_EQ(WideToUtf8(std::wstring(L"a\xD800")), "a\xEF\xBF\xBD");
    const std::string strWithNul("a\0b", 3);
    EXPECT_EQ(WideToUtf8(Utf8ToWide(strWithNul)), strWithNul);
}

TEST(WideText, SystemErrorTextNamesTheCode)
{
    const std::string strText = SystemErrorText(ERROR_FILE_NOT_FOUND);
    EXPECT_TRUE(strText.ends_with("(error 2)")) << strText;
    EXPECT_GT(strText.size(), std::string("(error 2)").size()) << strText;
    EXPECT_EQ(strText.find('\n'), std::string::npos);
}

class FileSeamTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(m_dir.Path().empty());
        m_strFolder = m_dir.File("固件");
        ASSERT_TRUE(fs::create_directory(WidePath(m_strFolder)));
        m_strFile = JoinPath(m_strFolder, "测试.hex");
        ASSERT_TRUE(WriteBytes(m_strFile, kBinaryBytes));
    }
    void TearDown() override
    {
        // A read-only file would stay behind the folder's removal.
        ::SetFileAttributesW(Utf8ToWide(m_strFile).c_str(), FILE_ATTRIBUTE_NORMAL);
    }

    // The names in the folder, so that a temporary file left behind shows.
    std::vector<std::string> FolderNames() const
    {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(WidePath(m_strFolder)))
            names.push_back(WideToUtf8(entry.path().filename().wstring()));
        return names;
    }

    void MakeReadOnly() { ASSERT_TRUE(::SetFileAttributesW(Utf8ToWide(m_strFile).c_str(), FILE_ATTRIBUTE_READONLY)); }

    CWinTempDir m_dir;
    std::string m_strFolder;
    std::string m_strFile;
};

TEST_F(FileSeamTest, KindsAndExistence)
{
    const struct {
        std::string strPath;
        EPathKind kind;
    } cases[] = {
        {m_strFile, EPathKind::kRegularFile},
        {m_strFolder + "/测试.hex", EPathKind::kRegularFile},
        {m_strFolder, EPathKind::kFolder},
        {JoinPath(m_strFolder, "缺失.hex"), EPathKind::kMissing},
        {JoinPath(m_dir.File("缺失"), "测试.hex"), EPathKind::kMissing},
        {"", EPathKind::kMissing},
        // Devices are never files, and never opened to find that out.
        {"NUL", EPathKind::kOther},
        {"\\\\.\\NUL", EPathKind::kOther},
        {"CON", EPathKind::kOther},
        {"COM1", EPathKind::kOther},
        {"\\\\.\\COM12", EPathKind::kOther},
    };
    for (const auto& c : cases) {
        std::string strError;
        EXPECT_EQ(PathKindOf(c.strPath, strError), c.kind) << c.strPath << " " << strError;
        EXPECT_EQ(PathExists(c.strPath), c.kind != EPathKind::kMissing) << c.strPath;
    }
}

TEST_F(FileSeamTest, ReadsTheWholeFileAsItIs)
{
    std::string strBytes;
    std::string strError;
    ASSERT_TRUE(ReadFileBytes(m_strFile, strBytes, strError)) << strError;
    EXPECT_EQ(strBytes, kBinaryBytes);

    CInputFile file;
    ASSERT_TRUE(file.Open(m_strFile, strError)) << strError;
    std::string strRead;
    char buffer[5];
    for (long n = 0; (n = file.Read(buffer, sizeof buffer)) > 0;)
        strRead.append(buffer, static_cast<size_t>(n));
    EXPECT_EQ(strRead, kBinaryBytes);

    // A missing file reads as empty; one in a missing folder too.
    for (const std::string& strMissing : {JoinPath(m_strFolder, "缺失.hex"), m_dir.File("缺失/测试.hex")}) {
        strBytes = "old";
        EXPECT_TRUE(ReadFileBytes(strMissing, strBytes, strError)) << strMissing;
        EXPECT_EQ(strBytes, "");
    }
}

TEST_F(FileSeamTest, OpensRegularFilesOnly)
{
    const struct {
        std::string strPath;
        const char* pszError;  // nullptr: the system's words, whatever they are
    } cases[] = {
        {m_strFolder, "not a regular file"},          {"NUL", "not a regular file"},
        {"\\\\.\\NUL", "not a regular file"},         {"COM1", "not a regular file"},
        {JoinPath(m_strFolder, "缺失.hex"), nullptr},
    };
    for (const auto& c : cases) {
        CInputFile file;
        std::string strError;
        EXPECT_FALSE(file.Open(c.strPath, strError)) << c.strPath;
        EXPECT_FALSE(file.IsOpen());
        if (c.pszError != nullptr) {
            EXPECT_EQ(strError, c.pszError) << c.strPath;
        } else {
            EXPECT_TRUE(strError.ends_with("(error 2)")) << c.strPath << ": " << strError;
        }
    }
    std::string strBytes;
    std::string strError;
    EXPECT_FALSE(ReadFileBytes(m_strFolder, strBytes, strError));
    EXPECT_EQ(strError, "not a regular file");
}

TEST_F(FileSeamTest, ReplacesANewAndAnOldFileLeavingNoTemporary)
{
    const std::string strNew = JoinPath(m_strFolder, "新.Ini");
    std::string strError;
    ASSERT_TRUE(ReplaceFile(strNew, "first\r\n", strError)) << strError;
    EXPECT_EQ(ReadBytes(strNew), "first\r\n");
    ASSERT_TRUE(ReplaceFile(m_strFile, "second", strError)) << strError;
    EXPECT_EQ(ReadBytes(m_strFile), "second");
    ASSERT_TRUE(ReplaceFile(m_strFile, kBinaryBytes, strError)) << strError;
    EXPECT_EQ(ReadBytes(m_strFile), kBinaryBytes);

    std::vector<std::string> names = FolderNames();
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string> {"新.Ini", "测试.hex"}));
}

TEST_F(FileSeamTest, KeepsTheOldBytesWhileAnotherProgramHoldsTheFile)
{
    // Only a holder that shares writing and deleting lets the file be
    // replaced; otherwise the old bytes stay and no temporary file is left.
    const struct {
        DWORD nShare;
        bool bReplaced;
    } cases[] = {
        {0, false},
        {FILE_SHARE_READ, false},
        {FILE_SHARE_READ | FILE_SHARE_WRITE, false},
        {FILE_SHARE_READ | FILE_SHARE_DELETE, false},
        {FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, true},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(WriteBytes(m_strFile, kBinaryBytes));
        std::string strError;
        {
            CUniqueHandle held(::CreateFileW(Utf8ToWide(m_strFile).c_str(), GENERIC_READ, c.nShare, nullptr,
                                             OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
            ASSERT_TRUE(held.IsValid());
            EXPECT_EQ(ReplaceFile(m_strFile, "new", strError), c.bReplaced) << c.nShare << " " << strError;
        }
        EXPECT_EQ(ReadBytes(m_strFile), c.bReplaced ? "new" : kBinaryBytes) << c.nShare;
        if (!c.bReplaced) {
            EXPECT_TRUE(strError.ends_with("(error 32)")) << c.nShare << " " << strError;
        }
        EXPECT_EQ(FolderNames(), std::vector<std::string> {"测试.hex"}) << c.nShare;
    }
}

TEST_F(FileSeamTest, FolderThatDoesNotExistTakesNoFile)
{
    std::string strError;
    EXPECT_FALSE(ReplaceFile(m_dir.File("缺失/测试.hex"), "lost", strError));
    EXPECT_TRUE(strError.ends_with("(error 3)")) << strError;
    EXPECT_EQ(PathKindOf(m_dir.File("缺失"), strError), EPathKind::kMissing);
}

TEST_F(FileSeamTest, ReadOnlyFileIsNeverReplaced)
{
    MakeReadOnly();
    std::string strError;
    EXPECT_FALSE(ReplaceFile(m_strFile, "lost", strError));
    EXPECT_EQ(strError, "the file is read-only");
    EXPECT_EQ(ReadBytes(m_strFile), kBinaryBytes);
    EXPECT_EQ(FolderNames(), std::vector<std::string> {"测试.hex"});
    // Reading it is fine.
    std::string strBytes;
    EXPECT_TRUE(ReadFileBytes(m_strFile, strBytes, strError));
    EXPECT_EQ(strBytes, kBinaryBytes);
}

TEST_F(FileSeamTest, WritableAsTheWriteWouldFind)
{
    const struct {
        std::string strPath;
        bool bWritable;
    } cases[] = {
        {m_strFile, true},
        {JoinPath(m_strFolder, "新.Ini"), true},  // a new file in a folder that takes one
        {m_dir.File("缺失/新.Ini"), false},
        {m_strFolder, false},
        {"", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(PathWritable(c.strPath), c.bWritable) << c.strPath;
    MakeReadOnly();
    EXPECT_FALSE(PathWritable(m_strFile));
    // The probe for a new file leaves nothing behind.
    EXPECT_EQ(FolderNames(), std::vector<std::string> {"测试.hex"});
}

TEST(FileSeamPaths, ExecutablePathIsThisTestProgram)
{
    const std::string strExe = ExecutablePath();
    EXPECT_TRUE(strExe.ends_with("\\win_files_tests.exe")) << strExe;
    std::string strError;
    EXPECT_EQ(PathKindOf(strExe, strError), EPathKind::kRegularFile) << strExe;
    wchar_t szModule[MAX_PATH] = {};
    ASSERT_GT(::GetModuleFileNameW(nullptr, szModule, MAX_PATH), 0u);
    EXPECT_EQ(Utf8ToWide(strExe), szModule);
}

TEST(FileSeamPaths, BothSlashesSeparateFolders)
{
    const struct {
        const char* pszPath;
        const char* pszIni;     // ReplaceFileExt(path, "Ini")
        const char* pszFolder;  // FolderOf(path)
        const char* pszJoined;  // JoinPath(FolderOf(path), "x.Ini")
    } cases[] = {
        {"C:\\v1.2\\vantrel-cli.exe", "C:\\v1.2\\vantrel-cli.Ini", "C:\\v1.2", "C:\\v1.2\\x.Ini"},
        {"C:/v1.2/vantrel", "C:/v1.2/vantrel.Ini", "C:/v1.2", "C:/v1.2\\x.Ini"},
        {"C:\\a.b/c", "C:\\a.b/c.Ini", "C:\\a.b", "C:\\a.b\\x.Ini"},
        {"C:\\v\\.vantrel", "C:\\v\\.vantrel.Ini", "C:\\v", "C:\\v\\x.Ini"},
        {"C:\\vantrel.exe", "C:\\vantrel.Ini", "C:\\", "C:\\x.Ini"},
        {"C:vantrel.exe", "C:vantrel.Ini", "C:", "C:x.Ini"},
        {"\\\\srv\\share.d\\vantrel", "\\\\srv\\share.d\\vantrel.Ini", "\\\\srv\\share.d\\", "\\\\srv\\share.d\\x.Ini"},
        {"固件\\测试.hex", "固件\\测试.Ini", "固件", "固件\\x.Ini"},
        {"vantrel-cli.exe", "vantrel-cli.Ini", "", "x.Ini"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ReplaceFileExt(c.pszPath, "Ini"), c.pszIni) << c.pszPath;
        EXPECT_EQ(FolderOf(c.pszPath), c.pszFolder) << c.pszPath;
        EXPECT_EQ(JoinPath(FolderOf(c.pszPath), "x.Ini"), c.pszJoined) << c.pszPath;
    }
}

TEST(FileSeamPaths, EnvironmentTextIsUtf8)
{
    CScopedEnv env("VANTREL_TEST_TEXT", "固件\\设置.Ini");
    EXPECT_EQ(EnvironmentText("VANTREL_TEST_TEXT"), "固件\\设置.Ini");
    CScopedEnv unset("VANTREL_TEST_TEXT", std::nullopt);
    EXPECT_EQ(EnvironmentText("VANTREL_TEST_TEXT"), "");
}

TEST(SettingsPath, NamedByTheProgramBesideItOrByTheEnvironment)
{
    CWinTempDir dir;
    const std::string strExe = ExecutablePath();
    CProfileFile profile;
    {
        // The build folder, where the test program stands, can be written.
        CScopedEnv unset("VANTREL_INI", std::nullopt);
        EXPECT_EQ(profile.SettingsFilePath(), JoinPath(FolderOf(strExe), "win_files_tests.Ini"));
        EXPECT_EQ(profile.SettingsFilePath("vantrel"), JoinPath(FolderOf(strExe), "vantrel.Ini"));
        EXPECT_EQ(ModulePathWithExt("Ini"), JoinPath(FolderOf(strExe), "win_files_tests.Ini"));
    }
    const std::string strNamed = dir.File("设置.Ini");
    CScopedEnv named("VANTREL_INI", strNamed);
    EXPECT_EQ(profile.SettingsFilePath(), strNamed);
    EXPECT_EQ(profile.SettingsFilePath("vantrel"), dir.File("vantrel.Ini"));
}

TEST(SettingsPath, PerUserFileInRoamingAppDataWhenTheFolderCannotBeWritten)
{
    CWinTempDir dir;
    const wchar_t* pszAppData = ::_wgetenv(L"APPDATA");
    ASSERT_NE(pszAppData, nullptr);
    const std::string strUserFolder = JoinPath(WideToUtf8(pszAppData), "vantrel");
    EXPECT_EQ(UserSettingsFolder(), strUserFolder);
    std::string strError;
    EXPECT_EQ(PathKindOf(strUserFolder, strError), EPathKind::kFolder);

    CScopedEnv named("VANTREL_INI", dir.File("缺失\\设置.Ini"));
    CProfileFile profile;
    EXPECT_EQ(profile.SettingsFilePath(), JoinPath(strUserFolder, "vantrel.Ini"));
}

TEST(CodePage936, RoundTripsAndMarksWhatItLacks)
{
    const struct {
        const char* pszUtf8;
        std::string strBytes;
        const char* pszBack;  // the bytes decoded again
    } cases[] = {
        {"串口ok",
         "\xB4\xAE\xBF\xDA"
         "ok",
         "串口ok"},
        {"固件测试", "\xB9\xCC\xBC\xFE\xB2\xE2\xCA\xD4", "固件测试"},
        {"ＡＢ", "\xA3\xC1\xA3\xC2", "ＡＢ"},
        {"a\xF0\x9F\x98\x80"
         "b",
         "a?b", "a?b"},
        {"\xE0\xB8\x81", "?", "?"},  // Thai: not in the code page
        {"\xFF", "?", "?"},          // not UTF-8
        {"", "", ""},
    };
    for (const auto& c : cases) {
        const std::string strBytes = Utf8ToCodePage936(c.pszUtf8);
        EXPECT_EQ(strBytes, c.strBytes) << c.pszUtf8;
        CCodePage936Decoder decoder;
        EXPECT_EQ(decoder.Decode(reinterpret_cast<const uint8_t*>(strBytes.data()), strBytes.size()), c.pszBack)
            << c.pszUtf8;
    }
}

TEST(CodePage936, CharacterSplitAcrossTwoChunksShowsWhole)
{
    const std::string strText = "固a件测试";
    const std::string strBytes = Utf8ToCodePage936(strText);
    ASSERT_EQ(strBytes.size(), 9u);
    const auto* p = reinterpret_cast<const uint8_t*>(strBytes.data());
    // Every place to cut: the first chunk shows only whole characters.
    const char* pszFirst[] = {"", "", "固", "固a", "固a", "固a件", "固a件", "固a件测", "固a件测", "固a件测试"};
    for (size_t nCut = 0; nCut <= strBytes.size(); ++nCut) {
        CCodePage936Decoder decoder;
        const std::string strFirst = decoder.Decode(p, nCut);
        EXPECT_EQ(strFirst, pszFirst[nCut]) << nCut;
        EXPECT_EQ(strFirst + decoder.Decode(p + nCut, strBytes.size() - nCut), strText) << nCut;
    }
    // A lead byte alone, then an empty poll, then its trail byte.
    CCodePage936Decoder decoder;
    EXPECT_EQ(decoder.Decode(p, 1), "");
    EXPECT_EQ(decoder.Decode(p + 1, 0), "");
    EXPECT_EQ(decoder.Decode(p + 1, 1), "固");
    // Reset drops a waiting lead byte, which would otherwise pair with "a".
    EXPECT_EQ(decoder.Decode(p, 1), "");
    decoder.Reset();
    EXPECT_EQ(decoder.Decode(p + 2, 1), "a");
}

TEST(CodePage936, BytesTheCodePageDoesNotDefineShowAsReplacement)
{
    const std::string strReplacement = "\xEF\xBF\xBD";
    const struct {
        std::string strBytes;
        std::string strText;
    } cases[] = {
        {"\x81\x7F", strReplacement},  // 0x7F never trails
        {"\xFF", strReplacement},
        {"a\x81\x7F"
         "b",
         "a" + strReplacement + "b"},
    };
    for (const auto& c : cases) {
        CCodePage936Decoder decoder;
        EXPECT_EQ(decoder.Decode(reinterpret_cast<const uint8_t*>(c.strBytes.data()), c.strBytes.size()), c.strText);
    }
}

TEST(StandardStreams, ClosedDescriptorIsHeldByNul)
{
    CWinTempDir dir;
    ASSERT_EQ(::_close(0), 0);
    ASSERT_EQ(::_get_osfhandle(0), -1);
    OpenStandardStreams();
    EXPECT_NE(::_get_osfhandle(0), -1);
    char byte = 0;
    EXPECT_EQ(::_read(0, &byte, 1), 0);  // NUL reads as at its end
    // A file opened later gets a descriptor of its own, not standard input's.
    const std::string strFile = dir.File("文件.txt");
    ASSERT_TRUE(WriteBytes(strFile, "x"));
    const int fd = ::_wopen(Utf8ToWide(strFile).c_str(), _O_RDONLY | _O_BINARY);
    EXPECT_GT(fd, 2);
    if (fd >= 0)
        ::_close(fd);
}

}  // namespace
