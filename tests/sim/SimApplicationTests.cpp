// The application outside IAP mode: its banner and its echo, as a terminal
// on the host sees them.
#include "SimFixture.h"

namespace {

const Bytes kIdentify = IapFrame(0x03, {'S', 'L', 0, 0, 0, 0});
const Bytes kIdentifyReply = IapReply(0x03, {'S', 'L', 1, 0, 0}, 0x55);

Bytes WithLineEnd(Bytes vecText)
{
    vecText.push_back('\r');
    vecText.push_back('\n');
    return vecText;
}

TEST_F(CSimTest, TheBannerFollowsEachLeaveEverySecondUntilTheNextEnter)
{
    CSimConfig config;
    config.m_vecAppBanner = {'a', 'p', 'p', ' ', 0xD6, 0xD0};  // "app 中" in code page 936
    StartWith(config);
    const Bytes vecBanner = WithLineEnd(config.m_vecAppBanner);
    const Bytes vecLeaveReply = IapReply(0xEC, {0xFE, 0x53, 0x01, 0xAC, 0}, 0x55);
    // Before any leave there is no application to print: replies come bare.
    EXPECT_EQ(m_host.Exchange(kIdentify, 10), kIdentifyReply);
    EXPECT_EQ(m_host.Exchange(kEnterFrame, 10).at(7), 0x55);
    EXPECT_EQ(m_host.Exchange(IapFrame(0xEC, kLeaveKey), 10 + vecBanner.size(), 5000),
              Concat({vecLeaveReply, vecBanner}));
    // Again, and again, while the application runs.
    EXPECT_EQ(m_host.Read(vecBanner.size(), 5000), vecBanner);
    EXPECT_EQ(m_host.Read(vecBanner.size(), 5000), vecBanner);
    // Entering IAP mode stops it: after the enter's reply the line stays
    // quiet for longer than the banner's period.
    ASSERT_TRUE(m_host.Write(kEnterFrame));
    const Bytes vecAfterEnter = m_host.ReadUntilQuiet(kSimBannerPeriodMs * 2);
    ASSERT_GE(vecAfterEnter.size(), 10u);
    EXPECT_EQ(vecAfterEnter[vecAfterEnter.size() - 10 + 7], 0x55);
    EXPECT_TRUE(m_pSim->InIapMode());
    EXPECT_TRUE(m_host.ReadUntilQuiet(kSimBannerPeriodMs * 2).empty());
}

TEST_F(CSimTest, EchoSendsBackTypedBytesButNeverCommandsNorInIapMode)
{
    CSimConfig config;
    config.m_bEcho = true;
    StartWith(config);
    const Bytes vecTyped {'h', 'i', 0xD6, 0xD0, '\r', '\n'};
    EXPECT_EQ(m_host.Exchange(vecTyped, vecTyped.size()), vecTyped);
    // A command is answered, not echoed.
    EXPECT_EQ(m_host.Exchange(kIdentify, 10), kIdentifyReply);
    EXPECT_EQ(m_host.Exchange(kEnterFrame, 10).at(7), 0x55);
    // In IAP mode the bootloader takes stray bytes as line noise: the next
    // reply comes alone.
    EXPECT_EQ(m_host.Exchange(Concat({Bytes {'x', 'y'}, kIdentify}), 12, 2000), kIdentifyReply);
}

}  // namespace
