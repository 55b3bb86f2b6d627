#pragma once
// Writes what was read from a device into a firmware file: Intel HEX, raw
// binary or Motorola S-record, chosen by the file's ending.
#include <cstdint>
#include <string>
#include <vector>

// One stretch of device memory and its bytes.
struct SMemoryRange {
    uint32_t nStart = 0;
    std::vector<uint8_t> vecData;
};

enum class EOutputKind { kUnknown, kIntelHex, kBinary, kSRecord };

// By the file name's ending, in any case, as the table of formats the
// readers use names it: every format but ASC can be written.
EOutputKind OutputKindOf(const std::string& strPath);
// The endings OutputKindOf knows, for messages: ".hex, .srec, ... or .bin".
std::string OutputEndings();

// Data records of 16 bytes in address order, never crossing a 64 KiB
// boundary, an extended linear address record (04) wherever the upper 16
// bits change (and before the first record above 64 KiB), then the end record.
std::string IntelHexText(std::vector<SMemoryRange> ranges);
// A header record (S0), data records of the smallest address size that holds
// the highest address (S1, S2 or S3), the record count (S5, or S6 past
// 65535 records) and the matching end record (S9, S8 or S7).
std::string SRecordText(std::vector<SMemoryRange> ranges);

// Whether a file named strPath can hold nRanges ranges: its ending must name
// a format, and a binary file holds exactly one range (the gaps between
// several would have to be made up). False with the reason in strError.
bool OutputTakes(const std::string& strPath, size_t nRanges, std::string& strError);

// The file, written whole through a temporary file beside it and a rename,
// so that a failure leaves no part of it; refused as OutputTakes refuses.
// False with the reason in strError.
bool WriteFirmwareFile(const std::string& strPath, const std::vector<SMemoryRange>& ranges, std::string& strError);
