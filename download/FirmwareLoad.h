#pragma once
// The one way a firmware file is loaded for writing: looked at, read and
// turned into an image before any device is touched, by the reader its name
// chooses. The result says either what to write or why the file cannot be
// written, with the lines a run logs for it.
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "download/FirmwareImage.h"
#include "download/FirmwareReader.h"

enum class EFirmwareLoadProblem {
    kNone,
    kNotFound,
    kUnreadable,   // a folder, a FIFO, no permission, a read that failed
    kUnknownKind,  // no reader takes its name's ending
    kNoAddress,    // a raw binary, and no load address given
    kRefused,      // its reader refuses a line of it
    kNoData,       // it loads, but holds nothing to write
};

// A load, kept for as many runs as write it (one file into many devices):
// every run writes the same image whatever happens to the file on disk
// meanwhile, and the digest of strBytes is the digest of what was written.
struct CLoadedFirmware {
    std::string strPath;
    SLoadOptions options;
    EFirmwareLoadProblem problem = EFirmwareLoadProblem::kNone;
    // Why it cannot be written, in words for a note: "file not found", "it is
    // a folder", "the reader refuses it: ##  Checksum error. (L2)".
    std::string strReason;
    std::string strBytes;     // what was read of the file
    bool bReadWhole = false;  // strBytes is the whole file
    FirmwareImage image;      // empty unless problem is kNone
    // What a run logs for the file before it connects: the reader's lines,
    // or the line saying why the file cannot be written.
    std::vector<std::pair<std::string, int>> vecLog;
};

// Never null.
std::shared_ptr<const CLoadedFirmware> LoadFirmware(const std::string& strPath, const SLoadOptions& options = {});

// Whether the file still holds exactly the bytes the load read, read
// through an open that never waits.
bool FirmwareFileUnchanged(const CLoadedFirmware& load);
