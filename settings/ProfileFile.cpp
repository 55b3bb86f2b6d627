#include "settings/ProfileFile.h"

#include <mutex>
#include <optional>
#include <string_view>

#include <fmt/format.h>

#include "core/FileSystem.h"
#include "core/TextNumber.h"

namespace {

constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";

// A line without its end, and its end: "\r\n", "\n", or "" for a last line
// that has none.
struct SIniLine {
    std::string strText;
    std::string strEnd;
};

std::vector<SIniLine> SplitLines(const std::string& strBytes)
{
    std::vector<SIniLine> lines;
    size_t nStart = 0;
    while (nStart < strBytes.size()) {
        const size_t nNewline = strBytes.find('\n', nStart);
        if (nNewline == std::string::npos) {
            // Carriage returns that end the file end its last line too: they
            // are no part of the value, and a line end added after them
            // cannot join one of them and change what the line reads as.
            std::string strLast = strBytes.substr(nStart);
            const size_t nTextEnd = strLast.find_last_not_of('\r') + 1;  // npos + 1 is 0
            std::string strEnd = strLast.substr(nTextEnd);
            strLast.resize(nTextEnd);
            lines.push_back({strLast, strEnd});
            break;
        }
        const bool bCr = nNewline > nStart && strBytes[nNewline - 1] == '\r';
        const size_t nTextEnd = bCr ? nNewline - 1 : nNewline;
        lines.push_back({strBytes.substr(nStart, nTextEnd - nStart), bCr ? "\r\n" : "\n"});
        nStart = nNewline + 1;
    }
    return lines;
}

// False for a last line with no end, or only a carriage return: a line
// appended after it needs a full line end first.
bool EndsLine(const SIniLine& line)
{
    return line.strEnd.ends_with('\n');
}

std::string JoinLines(const std::vector<SIniLine>& lines)
{
    std::string strBytes;
    for (const SIniLine& line : lines)
        strBytes += line.strText + line.strEnd;
    return strBytes;
}

// The line's text as the parser sees it: a byte-order mark before the first
// line is not part of it.
std::string_view ParsedText(const std::vector<SIniLine>& lines, size_t nLine)
{
    std::string_view text = lines[nLine].strText;
    if (nLine == 0 && text.starts_with(kUtf8Bom))
        text.remove_prefix(kUtf8Bom.size());
    return text;
}

std::optional<std::string_view> SectionName(std::string_view text)
{
    text = TrimBlanks(text);
    const size_t nClose = text.find(']');
    if (!text.starts_with('[') || nClose == std::string_view::npos)
        return std::nullopt;
    return TrimBlanks(text.substr(1, nClose - 1));
}

struct SKeyLine {
    std::string_view key;
    std::string_view value;
};

std::optional<SKeyLine> KeyLine(std::string_view text)
{
    text = TrimBlanks(text);
    const size_t nEquals = text.find('=');
    if (text.empty() || text.front() == ';' || text.front() == '[' || nEquals == std::string_view::npos)
        return std::nullopt;
    const std::string_view key = TrimBlanks(text.substr(0, nEquals));
    if (key.empty())
        return std::nullopt;
    return SKeyLine {key, TrimBlanks(text.substr(nEquals + 1))};
}

// The lines [nHeader, nEnd) of the first section of that name; nHeader is
// npos when there is none.
struct SSectionSpan {
    size_t nHeader = std::string::npos;
    size_t nEnd = 0;
};

SSectionSpan FindSection(const std::vector<SIniLine>& lines, std::string_view section)
{
    SSectionSpan span;
    for (size_t i = 0; i < lines.size(); ++i) {
        const auto name = SectionName(ParsedText(lines, i));
        if (!name)
            continue;
        if (span.nHeader != std::string::npos) {
            span.nEnd = i;
            return span;
        }
        if (EqualsNoCase(*name, section))
            span.nHeader = i;
    }
    span.nEnd = lines.size();
    return span;
}

size_t FindKey(const std::vector<SIniLine>& lines, const SSectionSpan& span, std::string_view key)
{
    if (span.nHeader == std::string::npos)
        return std::string::npos;
    for (size_t i = span.nHeader + 1; i < span.nEnd; ++i) {
        const auto keyLine = KeyLine(ParsedText(lines, i));
        if (keyLine && EqualsNoCase(keyLine->key, key))
            return i;
    }
    return std::string::npos;
}

std::string CutValue(std::string_view value)
{
    return std::string(value.substr(0, kIniMaxValueLength));
}

std::vector<SIniLine> ReadLines(const std::string& strPath)
{
    std::string strBytes;
    std::string strError;
    if (strPath.empty() || !ReadFileBytes(strPath, strBytes, strError))
        return {};
    return SplitLines(strBytes);
}

bool HasLineEnd(std::string_view text)
{
    return text.find_first_of("\r\n") != std::string_view::npos;
}

// Sets (strText given) or removes the key in the file at strIniPath; the file
// is rewritten only when its bytes change.
bool EditKey(const std::string& strIniPath, const std::string& strSectionGiven, const std::string& strKeyGiven,
             const std::optional<std::string>& text, std::string& strError)
{
    // Names are read trimmed, so they are written trimmed.
    const std::string strSection(TrimBlanks(strSectionGiven));
    const std::string strKey(TrimBlanks(strKeyGiven));
    if (strIniPath.empty()) {
        strError = "no settings file chosen";
        return false;
    }
    if (HasLineEnd(strSection) || strSection.find(']') != std::string::npos || HasLineEnd(strKey) ||
        strKey.find('=') != std::string::npos || strKey.empty() || strKey.front() == ';' || strKey.front() == '[' ||
        (text && HasLineEnd(*text))) {
        strError = "a name or value that cannot be written on one line";
        return false;
    }
    // A settings file reached through a link stays a link: the target is replaced.
    const std::string strPath = LinkTarget(strIniPath);

    std::string strOld;
    if (!ReadFileBytes(strPath, strOld, strError))
        return false;
    std::vector<SIniLine> lines = SplitLines(strOld);
    std::string strEnd = "\r\n";
    if (!lines.empty() && EndsLine(lines.front()))
        strEnd = lines.front().strEnd;

    const SSectionSpan span = FindSection(lines, strSection);
    const size_t nKey = FindKey(lines, span, strKey);
    if (!text) {
        // Every line of the key goes, or a repeated one would surface.
        for (size_t nLine = nKey; nLine != std::string::npos;
             nLine = FindKey(lines, FindSection(lines, strSection), strKey))
            lines.erase(lines.begin() + static_cast<std::ptrdiff_t>(nLine));
    } else if (nKey != std::string::npos) {
        const auto keyLine = KeyLine(ParsedText(lines, nKey));
        lines[nKey].strText = std::string(keyLine->key) + "=" + *text;
    } else if (span.nHeader != std::string::npos) {
        size_t nLast = span.nEnd - 1;
        while (nLast > span.nHeader && TrimBlanks(lines[nLast].strText).empty())
            --nLast;
        if (!EndsLine(lines[nLast]))
            lines[nLast].strEnd = strEnd;
        lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(nLast + 1), SIniLine {strKey + "=" + *text, strEnd});
    } else {
        if (!lines.empty() && !EndsLine(lines.back()))
            lines.back().strEnd = strEnd;
        // Sections stand apart by one blank line.
        if (!lines.empty() && !TrimBlanks(lines.back().strText).empty())
            lines.push_back({"", strEnd});
        lines.push_back({"[" + strSection + "]", strEnd});
        lines.push_back({strKey + "=" + *text, strEnd});
    }

    const std::string strNew = JoinLines(lines);
    if (strNew == strOld)
        return true;
    return ReplaceFile(strPath, strNew, strError);
}

}  // namespace

std::string ModulePathWithExt(const std::string& strExt)
{
    const std::string strExe = ExecutablePath();
    return strExe.empty() ? std::string() : ReplaceFileExt(strExe, strExt);
}

std::string UserSettingsFilePath()
{
    return JoinPath(UserSettingsFolder(), "vantrel.Ini");
}

CProfileFile::CProfileFile(const std::string& strPath) : m_strIniPath(strPath) {}

std::string CProfileFile::Path() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_strIniPath;
}

void CProfileFile::SetPath(const std::string& strPath)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_strIniPath = strPath;
}

bool CProfileFile::FellBack() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_bIniFellBack;
}

std::string CProfileFile::SettingsFilePath(const std::string& strProgram) const
{
    if (FellBack())
        return UserSettingsFilePath();
    std::string strUsual = EnvironmentText("VANTREL_INI");
    if (strUsual.empty())
        strUsual = ModulePathWithExt("Ini");
    if (!strUsual.empty() && !strProgram.empty())
        strUsual = JoinPath(FolderOf(strUsual), strProgram + ".Ini");
    if (!strUsual.empty() && PathWritable(strUsual))
        return strUsual;
    // The settings of a file that cannot be written moved to the per-user
    // file at its first write; from then on they are read back from there.
    const std::string strUser = UserSettingsFilePath();
    if (strUsual.empty() || PathExists(strUser) || !PathExists(strUsual))
        return strUser;
    return strUsual;  // read as it is; the first write moves to the per-user file
}

bool CProfileFile::IniCheckUsed(const std::string& strSection)
{
    SetPath(SettingsFilePath());
    if (IniReadInt(strSection, "UsedTimes") != 0)
        return true;
    IniWriteString(strSection, "UsedTimes", "0");
    return false;
}

std::string CProfileFile::IniReadString(const std::string& strSection, const std::string& strKey) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const std::vector<SIniLine> lines = ReadLines(m_strIniPath);
    const size_t nKey = FindKey(lines, FindSection(lines, TrimBlanks(strSection)), TrimBlanks(strKey));
    if (nKey == std::string::npos)
        return std::string();
    return CutValue(KeyLine(ParsedText(lines, nKey))->value);
}

int CProfileFile::IniReadInt(const std::string& strSection, const std::string& strKey) const
{
    return LeadingDecimal(IniReadString(strSection, strKey));
}

std::vector<std::pair<std::string, std::string>> CProfileFile::IniReadSection(const std::string& strSection) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const std::vector<SIniLine> lines = ReadLines(m_strIniPath);
    const SSectionSpan span = FindSection(lines, TrimBlanks(strSection));
    std::vector<std::pair<std::string, std::string>> entries;
    if (span.nHeader == std::string::npos)
        return entries;
    for (size_t i = span.nHeader + 1; i < span.nEnd; ++i) {
        const auto keyLine = KeyLine(ParsedText(lines, i));
        if (!keyLine)
            continue;
        bool bSeen = false;
        for (const auto& entry : entries)
            bSeen = bSeen || EqualsNoCase(entry.first, keyLine->key);
        if (!bSeen)
            entries.emplace_back(std::string(keyLine->key), CutValue(keyLine->value));
    }
    return entries;
}

bool CProfileFile::Edit(const std::string& strSection, const std::string& strKey,
                        const std::optional<std::string>& text)
{
    // One read-modify-write at a time on this file.
    std::lock_guard<std::mutex> lock(m_mutex);
    return EditKey(m_strIniPath, strSection, strKey, text, m_strWriteError);
}

bool CProfileFile::IniWriteString(const std::string& strSection, const std::string& strKey, const std::string& strText)
{
    return Edit(strSection, strKey, strText);
}

bool CProfileFile::IniWriteInt(const std::string& strSection, const std::string& strKey, int nValue)
{
    return Edit(strSection, strKey, fmt::format("{}", nValue));
}

bool CProfileFile::IniDeleteKey(const std::string& strSection, const std::string& strKey)
{
    return Edit(strSection, strKey, std::nullopt);
}

std::string CProfileFile::IniWriteError() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_strWriteError;
}

bool CProfileFile::IniFallBackToUserFile()
{
    const std::string strUser = UserSettingsFilePath();
    std::lock_guard<std::mutex> lock(m_mutex);
    m_bIniFellBack = true;
    if (strUser == m_strIniPath)
        return false;
    std::string strBytes;
    std::string strError;
    if (!m_strIniPath.empty() && ReadFileBytes(m_strIniPath, strBytes, strError) && !strBytes.empty())
        ReplaceFile(strUser, strBytes, strError);  // a failure shows at the next write
    m_strIniPath = strUser;
    return true;
}
