#pragma once
// The settings file: a private-profile ("INI") file of [sections] and
// key=value lines. Reads never fail (a missing file, section or key reads as
// empty); writes keep every other byte of the file as it was and replace the
// file atomically, so a crash leaves either the old or the new file.
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

// Longest value text a read gives; longer values are cut.
constexpr size_t kIniMaxValueLength = 510;

// The running executable's path with its extension replaced (ReplaceFileExt
// of core/FileSystem.h); empty when the executable's path cannot be found.
std::string ModulePathWithExt(const std::string& strExt);
// vantrel.Ini in the per-user settings folder (UserSettingsFolder of
// core/FileSystem.h), which is created.
std::string UserSettingsFilePath();

// The settings file: one object per owner (the dialog, the command line, a
// test), so that two engines in one process never share a chosen path.
class CProfileFile {
public:
    CProfileFile() = default;
    explicit CProfileFile(const std::string& strPath);
    CProfileFile(const CProfileFile&) = delete;
    CProfileFile& operator=(const CProfileFile&) = delete;

    // The file every Ini* call works on; IniCheckUsed chooses it, empty before.
    std::string Path() const;
    void SetPath(const std::string& strPath);
    // Set once this object fell back to the per-user file after a failed
    // write; from then on SettingsFilePath gives the per-user file.
    bool FellBack() const;

    // The usual file ($VANTREL_INI when set, else the "Ini" file beside the
    // executable) when this user can write it. When not, the per-user file once
    // it exists (the settings moved there at a failed write), else the usual file
    // when it exists (read as it is; its first write moves them), else the
    // per-user file. After a fall-back of this object: the per-user file.
    // strProgram names another program beside this one whose file it is
    // (the command line reads the dialog's "vantrel").
    std::string SettingsFilePath(const std::string& strProgram = std::string()) const;

    // Chooses the settings file (Path()) and tells whether the section was
    // used before: its UsedTimes reads as a nonzero number. When not, UsedTimes
    // is written as "0" and the answer is false.
    bool IniCheckUsed(const std::string& strSection);

    // The text after the first "=" of the key's line, blanks around it trimmed,
    // at most kIniMaxValueLength characters. Names match ignoring ASCII case; the
    // first matching section and key win; ";" lines are comments.
    std::string IniReadString(const std::string& strSection, const std::string& strKey) const;
    int IniReadInt(const std::string& strSection, const std::string& strKey) const;
    // Every key of the section with its value, in file order; a key repeated
    // later in the section is left out, as reads never see it.
    std::vector<std::pair<std::string, std::string>> IniReadSection(const std::string& strSection) const;

    // A file this user may not write is never replaced, and another user's file
    // is rewritten in place so that it keeps its owner.
    // Replaces the key's line where it stands, or adds "key=text" after the last
    // non-blank line of its section, or adds the section at the end of the file.
    // New lines take the line end of the file's first line; a new file gets
    // "\r\n", as the profile files the tool has always written. A value holding
    // a line end is refused. False when the file could not be written.
    bool IniWriteString(const std::string& strSection, const std::string& strKey, const std::string& strText);
    bool IniWriteInt(const std::string& strSection, const std::string& strKey, int nValue);
    // Removes every line of the key from its section; true when the key is
    // gone afterwards.
    bool IniDeleteKey(const std::string& strSection, const std::string& strKey);
    // Why the latest failed write failed.
    std::string IniWriteError() const;

    // Moves these settings to the per-user file after the usual file
    // could not be written: the per-user file starts as a copy of what the usual
    // file holds (when it can be read), and Path() names it. False when the
    // per-user file is the file that failed.
    bool IniFallBackToUserFile();

private:
    bool Edit(const std::string& strSection, const std::string& strKey, const std::optional<std::string>& text);

    mutable std::mutex m_mutex;
    std::string m_strIniPath;
    bool m_bIniFellBack = false;
    std::string m_strWriteError;  // why the latest failed write failed
};
