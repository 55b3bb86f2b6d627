// The text forms of settings shared by the command line and the tests.
#include <gtest/gtest.h>

#include "sim/SimOptions.h"

namespace {

struct CFaultText {
    const char* m_pText;
    bool m_bValid;
    uint8_t m_nCode;
    EFaultKind m_eKind;
    int m_nArg;
    int m_nOccurrence;
};

class SimFaultText : public ::testing::TestWithParam<CFaultText> {};

TEST_P(SimFaultText, ParsesOrRejects)
{
    const CFaultText& c = GetParam();
    CSimFault fault;
    std::string strError;
    ASSERT_EQ(ParseFault(c.m_pText, fault, strError), c.m_bValid) << c.m_pText;
    if (!c.m_bValid) {
        EXPECT_NE(strError.find(c.m_pText), std::string::npos) << strError;
        return;
    }
    EXPECT_EQ(fault.m_nCode, c.m_nCode);
    EXPECT_EQ(fault.m_eKind, c.m_eKind);
    EXPECT_EQ(fault.m_nArg, c.m_nArg);
    EXPECT_EQ(fault.m_nOccurrence, c.m_nOccurrence);
}

INSTANTIATE_TEST_SUITE_P(Table, SimFaultText,
                         ::testing::Values(CFaultText {"c2:silent@100", true, 0xC2, EFaultKind::kSilent, 0, 100},
                                           CFaultText {"03:refuse", true, 0x03, EFaultKind::kRefuse, 0, 1},
                                           CFaultText {"ca:cut=5", true, 0xCA, EFaultKind::kCut, 5, 1},
                                           CFaultText {"E3:garbage=3@2", true, 0xE3, EFaultKind::kGarbage, 3, 2},
                                           CFaultText {"0xec:vanish", true, 0xEC, EFaultKind::kVanish, 0, 1},
                                           CFaultText {"02:malformed", true, 0x02, EFaultKind::kMalformed, 0, 1},
                                           CFaultText {"02:badcrc@0x10", true, 0x02, EFaultKind::kBadCrc, 0, 16},
                                           CFaultText {"c2:explode", false, 0, EFaultKind::kRefuse, 0, 0},
                                           CFaultText {"c2:cut", false, 0, EFaultKind::kRefuse, 0, 0},
                                           CFaultText {"c2:silent=4", false, 0, EFaultKind::kRefuse, 0, 0},
                                           CFaultText {"c2:silent@0", false, 0, EFaultKind::kRefuse, 0, 0},
                                           CFaultText {"1c2:silent", false, 0, EFaultKind::kRefuse, 0, 0},
                                           CFaultText {"silent", false, 0, EFaultKind::kRefuse, 0, 0},
                                           CFaultText {"ca:cut=x", false, 0, EFaultKind::kRefuse, 0, 0}));

TEST(SimOptions, VersionsAreThreeNumbersUpTo255)
{
    CSimVersion version;
    ASSERT_TRUE(ParseVersion("2.10.255", version));
    EXPECT_EQ(version.m_n1, 2);
    EXPECT_EQ(version.m_n2, 10);
    EXPECT_EQ(version.m_n3, 255);
    for (const char* pBad : {"1.2", "1.2.3.4", "1.2.256", "a.b.c", "1..3", ""})
        EXPECT_FALSE(ParseVersion(pBad, version)) << pBad;
}

TEST(SimOptions, NumbersAreDecimalOrHexWithPrefix)
{
    uint32_t nValue = 0;
    EXPECT_TRUE(ParseNumber("1235", 0xFFFFFF, nValue));
    EXPECT_EQ(nValue, 1235u);
    EXPECT_TRUE(ParseNumber("0x1235", 0xFFFFFF, nValue));
    EXPECT_EQ(nValue, 0x1235u);
    EXPECT_FALSE(ParseNumber("0x1000000", 0xFFFFFF, nValue));
    EXPECT_FALSE(ParseNumber("12a", 0xFFFFFF, nValue));
    EXPECT_FALSE(ParseNumber("-1", 0xFFFFFF, nValue));
    uint8_t nByte = 0;
    EXPECT_TRUE(ParseHexByte("b0", nByte));
    EXPECT_EQ(nByte, 0xB0);
    EXPECT_FALSE(ParseHexByte("100", nByte));
}

TEST(SimOptions, StatusCorruptAndRange)
{
    uint8_t nCode = 0, nStatus = 0;
    ASSERT_TRUE(ParseStatus("e3=12", nCode, nStatus));
    EXPECT_EQ(nCode, 0xE3);
    EXPECT_EQ(nStatus, 0x12);
    EXPECT_FALSE(ParseStatus("e3", nCode, nStatus));

    CCorruptByte corrupt;
    ASSERT_TRUE(ParseCorrupt("0x1234", corrupt));
    EXPECT_EQ(corrupt.m_nAddress, 0x1234u);
    EXPECT_TRUE(corrupt.m_bInvert);
    ASSERT_TRUE(ParseCorrupt("100=5a", corrupt));
    EXPECT_EQ(corrupt.m_nAddress, 100u);
    EXPECT_FALSE(corrupt.m_bInvert);
    EXPECT_EQ(corrupt.m_nValue, 0x5A);
    EXPECT_FALSE(ParseCorrupt("100=5a5", corrupt));

    uint32_t nStart = 0, nLength = 0;
    ASSERT_TRUE(ParseRange("0x8000:256", nStart, nLength));
    EXPECT_EQ(nStart, 0x8000u);
    EXPECT_EQ(nLength, 256u);
    EXPECT_FALSE(ParseRange("0x8000", nStart, nLength));
    EXPECT_FALSE(ParseRange("0:0x1000001", nStart, nLength));
}

}  // namespace

TEST(SimOptions, AdapterNamesAndLatencyTimer)
{
    struct {
        const char* pText;
        bool bOk;
        EAdapter eAdapter;
        int nLatencyMs;
    } const cases[] = {
        {"ftdi", true, EAdapter::kFtdi, 16},      {"ftdi:2", true, EAdapter::kFtdi, 2},
        {"ftdi:255", true, EAdapter::kFtdi, 255}, {"cdc", true, EAdapter::kCdc, 16},
        {"none", true, EAdapter::kNone, 16},      {"ftdi:0", false, EAdapter::kNone, 16},
        {"ftdi:256", false, EAdapter::kNone, 16}, {"ftdi:", false, EAdapter::kNone, 16},
        {"cdc:3", false, EAdapter::kNone, 16},    {"FTDI", false, EAdapter::kNone, 16},
    };
    for (const auto& c : cases) {
        EAdapter eAdapter = EAdapter::kNone;
        int nLatencyMs = 16;
        EXPECT_EQ(ParseAdapter(c.pText, eAdapter, nLatencyMs), c.bOk) << c.pText;
        EXPECT_EQ(eAdapter, c.eAdapter) << c.pText;
        EXPECT_EQ(nLatencyMs, c.nLatencyMs) << c.pText;
    }
}

TEST(SimOptions, ByteTextTakesHexEscapesAndKeepsTheRest)
{
    using Bytes = std::vector<uint8_t>;
    struct {
        const char* pText;
        bool bOk;
        Bytes bytes;
    } const cases[] = {
        {"", true, {}},
        {"ok", true, {'o', 'k'}},
        {"\\xD6\\xd0!", true, {0xD6, 0xD0, '!'}},
        {"a\\\\b", true, {'a', '\\', 'b'}},
        {"\\x00\\x1B", true, {0x00, 0x1B}},
        {"中", true, {0xE4, 0xB8, 0xAD}},
        {"\\x4", false, {}},
        {"\\xG0", false, {}},
        {"\\n", false, {}},
        {"end\\", false, {}},
    };
    for (const auto& c : cases) {
        Bytes bytes {0x55};
        EXPECT_EQ(ParseByteText(c.pText, bytes), c.bOk) << c.pText;
        EXPECT_EQ(bytes, c.bOk ? c.bytes : Bytes {0x55}) << c.pText;
    }
}
