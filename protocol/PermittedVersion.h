#pragma once
// The permitted firmware versions of the settings file: "n1.n2.n3", each
// field a decimal number or "*" for any value, for example "1.2.*".
#include <cstdint>
#include <string>

struct CPermittedVersion {
    int nField[3] = {0, 0, 0};
    bool bWildcard[3] = {false, false, false};
};

// Splits at the first two points; a field is a wildcard only when it is
// exactly "*", otherwise its leading decimal number (0 when it has none).
CPermittedVersion ParsePermittedVersion(const std::string& strText);
// The value sent in the query: n3 + 256 * n2 + 65536 * n1, a wildcard
// counting as 0x2A ('*') in its place.
uint32_t PermittedVersionValue(const CPermittedVersion& version);
// Every field matches: a wildcard any byte, a number the byte equal to it.
bool VersionPermitted(const CPermittedVersion& version, uint8_t n1, uint8_t n2, uint8_t n3);
