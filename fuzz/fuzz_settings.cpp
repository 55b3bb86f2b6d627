// The settings file: the input is the file. Sections and keys named in it are
// read, one key is written, written again and deleted, and after each step
// the file must read the way the write promised.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "FuzzSupport.h"
#include "settings/ProfileFile.h"

namespace {

using CEntries = std::vector<std::pair<std::string, std::string>>;

bool IsBlank(char c)
{
    return c == ' ' || c == '\t';
}

std::string_view TrimBlanks(std::string_view text)
{
    while (!text.empty() && IsBlank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && IsBlank(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

bool SameName(std::string_view a, std::string_view b)
{
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (lower(a[i]) != lower(b[i])) {
            return false;
        }
    }
    return true;
}

// Names and values as they stand in the file, found the simple way: enough
// to aim reads and writes at what the file holds.
struct CFileWords {
    std::vector<std::string> m_vecSections {"Ports", "Terminal"};
    std::vector<std::string> m_vecKeys {"Port", "BaudRate", "UsedTimes"};
    std::vector<std::string> m_vecValues {"", "COM1", "115200", "a b", "x;y", "[v]", "=", "\xE4\xB8\xAD"};
    std::vector<std::string> m_vecRaw;  // whole lines, untrimmed
};

CFileWords FindWords(std::string_view text)
{
    CFileWords words;
    while (!text.empty()) {
        const size_t nEnd = text.find('\n');
        std::string_view line = text.substr(0, nEnd);
        text = nEnd == std::string_view::npos ? std::string_view() : text.substr(nEnd + 1);
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        words.m_vecRaw.emplace_back(line);
        const std::string_view trimmed = TrimBlanks(line);
        const size_t nClose = trimmed.find(']');
        if (trimmed.starts_with('[') && nClose != std::string_view::npos) {
            words.m_vecSections.emplace_back(TrimBlanks(trimmed.substr(1, nClose - 1)));
            continue;
        }
        const size_t nEquals = trimmed.find('=');
        if (nEquals != std::string_view::npos && !trimmed.starts_with(';')) {
            words.m_vecKeys.emplace_back(TrimBlanks(trimmed.substr(0, nEquals)));
            words.m_vecValues.emplace_back(trimmed.substr(nEquals + 1));
        }
    }
    return words;
}

const std::string& Pick(const std::vector<std::string>& vec, uint8_t nChoice)
{
    return vec[nChoice % vec.size()];
}

std::string FileBytes(const std::string& strPath)
{
    std::ifstream file(strPath, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

// What a read gives for a value that was written: blanks around it go, and
// it is cut to the longest value a read gives.
std::string AsRead(std::string_view value)
{
    return std::string(TrimBlanks(value).substr(0, kIniMaxValueLength));
}

// Every key a section read lists reads the same on its own.
void CheckSectionAgrees(const CProfileFile& profile, const std::string& strSection, const CEntries& entries)
{
    for (const auto& [strKey, strValue] : entries) {
        FUZZ_CHECK(profile.IniReadString(strSection, strKey) == strValue);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize)
{
    static const CTempDir dir;
    static const std::string strPath = dir.Path() + "/vantrel.Ini";
    if (dir.Path().empty()) {
        return 0;
    }
    CFuzzInput input(pData, nSize);
    uint8_t anChoice[6];
    for (uint8_t& nChoice : anChoice) {
        nChoice = input.TakeByte();
    }
    const std::string strFile(input.TakeRest());
    {
        std::ofstream file(strPath, std::ios::binary | std::ios::trunc);
        file.write(strFile.data(), static_cast<std::streamsize>(strFile.size()));
        if (!file) {
            return 0;
        }
    }
    CProfileFile profile(strPath);
    const CFileWords words = FindWords(strFile);

    // Reads.
    const std::string& strOther = Pick(words.m_vecSections, anChoice[0]);
    const CEntries otherBefore = profile.IniReadSection(strOther);
    CheckSectionAgrees(profile, strOther, otherBefore);
    (void)profile.IniReadInt(strOther, Pick(words.m_vecKeys, anChoice[1]));

    // One write. Names mostly come trimmed from the file; now and then a
    // whole raw line is tried as a name.
    const bool bRawSection = (anChoice[5] & 0x30) == 0x30 && !words.m_vecRaw.empty();
    const bool bRawKey = (anChoice[5] & 0xC0) == 0xC0 && !words.m_vecRaw.empty();
    const std::string strSection =
        bRawSection ? Pick(words.m_vecRaw, anChoice[2]) : Pick(words.m_vecSections, anChoice[2]);
    const std::string strKey = bRawKey ? Pick(words.m_vecRaw, anChoice[3]) : Pick(words.m_vecKeys, anChoice[3]);
    // Names are taken trimmed, as the file's own names are read.
    const std::string strKeyName(TrimBlanks(strKey));
    const std::string& strValue = Pick(words.m_vecValues, anChoice[4]);
    const CEntries before = profile.IniReadSection(strSection);
    CheckSectionAgrees(profile, strSection, before);

    if (!profile.IniWriteString(strSection, strKey, strValue)) {
        return 0;
    }
    const std::string strExpected = AsRead(strValue);
    FUZZ_CHECK(profile.IniReadString(strSection, strKey) == strExpected);

    // The rest of the section is as it was; a new key comes last.
    CEntries expected = before;
    bool bFound = false;
    for (auto& entry : expected) {
        if (SameName(entry.first, strKeyName)) {
            entry.second = strExpected;
            bFound = true;
        }
    }
    const CEntries after = profile.IniReadSection(strSection);
    if (bFound) {
        FUZZ_CHECK(after == expected);
    } else {
        FUZZ_CHECK(after.size() == before.size() + 1);
        FUZZ_CHECK(std::equal(before.begin(), before.end(), after.begin()));
        FUZZ_CHECK(after.back().second == strExpected);
    }
    CheckSectionAgrees(profile, strSection, after);
    // Other sections keep their keys.
    if (!SameName(TrimBlanks(strOther), TrimBlanks(strSection))) {
        FUZZ_CHECK(profile.IniReadSection(strOther) == otherBefore);
    }

    // Writing what is there already leaves every byte of the file alone.
    const std::string strWritten = FileBytes(strPath);
    FUZZ_CHECK(profile.IniWriteString(strSection, strKey, strValue));
    FUZZ_CHECK(FileBytes(strPath) == strWritten);

    // A delete that succeeds leaves the key unread.
    if (profile.IniDeleteKey(strSection, strKey)) {
        FUZZ_CHECK(profile.IniReadString(strSection, strKey).empty());
        for (const auto& entry : profile.IniReadSection(strSection)) {
            FUZZ_CHECK(!SameName(entry.first, strKeyName));
        }
    }
    return 0;
}
