// The adapter and device models, probed through the pseudo-terminal. Every
// probe must take at least what the model allows (a reply never comes
// early); the fastest of several must come within the model's upper bound
// plus kSlackMs, loose enough for a loaded two-core machine.
#include <algorithm>
#include <chrono>
#include <thread>

#include "SimFixture.h"

namespace {
using Clock = std::chrono::steady_clock;

constexpr int kProbes = 8;
constexpr double kSlackMs = 8.0;

struct CTimingCase {
    const char* m_pName;
    EAdapter m_eAdapter;
    int m_nLatencyMs;
    int m_nBaudRate;
    int m_nWriteUs;
    Bytes m_vecRequest;
    size_t m_nReply;
    double m_dLeastMs;  // what the model allows at the least
    double m_dMostMs;   // and at the most
};

std::ostream& operator<<(std::ostream& out, const CTimingCase& c)
{
    return out << c.m_pName;
}

class SimTiming : public CSimTest, public ::testing::WithParamInterface<CTimingCase> {};

TEST_P(SimTiming, ExchangeTakesWhatTheModelSays)
{
    const CTimingCase& c = GetParam();
    CSimConfig config;
    config.m_eAdapter = c.m_eAdapter;
    config.m_nLatencyMs = c.m_nLatencyMs;
    config.m_nBaudRate = c.m_nBaudRate;
    config.m_nWriteUs = c.m_nWriteUs;
    StartWith(config);
    double dFastest = 1e9;
    for (int i = 0; i < kProbes; ++i) {
        const auto start = Clock::now();
        const Bytes vecReply = m_host.Exchange(c.m_vecRequest, c.m_nReply, 2000);
        const double dMs = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
        ASSERT_EQ(vecReply.size(), c.m_nReply);
        EXPECT_EQ(vecReply[0] & 0xF0, 0xC0);
        EXPECT_GE(dMs, c.m_dLeastMs) << "probe " << i;
        dFastest = std::min(dFastest, dMs);
    }
    EXPECT_LE(dFastest, c.m_dMostMs + kSlackMs);
}

// C1 00 00 00 C1: a 2-byte reply; CA with a count gives count + 2 bytes.
const Bytes kSetAddress = FlashFrame(0xC1, {0, 0, 0});

INSTANTIATE_TEST_SUITE_P(
    Table, SimTiming,
    ::testing::Values(
        // The request waits for the next 1 ms frame, the reply for the timer.
        CTimingCase {"FtdiHoldsAShortReplyForItsTimer", EAdapter::kFtdi, 16, 0, 0, kSetAddress, 2, 16, 18},
        CTimingCase {"FtdiTimerIsTheOnesGiven", EAdapter::kFtdi, 5, 0, 0, kSetAddress, 2, 5, 7},
        // 61 bytes wait for the timer; 62 fill a packet, which leaves at once.
        CTimingCase {"FtdiHoldsAPacketOneByteShort", EAdapter::kFtdi, 16, 0, 0, FlashFrame(0xCA, {59}), 61, 16, 18},
        CTimingCase {"FtdiSendsAFullPacketAtOnce", EAdapter::kFtdi, 16, 0, 0, FlashFrame(0xCA, {60}), 62, 0, 2},
        CTimingCase {"CdcMovesDataIn1MsFrames", EAdapter::kCdc, 16, 0, 0, kSetAddress, 2, 1, 2},
        // 7 bytes of 10 bits at 9600 bit/s on top of the frames; a frame's
        // wait may pass while the line is still busy, so the line time alone
        // is the least.
        CTimingCase {"CdcAddsToTheLineTime", EAdapter::kCdc, 16, 9600, 0, kSetAddress, 2, 7.29, 2 + 7.29},
        CTimingCase {"WriteKeepsTheDeviceBusy", EAdapter::kNone, 16, 0, 5000, FlashFrame(0xC2, {1, 2}), 2, 5, 5},
        CTimingCase {"OnlyWritesKeepItBusy", EAdapter::kNone, 16, 0, 50000, kSetAddress, 2, 0, 0}),
    [](const ::testing::TestParamInfo<CTimingCase>& info) { return std::string(info.param.m_pName); });

TEST_F(CSimTest, NoModelAnswersAsBefore)
{
    StartWith(CSimConfig());
    // Requests sent together are answered together, with no frame to wait for.
    const Bytes vecReplies = m_host.Exchange(Concat({kSetAddress, FlashFrame(0xC2, {1, 2})}), 4);
    EXPECT_EQ(vecReplies, (Bytes {0xC1, 0x0D, 0xC2, 0x0D}));
    EXPECT_EQ(m_pSim->LostBytes(), 0);
}

TEST_F(CSimTest, AFullReceiveBufferLosesBytesAndTheHalfFrameIsForgotten)
{
    CSimConfig config;
    config.m_nRxBuffer = 6;
    config.m_nWriteUs = 20000;
    StartWith(config);
    // Five writes at once: the first is programmed for 20 ms while the next
    // six bytes wait (the second frame and half the third); the rest is lost.
    Bytes vecBurst = kSetAddress;
    for (uint8_t i = 0; i < 5; ++i) {
        const Bytes vecFrame = FlashFrame(0xC2, {static_cast<uint8_t>(0x10 + i), static_cast<uint8_t>(0x20 + i)});
        vecBurst.insert(vecBurst.end(), vecFrame.begin(), vecFrame.end());
    }
    ASSERT_TRUE(m_host.Write(vecBurst));
    EXPECT_EQ(m_host.ReadUntilQuiet(200), (Bytes {0xC1, 0x0D, 0xC2, 0x0D, 0xC2, 0x0D}));
    EXPECT_EQ(m_pSim->LostBytes(), 10);
    EXPECT_EQ(m_pSim->ReadMemory(0, 6), (Bytes {0x10, 0x20, 0x11, 0x21, 0xFF, 0xFF}));
    // The half frame left by the overrun does not swallow the next request.
    EXPECT_EQ(m_host.Exchange(FlashFrame(0xCA, {2}), 4), (Bytes {0xCA, 0xFF, 0xFF, 0x0D}));
}

TEST_F(CSimTest, ABufferLargeEnoughLosesNothing)
{
    CSimConfig config;
    config.m_nRxBuffer = 16;
    config.m_nWriteUs = 2000;
    config.m_nBaudRate = 115200;
    StartWith(config);
    Bytes vecBurst = kSetAddress;
    for (uint8_t i = 0; i < 4; ++i) {
        const Bytes vecFrame = FlashFrame(0xC2, {i, i});
        vecBurst.insert(vecBurst.end(), vecFrame.begin(), vecFrame.end());
    }
    EXPECT_EQ(m_host.Exchange(vecBurst, 10), (Bytes {0xC1, 0x0D, 0xC2, 0x0D, 0xC2, 0x0D, 0xC2, 0x0D, 0xC2, 0x0D}));
    EXPECT_EQ(m_pSim->LostBytes(), 0);
    EXPECT_EQ(m_pSim->ReadMemory(0, 8), (Bytes {0, 0, 1, 1, 2, 2, 3, 3}));
}

}  // namespace
