#pragma once
// What the layers above ask of the file system: the one seam where the
// engine and the settings file meet the platform, implemented by core/posix
// and core/win32.
#include <cstddef>
#include <string>

#include "core/CUniqueFd.h"

enum class EPathKind { kMissing, kRegularFile, kFolder, kOther, kUnknown };

// What strPath is; kUnknown, with the system's reason, when it cannot be told.
EPathKind PathKindOf(const std::string& strPath, std::string& strError);
bool PathExists(const std::string& strPath);
// Whether this user may write the file (or, when it does not exist yet,
// create it), as the write itself will find.
bool PathWritable(const std::string& strPath);

// A regular file open for reading. Open never waits (a FIFO or a device is
// refused, not read), so nothing a user names can hang the caller.
class CInputFile {
public:
    // False with the system's reason ("not a regular file" for the rest).
    bool Open(const std::string& strPath, std::string& strError);
    bool IsOpen() const { return m_fd.IsValid(); }
    // Up to nCapacity bytes: the count, 0 at the end, -1 on failure.
    long Read(char* pBuffer, size_t nCapacity);

private:
    CUniqueFd m_fd;
};

// The whole file; a missing file reads as empty. False, with the reason,
// when it exists but cannot be read.
bool ReadFileBytes(const std::string& strPath, std::string& strBytes, std::string& strError);
// Replaces the file's bytes so that a crash leaves the old or the new file:
// a temporary file beside it, synced, renamed over it. On POSIX a link is
// followed (the file it leads to is replaced, and the link stays), and what
// is no regular file (a terminal, a pipe, a device) is written into as it is. A file this user may
// not write is never replaced (the rename would do it as the folder allows);
// another user's file, or one in a folder this user may not write, is
// rewritten in place so that it keeps its owner. On Windows a read-only file
// counts as one this user may not write, ReplaceFileW keeps the file's
// attributes and access list, and a file another program holds without
// sharing it is refused before anything is written.
bool ReplaceFile(const std::string& strPath, const std::string& strBytes, std::string& strError);

// The running program's own path; empty when it cannot be found.
std::string ExecutablePath();
// The per-user folder for the settings file, created when missing (a failure
// shows when the file is written): $XDG_CONFIG_HOME/vantrel when that is an
// absolute path, else $HOME/.config/vantrel (the password database's home,
// else /tmp, without $HOME) on POSIX; %APPDATA%\vantrel on Windows.
std::string UserSettingsFolder();
// The environment variable's value (UTF-8); empty when it is not set.
std::string EnvironmentText(const std::string& strName);

// The file a symbolic link leads to, followed to its end, so that a write
// replaces the target and the link stays; strPath itself when it is no link
// or leads nowhere. Windows gives strPath as it is.
std::string LinkTarget(const std::string& strPath);
// strPath with its file name's extension replaced: everything after the last
// "." of the file name becomes strExt, the "." staying. A name without a dot
// (or whose only dot leads it, like ".vantrel") gets "." + strExt appended,
// so "vantrel" gives "vantrel.Ini"; a dot in a folder name is not an extension.
// Folders end at '/' (and at '\\' on Windows).
std::string ReplaceFileExt(const std::string& strPath, const std::string& strExt);
// The folder part of strPath, without the separator (a root keeps its own):
// "/opt/v/vantrel.Ini" gives "/opt/v", "vantrel.Ini" gives "".
std::string FolderOf(const std::string& strPath);
// strName inside strFolder; strName alone when strFolder is empty.
std::string JoinPath(const std::string& strFolder, const std::string& strName);
