// Our private-profile layer beside the system's own: the same edits, each on
// a file of its own, give the same bytes and read back the same values, but
// for the differences we keep on purpose, each stated below with its reason.
// The system's functions are the A ones, so every name here is ASCII.
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "WinFixtures.h"
#include "settings/ProfileFile.h"

namespace {

struct SEdit {
    const char* pszSection;
    const char* pszKey;
    const char* pszValue;  // nullptr deletes the key
};

struct SRead {
    const char* pszSection;
    const char* pszKey;
};

struct SPeerCase {
    const char* pszName;
    std::optional<std::string> initial;  // nullopt: no file yet
    std::vector<SEdit> edits;
    std::vector<SRead> reads;
};

const std::vector<SPeerCase> kCases = {
    {"NewFile", std::nullopt, {{"Port:", "StopBit", "1"}}, {{"Port:", "StopBit"}}},
    {"NewSection", "[Port:]\r\nStopBit=1\r\n", {{"Other", "A", "2"}}, {{"Other", "A"}, {"Port:", "StopBit"}}},
    {"NewKeyInASection",
     "[Port:]\r\nStopBit=1\r\n\r\n[Other]\r\nA=2\r\n",
     {{"Port:", "DataBit", "8"}},
     {{"Port:", "DataBit"}, {"Other", "A"}}},
    {"NewKeyInASectionBeforeAnother",
     "[Port:]\r\nStopBit=1\r\n[Other]\r\nA=2\r\n",
     {{"Port:", "DataBit", "8"}},
     {{"Port:", "DataBit"}, {"Other", "A"}}},
    {"NewKeyAfterALastLineWithoutEnd", "[S]\r\nA=1", {{"S", "B", "2"}}, {{"S", "A"}, {"S", "B"}}},
    {"Overwrite", "[Port:]\r\nStopBit=1\r\nDataBit=8\r\n", {{"Port:", "StopBit", "2"}}, {{"Port:", "StopBit"}}},
    {"DeleteKeys",
     "[Port:]\r\nStopBit=1\r\nDataBit=8\r\n[Other]\r\nA=1\r\n",
     {{"Port:", "DataBit", nullptr}, {"Other", "A", nullptr}, {"Other", "Missing", nullptr}, {"None", "A", nullptr}},
     {{"Port:", "DataBit"}, {"Other", "A"}, {"Port:", "StopBit"}}},
    {"ValuesWithBlanks", "[S]\r\nPad =  padded  \r\n", {{"S", "Name", "  two words  "}}, {{"S", "Name"}, {"S", "Pad"}}},
    {"MissingKeysReadAsTheDefault", "[S]\r\nA=1\r\n", {}, {{"S", "Missing"}, {"Missing", "A"}}},
    {"NamesIgnoreCase",
     "[Port:]\r\nStopBit=1\r\n",
     {{"PORT:", "STOPBIT", "2"}, {"port:", "New", "3"}},
     {{"port:", "stopbit"}, {"PORT:", "NEW"}}},
    {"CrlfLineEnds",
     "; top\r\n[S]\r\n; note\r\nA=1\r\nB=2\r\n[T]\r\nC=3\r\n",
     {{"S", "A", "9"}, {"T", "D", "4"}, {"S", "B", nullptr}},
     {{"S", "A"}, {"S", "B"}, {"T", "C"}, {"T", "D"}}},
    {"LfLineEnds",
     "; c\n[Port:]\nStopBit=1\n[Other]\nA=1\n",
     {{"Port:", "DataBit", "8"}},
     {{"Port:", "StopBit"}, {"Port:", "DataBit"}, {"Other", "A"}}},
    {"QuotedValues", "[S]\r\nQ=\"quoted\"\r\n", {{"S", "W", "\"w\""}}, {{"S", "Q"}, {"S", "W"}}},
    {"NamesWithBlanks", "[ S ]\r\n  A = 1 \r\n", {{"S", "A", "2"}}, {{"S", "A"}}},
};

// Where the file bytes differ on purpose.
struct SBytesDifference {
    const char* pszCase;
    std::string strOurs;
    std::string strSystems;
    const char* pszReason;
};

const std::vector<SBytesDifference> kBytesDifferences = {
    {"NewSection", "[Port:]\r\nStopBit=1\r\n\r\n[Other]\r\nA=2\r\n", "[Port:]\r\nStopBit=1\r\n[Other]\r\nA=2\r\n",
     "a new section stands apart by a blank line, as the tool's files always had it"},
    {"NewKeyInASection", "[Port:]\r\nStopBit=1\r\nDataBit=8\r\n\r\n[Other]\r\nA=2\r\n",
     "[Port:]\r\nStopBit=1\r\nDataBit=8\r\n[Other]\r\nA=2\r\n",
     "lines we do not change stay, blank ones too; the system writes the file anew from what it parsed"},
    {"ValuesWithBlanks", "[S]\r\nPad =  padded  \r\nName=  two words  \r\n",
     "[S]\r\nPad=padded\r\nName=two words  \r\n",
     "a value is written as given (a read trims it) and other lines stay; the system drops the blanks before "
     "a value it writes and writes the other lines trimmed"},
    {"LfLineEnds", "; c\n[Port:]\nStopBit=1\nDataBit=8\n[Other]\nA=1\n",
     "; c\r\n[Port:]\r\nStopBit=1\r\nDataBit=8\r\n[Other]\r\nA=1\r\n",
     "a new line takes the file's own line end and the others stay; the system ends every line with CR LF"},
    {"NamesWithBlanks", "[ S ]\r\nA=2\r\n", "[S]\r\nA=2\r\n",
     "only the changed key's line is written; the system writes the section header anew too"},
};

// Where a value read back differs on purpose.
struct SValueDifference {
    const char* pszCase;
    SRead read;
    const char* pszOurs;
    const char* pszSystems;
    const char* pszReason;
};

const std::vector<SValueDifference> kValueDifferences = {
    {"QuotedValues",
     {"S", "Q"},
     "\"quoted\"",
     "quoted",
     "quotes are part of the value for us, as the tool always read them; the system drops one pair around it"},
    {"QuotedValues", {"S", "W"}, "\"w\"", "w", "the same for a value we wrote with quotes"},
};

const SBytesDifference* BytesDifferenceOf(const std::string& strCase)
{
    for (const SBytesDifference& difference : kBytesDifferences) {
        if (strCase == difference.pszCase)
            return &difference;
    }
    return nullptr;
}

const SValueDifference* ValueDifferenceOf(const std::string& strCase, const SRead& read)
{
    for (const SValueDifference& difference : kValueDifferences) {
        if (strCase == difference.pszCase && std::string(read.pszSection) == difference.read.pszSection &&
            std::string(read.pszKey) == difference.read.pszKey)
            return &difference;
    }
    return nullptr;
}

std::string SystemsRead(const SRead& read, const std::string& strPath)
{
    char szValue[kIniMaxValueLength + 2] = {};
    ::GetPrivateProfileStringA(read.pszSection, read.pszKey, "", szValue, sizeof szValue, strPath.c_str());
    return szValue;
}

class ProfilePeerTest : public ::testing::Test {
protected:
    // Runs the case on a file of ours and one of the system's; their bytes.
    std::pair<std::string, std::string> RunEdits(const SPeerCase& c, CProfileFile& ours, const std::string& strSystems)
    {
        if (c.initial) {
            EXPECT_TRUE(WriteBytes(ours.Path(), *c.initial));
            EXPECT_TRUE(WriteBytes(strSystems, *c.initial));
        }
        for (const SEdit& edit : c.edits) {
            if (edit.pszValue != nullptr) {
                EXPECT_TRUE(ours.IniWriteString(edit.pszSection, edit.pszKey, edit.pszValue)) << edit.pszKey;
            } else {
                EXPECT_TRUE(ours.IniDeleteKey(edit.pszSection, edit.pszKey)) << edit.pszKey;
            }
            ::WritePrivateProfileStringA(edit.pszSection, edit.pszKey, edit.pszValue, strSystems.c_str());
        }
        // All of it on the disk: the system may keep a profile in memory.
        ::WritePrivateProfileStringA(nullptr, nullptr, nullptr, strSystems.c_str());
        return {ReadBytes(ours.Path()).value_or("<none>"), ReadBytes(strSystems).value_or("<none>")};
    }

    CWinTempDir m_dir;
};

TEST_F(ProfilePeerTest, SameBytesAndValuesAsTheSystemsButTheKnownDifferences)
{
    for (const SPeerCase& c : kCases) {
        SCOPED_TRACE(c.pszName);
        CProfileFile ours(m_dir.File(std::string(c.pszName) + "-ours.ini"));
        const std::string strSystems = m_dir.File(std::string(c.pszName) + "-systems.ini");
        const auto [strOurBytes, strSystemsBytes] = RunEdits(c, ours, strSystems);
        if (const SBytesDifference* pDifference = BytesDifferenceOf(c.pszName)) {
            EXPECT_EQ(strOurBytes, pDifference->strOurs) << pDifference->pszReason;
            EXPECT_EQ(strSystemsBytes, pDifference->strSystems) << pDifference->pszReason;
        } else {
            EXPECT_EQ(strOurBytes, strSystemsBytes);
        }
        for (const SRead& read : c.reads) {
            const std::string strOurs = ours.IniReadString(read.pszSection, read.pszKey);
            const std::string strTheirs = SystemsRead(read, strSystems);
            if (const SValueDifference* pDifference = ValueDifferenceOf(c.pszName, read)) {
                EXPECT_EQ(strOurs, pDifference->pszOurs) << pDifference->pszReason;
                EXPECT_EQ(strTheirs, pDifference->pszSystems) << pDifference->pszReason;
                continue;
            }
            EXPECT_EQ(strOurs, strTheirs) << read.pszSection << "/" << read.pszKey;
            EXPECT_EQ(ours.IniReadInt(read.pszSection, read.pszKey),
                      static_cast<int>(::GetPrivateProfileIntA(read.pszSection, read.pszKey, 0, strSystems.c_str())))
                << read.pszSection << "/" << read.pszKey;
        }
    }
}

TEST_F(ProfilePeerTest, EveryKnownDifferenceNamesACaseAndDiffers)
{
    const auto hasCase = [](const char* pszName) {
        for (const SPeerCase& c : kCases) {
            if (std::string(c.pszName) == pszName)
                return true;
        }
        return false;
    };
    for (const SBytesDifference& difference : kBytesDifferences) {
        EXPECT_TRUE(hasCase(difference.pszCase)) << difference.pszCase;
        EXPECT_NE(difference.strOurs, difference.strSystems) << difference.pszCase;
    }
    for (const SValueDifference& difference : kValueDifferences) {
        EXPECT_TRUE(hasCase(difference.pszCase)) << difference.pszCase;
        EXPECT_STRNE(difference.pszOurs, difference.pszSystems) << difference.pszCase;
    }
}

}  // namespace
