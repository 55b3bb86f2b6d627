// Line-time emulation: requests wait for their last byte, replies leave at
// the line rate. Only lower bounds on time are checked.
#include <chrono>

#include "SimFixture.h"

namespace {
using Clock = std::chrono::steady_clock;

double MsSince(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

CSimConfig AtBaud(int nBaudRate)
{
    CSimConfig config;
    config.m_nBaudRate = nBaudRate;
    return config;
}

TEST_F(CSimTest, ReplyTakesItsLineTime)
{
    StartWith(AtBaud(9600));
    m_pSim->WriteMemory(0, Bytes(98, 0x3C));
    // 3 request bytes in, 100 reply bytes out: 103 bytes of 10 bits at 9600.
    const auto start = Clock::now();
    const Bytes vecReply = m_host.Exchange(FlashFrame(0xCA, {98}), 100, 10000);
    const double dMs = MsSince(start);
    ASSERT_EQ(vecReply.size(), 100u);
    EXPECT_EQ(vecReply[0], 0xCA);
    EXPECT_EQ(vecReply[99], 0x0D);
    EXPECT_GE(dMs, 100.0);
    EXPECT_LT(dMs, 10000.0);
}

TEST_F(CSimTest, ReplyTricklesOutRatherThanInOneBurst)
{
    StartWith(AtBaud(1200));  // 100 reply bytes take 833 ms
    ASSERT_TRUE(m_host.Write(FlashFrame(0xCA, {98})));
    const Bytes vecEarly = m_host.Read(100, 300);
    EXPECT_LT(vecEarly.size(), 100u);
    const Bytes vecRest = m_host.Read(100 - vecEarly.size(), 5000);
    EXPECT_EQ(vecEarly.size() + vecRest.size(), 100u);
}

TEST_F(CSimTest, RequestsWaitForTheirBytesToArrive)
{
    StartWith(AtBaud(9600));
    // 50 one-byte writes in one burst: 150 bytes in before the last reply can start.
    Bytes vecBurst;
    for (int i = 0; i < 50; ++i) {
        const Bytes vecFrame = FlashFrame(0xC3, {static_cast<uint8_t>(i)});
        vecBurst.insert(vecBurst.end(), vecFrame.begin(), vecFrame.end());
    }
    const auto start = Clock::now();
    const Bytes vecReplies = m_host.Exchange(vecBurst, 100, 10000);
    const double dMs = MsSince(start);
    ASSERT_EQ(vecReplies.size(), 100u);
    EXPECT_GE(dMs, 150.0);
    EXPECT_EQ(m_pSim->ReadMemory(49, 1), (Bytes {49}));
}

TEST_F(CSimTest, StopDoesNotWaitForASlowLine)
{
    StartWith(AtBaud(300));  // a kilobyte takes half a minute at 300 bit/s
    m_pSim->SendRaw(Bytes(1000, 0x55));
    ASSERT_TRUE(m_host.Write(Bytes(40, 0xC3)));
    const auto start = Clock::now();
    m_pSim->Stop();
    EXPECT_LT(MsSince(start), 5000.0);
    EXPECT_FALSE(m_pSim->IsRunning());
}

TEST_F(CSimTest, FlushWaitsUntilTheHostHasReadEverything)
{
    StartWith(AtBaud(19200));
    m_pSim->SendRaw(Bytes(50, 0x11));
    EXPECT_FALSE(m_pSim->Flush(0));
    EXPECT_EQ(m_host.Read(50, 5000).size(), 50u);
    EXPECT_TRUE(m_pSim->Flush(5000));
}

}  // namespace
