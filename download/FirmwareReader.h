#pragma once
// Readers that turn a firmware file (Intel HEX or ASC) into a block image.
// Both return 1 on success and 0 on failure; on failure the image is empty.
#include <cstdint>
#include <string>
#include <string_view>

#include "core/LogSink.h"
#include "download/FirmwareImage.h"

// Reads a hexadecimal number the lenient way the file formats need: leading
// white space, an optional sign and "0x" are allowed, reading stops at the
// first non-digit. Never fails: no digits give 0, more than 32 bits give
// 0xFFFFFFFF, and a '-' negates modulo 2^32.
uint32_t ParseHex(std::string_view text);

// Loads an Intel HEX file into 16-byte blocks aligned to 16 (24-bit address
// space). A malformed record is reported in red and nothing is loaded. A file
// that cannot be opened gives 0 without a log line.
int LoadHexFile(const std::string& strPath, FirmwareImage& image, CLogSink& log);

// Loads an ASC file ("@address" lines and one byte per line) into blocks of up
// to 16 consecutive bytes. A file that cannot be opened gives 0 without a log
// line; the format itself has no errors.
int LoadAscFile(const std::string& strPath, FirmwareImage& image, CLogSink& log);

// The same readers on a text held in memory (the fuzzers, a file already read).
int LoadHexText(std::string_view text, FirmwareImage& image, CLogSink& log);
int LoadAscText(std::string_view text, FirmwareImage& image, CLogSink& log);

// The reader a file's name ending chooses (".hex", ".asc", any case).
enum class EFirmwareKind { kUnknown, kHex, kAsc };
EFirmwareKind FirmwareKindOf(const std::string& strPath);

// Whether strPath can be loaded, asked before any device is touched.
enum class EFileProblem { kNone, kNotFound, kUnreadable, kUnknownKind };
struct CFirmwareFileCheck {
    EFileProblem problem = EFileProblem::kNone;
    // Why, for kUnreadable and kUnknownKind: "it is a folder", "it is not a
    // regular file", the system's reason it cannot be opened, "not a .hex or
    // .asc file".
    std::string strReason;
    EFirmwareKind kind = EFirmwareKind::kUnknown;
};
CFirmwareFileCheck CheckFirmwareFile(const std::string& strPath);

// A file's own text as it may be shown: control characters escaped (\x1B),
// cut after about nMaxBytes with "…", never inside a UTF-8 sequence.
constexpr size_t kShownFileTextBytes = 80;
std::string ShownFileText(std::string_view text, size_t nMaxBytes = kShownFileTextBytes);
