#pragma once
// Readers that turn a firmware file (Intel HEX, ASC, Motorola S-record or
// raw binary) into a block image. Each returns 1 on success and 0 on
// failure; on failure the image is empty.
#include <array>
#include <cstdint>
#include <optional>
#include <span>
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
// pBytesRead, when given, gets the bytes the reader read (the whole file
// when it succeeds), so that a caller needs no second read for a digest.
int LoadHexFile(const std::string& strPath, FirmwareImage& image, CLogSink& log, std::string* pBytesRead = nullptr);

// Loads an ASC file ("@address" lines and one byte per line) into blocks of up
// to 16 consecutive bytes. A file that cannot be opened gives 0 without a log
// line; the format itself has no errors.
int LoadAscFile(const std::string& strPath, FirmwareImage& image, CLogSink& log, std::string* pBytesRead = nullptr);

// Loads a Motorola S-record file as the HEX reader loads its records: the
// same 24-bit image of 16-byte blocks, a later record winning where two
// overlap, the same messages naming the line. S0 is checked and ignored,
// S1/S2/S3 carry data, S5/S6 must count the data records before them, and
// one of S7/S8/S9 must end the file, or a count come last (a file with
// neither may be cut off).
int LoadSrecFile(const std::string& strPath, FirmwareImage& image, CLogSink& log, std::string* pBytesRead = nullptr);

// What a load needs besides the file: a raw binary carries no address of
// its own.
struct SLoadOptions {
    std::optional<uint32_t> nLoadAddress;

    bool operator==(const SLoadOptions&) const = default;
};

// Loads a raw binary file whose first byte belongs at options.nLoadAddress,
// into the same 24-bit image of 16-byte blocks as a HEX file. Refused in red
// without an address, and when it would pass 4 GiB or the 24-bit space.
int LoadBinFile(const std::string& strPath, const SLoadOptions& options, FirmwareImage& image, CLogSink& log,
                std::string* pBytesRead = nullptr);

// The same readers on a text held in memory (the fuzzers, a file already read).
int LoadHexText(std::string_view text, FirmwareImage& image, CLogSink& log);
int LoadAscText(std::string_view text, FirmwareImage& image, CLogSink& log);
int LoadSrecText(std::string_view text, FirmwareImage& image, CLogSink& log);
int LoadBinText(std::string_view bytes, const SLoadOptions& options, FirmwareImage& image, CLogSink& log);

// The firmware formats, one row each: the name, the file endings that choose
// it (any case), whether it needs a load address, and its reader of a file
// and of a text. A new format is a row here and a reader.
enum class EFirmwareKind { kUnknown, kHex, kAsc, kSrec, kBin };
struct SFirmwareFormat {
    EFirmwareKind kind;
    const char* pName;
    std::array<const char*, 5> endings;  // with the dot, lower case; the rest null
    bool bNeedsAddress;
    int (*pLoadFile)(const std::string& strPath, const SLoadOptions& options, FirmwareImage& image, CLogSink& log,
                     std::string* pBytesRead);
    int (*pLoadText)(std::string_view text, const SLoadOptions& options, FirmwareImage& image, CLogSink& log);
};
std::span<const SFirmwareFormat> FirmwareFormats();
// The format a file's name ending chooses; null for none.
const SFirmwareFormat* FirmwareFormatOf(const std::string& strPath);
EFirmwareKind FirmwareKindOf(const std::string& strPath);
// The endings the formats take, as a message names them: ".hex, .asc, ...
// or .bin"; with pTakes, only those of the formats it takes.
std::string FirmwareEndingsText(bool (*pTakes)(EFirmwareKind) = nullptr);
// The formats as a help text names them: "Intel HEX (.hex), ASC (.asc), ...
// or raw binary (.bin)".
std::string FirmwareFormatsText();
// The file dialog's patterns for every format: "*.hex *.asc ...".
std::string FirmwarePatternsText();
// Whether the file's name chooses a format that needs a load address.
bool FirmwareNeedsAddress(const std::string& strPath);

// Reads a load address as an operator writes it: "0x" and hexadecimal
// digits, or decimal digits, up to 0xFFFFFFFF; blanks around it allowed.
std::optional<uint32_t> ParseLoadAddress(std::string_view text);

// Whether strPath can be loaded, asked before any device is touched.
enum class EFileProblem { kNone, kNotFound, kUnreadable, kUnknownKind };
struct CFirmwareFileCheck {
    EFileProblem problem = EFileProblem::kNone;
    // Why, for kUnreadable and kUnknownKind: "it is a folder", "it is not a
    // regular file", the system's reason it cannot be opened, "not a .hex,
    // ... or .bin file".
    std::string strReason;
    EFirmwareKind kind = EFirmwareKind::kUnknown;
};
CFirmwareFileCheck CheckFirmwareFile(const std::string& strPath);

// A file's own text as it may be shown: control characters escaped (\x1B),
// cut after about nMaxBytes with "…", never inside a UTF-8 sequence.
constexpr size_t kShownFileTextBytes = 80;
std::string ShownFileText(std::string_view text, size_t nMaxBytes = kShownFileTextBytes);
