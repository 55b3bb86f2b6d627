#pragma once
// What the layers above ask of the file system: the one seam where the
// engine and the settings file meet the platform. core/posix implements it;
// a Windows build brings its own.
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
// a temporary file beside it, synced, renamed over it. A file this user may
// not write is never replaced (the rename would do it as the folder allows);
// another user's file, or one in a folder this user may not write, is
// rewritten in place so that it keeps its owner.
bool ReplaceFile(const std::string& strPath, const std::string& strBytes, std::string& strError);

// The running program's own path; empty when it cannot be found.
std::string ExecutablePath();
// The user's home folder: $HOME, else the password database, else /tmp.
std::string HomeFolder();
