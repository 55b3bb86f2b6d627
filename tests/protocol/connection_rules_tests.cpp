// The permitted-version rules of the connection.
#include <gtest/gtest.h>

#include "protocol/PermittedVersion.h"

namespace {

TEST(PermittedVersion, SplitsFieldsAndComputesTheQueryValue)
{
    struct Case {
        const char* pText;
        uint32_t nValue;
        bool bWild[3];
    };
    const Case cases[] = {
        {"1.2.3", 0x010203, {false, false, false}},
        {"1.2.*", 0x01022A, {false, false, true}},
        {"*.*.*", 0x2A2A2A, {true, true, true}},
        {"", 0, {false, false, false}},
        {"7", 7, {false, false, false}},           // no point: the whole text is the third field
        {"1.5", 0x010005, {false, false, false}},  // one point: the second field is empty
        {"1.2.3.4", 0x010203, {false, false, false}},
        {"**.2.x", 0x000200, {false, false, false}},  // only exactly "*" is a wildcard
        {"12abc.3.4", 0x0C0304, {false, false, false}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pText);
        const CPermittedVersion version = ParsePermittedVersion(c.pText);
        EXPECT_EQ(PermittedVersionValue(version), c.nValue);
        for (int i = 0; i < 3; ++i)
            EXPECT_EQ(version.bWildcard[i], c.bWild[i]) << i;
    }
}

TEST(PermittedVersion, MatchesFieldByField)
{
    struct Case {
        const char* pText;
        uint8_t n1, n2, n3;
        bool bPermitted;
    };
    const Case cases[] = {
        {"1.2.*", 1, 2, 7, true},    {"1.2.*", 1, 3, 0, false}, {"", 0, 0, 0, true},       {"", 0, 0, 1, false},
        {"*.*.*", 255, 17, 3, true}, {"1.2.3", 1, 2, 3, true},  {"1.2.3", 3, 2, 1, false}, {"*.0.*", 9, 0, 9, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pText);
        EXPECT_EQ(VersionPermitted(ParsePermittedVersion(c.pText), c.n1, c.n2, c.n3), c.bPermitted);
    }
}

}  // namespace
