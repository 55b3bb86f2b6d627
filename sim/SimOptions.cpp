#include "sim/SimOptions.h"

#include <charconv>
#include <utility>

namespace {
bool ParseIn(const std::string& strText, int nBase, uint32_t nMax, uint32_t& nValue)
{
    if (strText.empty())
        return false;
    uint32_t nParsed = 0;
    const char* pEnd = strText.data() + strText.size();
    const auto result = std::from_chars(strText.data(), pEnd, nParsed, nBase);
    if (result.ec != std::errc() || result.ptr != pEnd || nParsed > nMax)
        return false;
    nValue = nParsed;
    return true;
}

bool HasHexPrefix(const std::string& strText)
{
    return strText.size() > 2 && strText[0] == '0' && (strText[1] == 'x' || strText[1] == 'X');
}

// Splits at the first cSeparator; false when it is missing.
bool Split(const std::string& strText, char cSeparator, std::string& strLeft, std::string& strRight)
{
    const size_t nAt = strText.find(cSeparator);
    if (nAt == std::string::npos)
        return false;
    strLeft = strText.substr(0, nAt);
    strRight = strText.substr(nAt + 1);
    return true;
}

struct CKindName {
    const char* m_pName;
    EFaultKind m_eKind;
    bool m_bTakesArg;
};
constexpr CKindName kKinds[] = {
    {"refuse", EFaultKind::kRefuse, false}, {"malformed", EFaultKind::kMalformed, false},
    {"badcrc", EFaultKind::kBadCrc, false}, {"silent", EFaultKind::kSilent, false},
    {"cut", EFaultKind::kCut, true},        {"garbage", EFaultKind::kGarbage, true},
    {"vanish", EFaultKind::kVanish, false},
};
}  // namespace

bool ParseNumber(const std::string& strText, uint32_t nMax, uint32_t& nValue)
{
    if (HasHexPrefix(strText))
        return ParseIn(strText.substr(2), 16, nMax, nValue);
    return ParseIn(strText, 10, nMax, nValue);
}

bool ParseHexByte(const std::string& strText, uint8_t& nValue)
{
    uint32_t nParsed = 0;
    if (!ParseIn(HasHexPrefix(strText) ? strText.substr(2) : strText, 16, 0xFF, nParsed))
        return false;
    nValue = static_cast<uint8_t>(nParsed);
    return true;
}

bool ParseVersion(const std::string& strText, CSimVersion& version)
{
    std::string strFirst, strRest, strSecond, strThird;
    uint32_t n1 = 0, n2 = 0, n3 = 0;
    if (!Split(strText, '.', strFirst, strRest) || !Split(strRest, '.', strSecond, strThird) ||
        !ParseIn(strFirst, 10, 255, n1) || !ParseIn(strSecond, 10, 255, n2) || !ParseIn(strThird, 10, 255, n3))
        return false;
    version = {static_cast<uint8_t>(n1), static_cast<uint8_t>(n2), static_cast<uint8_t>(n3)};
    return true;
}

bool ParseFault(const std::string& strText, CSimFault& fault, std::string& strError)
{
    std::string strCode, strRest, strWhat = strText, strOccurrence;
    CSimFault parsed;
    if (!Split(strText, ':', strCode, strRest) || !ParseHexByte(strCode, parsed.m_nCode)) {
        strError = "'" + strText + "': expected CODE:KIND[=ARG][@K] with a hex command code";
        return false;
    }
    strWhat = strRest;
    if (Split(strRest, '@', strWhat, strOccurrence)) {
        uint32_t nOccurrence = 0;
        if (!ParseNumber(strOccurrence, 1u << 30, nOccurrence) || nOccurrence == 0) {
            strError = "'" + strText + "': the occurrence after @ counts from 1";
            return false;
        }
        parsed.m_nOccurrence = static_cast<int>(nOccurrence);
    }
    std::string strKind = strWhat, strArg;
    const bool bHasArg = Split(strWhat, '=', strKind, strArg);
    for (const CKindName& kind : kKinds) {
        if (strKind != kind.m_pName)
            continue;
        if (bHasArg != kind.m_bTakesArg) {
            strError = "'" + strText + "': " + kind.m_pName + (kind.m_bTakesArg ? " needs =N" : " takes no argument");
            return false;
        }
        uint32_t nArg = 0;
        if (bHasArg && !ParseNumber(strArg, 1u << 20, nArg)) {
            strError = "'" + strText + "': bad byte count";
            return false;
        }
        parsed.m_eKind = kind.m_eKind;
        parsed.m_nArg = static_cast<int>(nArg);
        fault = parsed;
        return true;
    }
    strError = "'" + strText + "': unknown fault kind '" + strKind + "'";
    return false;
}

bool ParseStatus(const std::string& strText, uint8_t& nCode, uint8_t& nStatus)
{
    std::string strCode, strStatus;
    return Split(strText, '=', strCode, strStatus) && ParseHexByte(strCode, nCode) && ParseHexByte(strStatus, nStatus);
}

bool ParseCorrupt(const std::string& strText, CCorruptByte& corrupt)
{
    std::string strAddress = strText, strValue;
    CCorruptByte parsed;
    if (Split(strText, '=', strAddress, strValue)) {
        if (!ParseHexByte(strValue, parsed.m_nValue))
            return false;
        parsed.m_bInvert = false;
    }
    if (!ParseNumber(strAddress, kSimMemorySize - 1, parsed.m_nAddress))
        return false;
    corrupt = parsed;
    return true;
}

bool ParseRange(const std::string& strText, uint32_t& nStart, uint32_t& nLength)
{
    std::string strStart, strLength;
    uint32_t nParsedStart = 0, nParsedLength = 0;
    if (!Split(strText, ':', strStart, strLength) || !ParseNumber(strStart, kSimMemorySize - 1, nParsedStart) ||
        !ParseNumber(strLength, kSimMemorySize, nParsedLength))
        return false;
    nStart = nParsedStart;
    nLength = nParsedLength;
    return true;
}

bool ParseAdapter(const std::string& strText, EAdapter& eAdapter, int& nLatencyMs)
{
    if (strText == "none" || strText == "cdc") {
        eAdapter = strText == "cdc" ? EAdapter::kCdc : EAdapter::kNone;
        return true;
    }
    std::string strName = strText, strLatency;
    uint32_t nLatency = kSimFtdiLatencyMs;
    // The FTDI driver takes 1 to 255 ms for its latency timer.
    if (Split(strText, ':', strName, strLatency) && (!ParseIn(strLatency, 10, 255, nLatency) || nLatency == 0))
        return false;
    if (strName != "ftdi")
        return false;
    eAdapter = EAdapter::kFtdi;
    nLatencyMs = static_cast<int>(nLatency);
    return true;
}

bool ParseByteText(const std::string& strText, std::vector<uint8_t>& vecBytes)
{
    std::vector<uint8_t> vecParsed;
    for (size_t i = 0; i < strText.size(); ++i) {
        if (strText[i] != '\\') {
            vecParsed.push_back(static_cast<uint8_t>(strText[i]));
            continue;
        }
        if (i + 1 < strText.size() && strText[i + 1] == '\\') {
            vecParsed.push_back('\\');
            ++i;
            continue;
        }
        uint32_t nByte = 0;
        if (i + 3 >= strText.size() || strText[i + 1] != 'x' || !ParseIn(strText.substr(i + 2, 2), 16, 0xFF, nByte))
            return false;
        vecParsed.push_back(static_cast<uint8_t>(nByte));
        i += 3;
    }
    vecBytes = std::move(vecParsed);
    return true;
}
