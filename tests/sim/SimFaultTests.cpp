// Injected faults: each kind hits one exchange and the device recovers after.
#include <chrono>
#include <thread>

#include "SimFixture.h"

namespace {

constexpr int kQuietMs = 250;  // long enough to be sure nothing more is coming

const Bytes kEnterReply = IapReply(0x02, {0xAC, 0x01, 0x53, 0xFE, 0x00}, 0x55);

Bytes WithLastByteInverted(Bytes vecBytes)
{
    vecBytes.back() ^= 0xFF;
    return vecBytes;
}

Bytes Prefix(const Bytes& vecBytes, size_t nLength)
{
    return Bytes(vecBytes.begin(), vecBytes.begin() + static_cast<std::ptrdiff_t>(nLength));
}

enum class EEffect { kCarriedOut, kNotCarriedOut, kUnchecked };

struct CFaultCase {
    const char* m_pName;
    CSimFault m_fault;
    Bytes m_vecRequest;
    Bytes m_vecFaultyReply;
    Bytes m_vecNormalReply;
    EEffect m_eEffect;  // enter: IAP mode; one-byte write: memory at 0
};

class SimFaultKinds : public CSimTest, public ::testing::WithParamInterface<CFaultCase> {
protected:
    bool CommandTookEffect() const
    {
        return GetParam().m_vecRequest[0] == 0xFE ? m_pSim->InIapMode() : m_pSim->ReadMemory(0, 1) == Bytes {0x5A};
    }
};

TEST_P(SimFaultKinds, HitsOneExchangeThenTheDeviceAnswersNormally)
{
    const CFaultCase& c = GetParam();
    CSimConfig config;
    config.m_vecFaults = {c.m_fault};
    StartWith(config);

    ASSERT_TRUE(m_host.Write(c.m_vecRequest));
    EXPECT_EQ(m_host.ReadUntilQuiet(kQuietMs), c.m_vecFaultyReply);
    if (c.m_eEffect != EEffect::kUnchecked) {
        EXPECT_EQ(CommandTookEffect(), c.m_eEffect == EEffect::kCarriedOut);
    }
    EXPECT_EQ(m_host.Exchange(c.m_vecRequest, c.m_vecNormalReply.size() + 1, kQuietMs), c.m_vecNormalReply);
    EXPECT_EQ(m_pSim->CommandCount(), 2);
}

const Bytes kWrite = {0xC3, 0x5A, 0x1D};
const Bytes kRead = {0xCA, 0x04, 0xCE};

INSTANTIATE_TEST_SUITE_P(
    Table, SimFaultKinds,
    ::testing::Values(
        CFaultCase {"IapRefuse",
                    {0x02, EFaultKind::kRefuse},
                    kEnterFrame,
                    IapReply(0x02, {0xAC, 0x01, 0x53, 0xFE, 0x00}, 0xAA),
                    kEnterReply,
                    EEffect::kNotCarriedOut},
        CFaultCase {"IapMalformed",
                    {0x02, EFaultKind::kMalformed},
                    kEnterFrame,
                    IapReply(0x02, {0xAC, 0x01, 0x53, 0xFE, 0x00}, 0x00),
                    kEnterReply,
                    EEffect::kNotCarriedOut},
        CFaultCase {"IapBadCrc",
                    {0x02, EFaultKind::kBadCrc},
                    kEnterFrame,
                    WithLastByteInverted(kEnterReply),
                    kEnterReply,
                    EEffect::kCarriedOut},
        CFaultCase {"IapSilent", {0x02, EFaultKind::kSilent}, kEnterFrame, {}, kEnterReply, EEffect::kCarriedOut},
        CFaultCase {"IapCut",
                    {0x02, EFaultKind::kCut, 4},
                    kEnterFrame,
                    Prefix(kEnterReply, 4),
                    kEnterReply,
                    EEffect::kCarriedOut},
        CFaultCase {"IapGarbage",
                    {0x02, EFaultKind::kGarbage, 3},
                    kEnterFrame,
                    Concat({{0xA5, 0xA5, 0xA5}, kEnterReply}),
                    kEnterReply,
                    EEffect::kCarriedOut},
        CFaultCase {
            "FlashRefuse", {0xC3, EFaultKind::kRefuse}, kWrite, {0x00, 0x0D}, {0xC3, 0x0D}, EEffect::kNotCarriedOut},
        CFaultCase {"FlashMalformed",
                    {0xC3, EFaultKind::kMalformed},
                    kWrite,
                    {0x7F, 0x0D},
                    {0xC3, 0x0D},
                    EEffect::kNotCarriedOut},
        CFaultCase {"FlashSilent", {0xC3, EFaultKind::kSilent}, kWrite, {}, {0xC3, 0x0D}, EEffect::kCarriedOut},
        CFaultCase {"FlashCut", {0xC3, EFaultKind::kCut, 1}, kWrite, {0xC3}, {0xC3, 0x0D}, EEffect::kCarriedOut},
        CFaultCase {"FlashGarbage",
                    {0xC3, EFaultKind::kGarbage, 2},
                    kWrite,
                    {0xA5, 0xA5, 0xC3, 0x0D},
                    {0xC3, 0x0D},
                    EEffect::kCarriedOut},
        CFaultCase {"ReadCut",
                    {0xCA, EFaultKind::kCut, 3},
                    kRead,
                    {0xCA, 0xFF, 0xFF},
                    {0xCA, 0xFF, 0xFF, 0xFF, 0xFF, 0x0D},
                    EEffect::kUnchecked},
        CFaultCase {"ReadRefuse",
                    {0xCA, EFaultKind::kRefuse},
                    kRead,
                    {0x00, 0x0D},
                    {0xCA, 0xFF, 0xFF, 0xFF, 0xFF, 0x0D},
                    EEffect::kUnchecked}),
    [](const auto& info) { return std::string(info.param.m_pName); });

TEST_F(CSimTest, FaultHitsTheKthOccurrenceOfItsCodeOnly)
{
    CSimConfig config;
    config.m_vecFaults = {{0xC3, EFaultKind::kRefuse, 0, 3}};
    StartWith(config);
    const Bytes vecOther = FlashFrame(0xC2, {1, 2});
    // Other codes do not count towards the occurrence.
    for (int i = 0; i < 4; ++i)
        ASSERT_EQ(m_host.Exchange(vecOther, 2), (Bytes {0xC2, 0x0D}));
    const Bytes vecWrite = FlashFrame(0xC3, {0x10});
    EXPECT_EQ(m_host.Exchange(vecWrite, 2), (Bytes {0xC3, 0x0D}));
    EXPECT_EQ(m_host.Exchange(vecWrite, 2), (Bytes {0xC3, 0x0D}));
    EXPECT_EQ(m_host.Exchange(vecWrite, 2), (Bytes {0x00, 0x0D}));
    EXPECT_EQ(m_host.Exchange(vecWrite, 2), (Bytes {0xC3, 0x0D}));
}

TEST_F(CSimTest, ConfigureRestartsTheFaultCounters)
{
    CSimConfig config;
    config.m_vecFaults = {{0xC3, EFaultKind::kRefuse}};
    StartWith(config);
    const Bytes vecWrite = FlashFrame(0xC3, {0x10});
    EXPECT_EQ(m_host.Exchange(vecWrite, 2), (Bytes {0x00, 0x0D}));
    EXPECT_EQ(m_host.Exchange(vecWrite, 2), (Bytes {0xC3, 0x0D}));
    config.m_fwVersion = {9, 8, 7};
    m_pSim->Configure(config);
    EXPECT_EQ(m_host.Exchange(vecWrite, 2), (Bytes {0x00, 0x0D}));
    EXPECT_EQ(m_host.Exchange(IapFrame(0xE3, {0, 0, 0, 0, 0, 0}), 10).at(2), 9);
    EXPECT_EQ(m_pSim->Config().m_fwVersion.m_n1, 9);
}

struct CStatusCase {
    const char* m_pName;
    uint8_t m_nCode;
    uint8_t m_nStatus;
    Bytes m_vecRequest;
    Bytes m_vecReply;
    bool m_bStored;  // one-byte or two-byte writes: whether memory at 0 changed
};

class SimStatusOverride : public CSimTest, public ::testing::WithParamInterface<CStatusCase> {};

TEST_P(SimStatusOverride, EveryReplyToTheCodeCarriesTheStatus)
{
    const CStatusCase& c = GetParam();
    CSimConfig config;
    config.m_mapStatus[c.m_nCode] = c.m_nStatus;
    StartWith(config);
    m_pSim->WriteMemory(0, {0x01, 0x02, 0x01, 0x02});  // both reads see the same bytes
    for (int i = 0; i < 2; ++i)
        EXPECT_EQ(m_host.Exchange(c.m_vecRequest, c.m_vecReply.size() + 1, kQuietMs), c.m_vecReply) << i;
    if (c.m_vecRequest[0] == 0xC2) {
        EXPECT_EQ(m_pSim->ReadMemory(0, 1) == Bytes {0x77}, c.m_bStored);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, SimStatusOverride,
    ::testing::Values(
        CStatusCase {"QueryOddStatus", 0xE3, 0x12, IapFrame(0xE3, {0, 0, 0, 0, 'S', 'L'}),
                     IapReply(0xE3, {1, 0, 0, 0, 'S'}, 0x12), false},
        CStatusCase {"WriteRefusedStatus", 0xC2, 0xB0, FlashFrame(0xC2, {0x77, 0x77}), {0xB0, 0x0D}, false},
        CStatusCase {"WriteOtherAcceptedStatus", 0xC2, 0xC7, FlashFrame(0xC2, {0x77, 0x77}), {0xC7, 0x0D}, true},
        CStatusCase {"ReadRefusedStatus", 0xCA, 0x3C, FlashFrame(0xCA, {2}), {0x3C, 0x0D}, false},
        CStatusCase {
            "ReadAcceptedStatusKeepsData", 0xCA, 0xC5, FlashFrame(0xCA, {2}), {0xC5, 0x01, 0x02, 0x0D}, false}),
    [](const auto& info) { return std::string(info.param.m_pName); });

TEST_F(CSimTest, EnterWithOverriddenStatusDoesNotEnter)
{
    CSimConfig config;
    config.m_mapStatus[0x02] = 0xAA;
    StartWith(config);
    EXPECT_EQ(m_host.Exchange(kEnterFrame, 10).at(7), 0xAA);
    EXPECT_FALSE(m_pSim->InIapMode());
}

TEST_F(CSimTest, RefusedWriteAddressStoresNothing)
{
    CSimConfig config;
    config.m_vecRefusedWrites = {0x2001};
    StartWith(config);
    const Bytes vecRefused {0x00, 0x0D};
    EXPECT_EQ(m_host.Exchange(FlashFrame(0xC1, {0x00, 0x20, 0x00}), 2), (Bytes {0xC1, 0x0D}));
    // The two-byte write touches 0x2001 with its second byte.
    EXPECT_EQ(m_host.Exchange(FlashFrame(0xC2, {0x11, 0x22}), 3, kQuietMs), vecRefused);
    // The address did not move: this lands at 0x2000, the next one hits 0x2001.
    EXPECT_EQ(m_host.Exchange(FlashFrame(0xC3, {0x33}), 2), (Bytes {0xC3, 0x0D}));
    EXPECT_EQ(m_host.Exchange(FlashFrame(0xC3, {0x44}), 3, kQuietMs), vecRefused);
    EXPECT_EQ(m_host.Exchange(FlashFrame(0xC1, {0x00, 0x20, 0x02}), 2), (Bytes {0xC1, 0x0D}));
    EXPECT_EQ(m_host.Exchange(FlashFrame(0xC2, {0x55, 0x66}), 2), (Bytes {0xC2, 0x0D}));
    EXPECT_EQ(m_pSim->ReadMemory(0x2000, 4), (Bytes {0x33, 0xFF, 0x55, 0x66}));
}

TEST_F(CSimTest, CorruptBytesReadBackWrongButAreStoredRight)
{
    CSimConfig config;
    config.m_vecCorrupt = {{0x10, true, 0}, {0x11, false, 0x42}};
    StartWith(config);
    const Bytes vecSetAddress = FlashFrame(0xC1, {0x00, 0x00, 0x10});
    EXPECT_EQ(m_host.Exchange(Concat({vecSetAddress, FlashFrame(0xC2, {0x0F, 0x20}), FlashFrame(0xC3, {0x30})}), 6),
              (Bytes {0xC1, 0x0D, 0xC2, 0x0D, 0xC3, 0x0D}));
    EXPECT_EQ(m_host.Exchange(Concat({vecSetAddress, FlashFrame(0xCA, {3})}), 7),
              (Bytes {0xC1, 0x0D, 0xCA, 0xF0, 0x42, 0x30, 0x0D}));
    EXPECT_EQ(m_pSim->ReadMemory(0x10, 3), (Bytes {0x0F, 0x20, 0x30}));
}

TEST_F(CSimTest, SilentAfterNCommandsHangsTheDevice)
{
    CSimConfig config;
    config.m_nSilentAfter = 3;
    StartWith(config);
    const Bytes vecWrite = FlashFrame(0xC3, {0x66});
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(m_host.Exchange(vecWrite, 2), (Bytes {0xC3, 0x0D})) << i;
    EXPECT_TRUE(m_host.Exchange(vecWrite, 2, kQuietMs).empty());
    EXPECT_TRUE(m_host.Exchange(kEnterFrame, 10, kQuietMs).empty());
    EXPECT_EQ(m_pSim->CommandCount(), 5);
    EXPECT_FALSE(m_pSim->InIapMode());
    EXPECT_EQ(m_pSim->ReadMemory(0, 4), (Bytes {0x66, 0x66, 0x66, 0xFF}));
}

TEST_F(CSimTest, VanishFaultClosesTheLineInsteadOfAnswering)
{
    CSimConfig config;
    config.m_vecFaults = {{0xC1, EFaultKind::kVanish}};
    StartWith(config);
    EXPECT_EQ(m_host.Exchange(FlashFrame(0xC3, {1}), 2), (Bytes {0xC3, 0x0D}));
    ASSERT_TRUE(m_host.Write(FlashFrame(0xC1, {0, 0, 0})));
    EXPECT_TRUE(m_host.SeesHangUp(2000));
    EXPECT_TRUE(m_pSim->Vanished());
    EXPECT_EQ(m_pSim->CommandCount(), 2);
    uint8_t nByte = 0x01;
    EXPECT_LT(::write(m_host.Fd(), &nByte, 1), 0);  // the far end is gone
}

TEST_F(CSimTest, VanishNowAndStartAgainOnAFreshLine)
{
    StartWith(CSimConfig());
    ASSERT_EQ(m_host.Exchange(kEnterFrame, 10).size(), 10u);
    m_pSim->Vanish();
    EXPECT_TRUE(m_pSim->Vanished());
    EXPECT_TRUE(m_host.SeesHangUp(2000));
    m_host.Close();
    // Like a device plugged in again: memory and mode survive, the line is new.
    m_pSim->Stop();
    std::string strError;
    ASSERT_TRUE(m_pSim->Start(&strError)) << strError;
    EXPECT_FALSE(m_pSim->Vanished());
    ASSERT_TRUE(m_host.Open(m_pSim->SlavePath()));
    EXPECT_EQ(m_host.Exchange(FlashFrame(0xC3, {2}), 2), (Bytes {0xC3, 0x0D}));
    EXPECT_TRUE(m_pSim->InIapMode());
}

}  // namespace
