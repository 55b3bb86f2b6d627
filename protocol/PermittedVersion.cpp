#include "protocol/PermittedVersion.h"

#include "core/TextNumber.h"

namespace {

void SetField(CPermittedVersion& version, int nIndex, const std::string& strField)
{
    version.bWildcard[nIndex] = strField == "*";
    version.nField[nIndex] = version.bWildcard[nIndex] ? 0 : LeadingDecimal(strField);
}

}  // namespace

CPermittedVersion ParsePermittedVersion(const std::string& strText)
{
    CPermittedVersion version;
    const size_t nFirstPoint = strText.find('.');
    const std::string strFirst = nFirstPoint == std::string::npos ? std::string() : strText.substr(0, nFirstPoint);
    const std::string strRest = nFirstPoint == std::string::npos ? strText : strText.substr(nFirstPoint + 1);
    const size_t nSecondPoint = strRest.find('.');
    const std::string strSecond = nSecondPoint == std::string::npos ? std::string() : strRest.substr(0, nSecondPoint);
    const std::string strThird = nSecondPoint == std::string::npos ? strRest : strRest.substr(nSecondPoint + 1);
    SetField(version, 0, strFirst);
    SetField(version, 1, strSecond);
    SetField(version, 2, strThird);
    return version;
}

uint32_t PermittedVersionValue(const CPermittedVersion& version)
{
    auto value = [&](int i) { return static_cast<uint32_t>(version.bWildcard[i] ? 0x2A : version.nField[i]); };
    return value(2) + 256u * value(1) + 65536u * value(0);
}

bool VersionPermitted(const CPermittedVersion& version, uint8_t n1, uint8_t n2, uint8_t n3)
{
    const uint8_t reported[3] = {n1, n2, n3};
    for (int i = 0; i < 3; ++i) {
        if (!version.bWildcard[i] && version.nField[i] != reported[i])
            return false;
    }
    return true;
}
