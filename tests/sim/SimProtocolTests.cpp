// The device's answers to well-formed and broken requests, over the pty.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <iterator>
#include <thread>

#include "SimFixture.h"
#include "protocol/Checksums.h"

namespace {

TEST(SimFrames, ChecksumsAndFrameBuildersMatchTheKnownBytes)
{
    const uint8_t abCheck[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(Crc16(abCheck, 9), 0x31C3);
    EXPECT_EQ(IapFrame(0x02, {0xAC, 0x01, 0x53, 0xFE, 0x00, 0x00}), kEnterFrame);
    EXPECT_EQ(FlashFrame(0xC1, {0x00, 0x12, 0x35}), (Bytes {0xC1, 0x00, 0x12, 0x35, 0x08}));
    EXPECT_EQ(FlashFrame(0xC2, {0x22, 0x33}), (Bytes {0xC2, 0x22, 0x33, 0x17}));
}

struct CIapCase {
    const char* m_pName;
    Bytes m_vecRequest;
    Bytes m_vecReply;
    bool m_bIapModeAfter;
};

class SimIapCommands : public CSimTest, public ::testing::WithParamInterface<CIapCase> {};

TEST_P(SimIapCommands, AnswersByteExactAndSwitchesMode)
{
    CSimConfig config;
    config.m_appVersion = {2, 7, 9};
    config.m_fwVersion = {4, 5, 6};
    StartWith(config);
    const CIapCase& c = GetParam();
    EXPECT_EQ(m_host.Exchange(c.m_vecRequest, 11, 300), c.m_vecReply);
    EXPECT_EQ(m_pSim->InIapMode(), c.m_bIapModeAfter);
    EXPECT_EQ(m_pSim->ReceivedFrames(), std::vector<Bytes> {c.m_vecRequest});
}

Bytes WithCrcBroken(Bytes vecFrame)
{
    vecFrame[9] ^= 0x01;
    return vecFrame;
}

INSTANTIATE_TEST_SUITE_P(
    Table, SimIapCommands,
    ::testing::Values(
        // Identify: tag echoed, application version in b4-b6.
        CIapCase {"Identify", IapFrame(0x03, {'S', 'L', 3, 2, 1, 0x01}), IapReply(0x03, {'S', 'L', 2, 7, 9}, 0x55),
                  false},
        CIapCase {"Enter", kEnterFrame, IapReply(0x02, {0xAC, 0x01, 0x53, 0xFE, 0x00}, 0x55), true},
        CIapCase {"EnterWithWrongKey", IapFrame(0x02, {0xAC, 0x01, 0x54, 0xFE, 0, 0}),
                  IapReply(0x02, {0xAC, 0x01, 0x54, 0xFE, 0x00}, 0xAA), false},
        // Query: firmware version first number first in b2-b4, b5-b6 echoed.
        CIapCase {"Query", IapFrame(0xE3, {3, 2, 1, 0, 'F', 'Z'}), IapReply(0xE3, {4, 5, 6, 0, 'F'}, 0x55), false},
        CIapCase {"Leave", IapFrame(0xEC, kLeaveKey), IapReply(0xEC, {0xFE, 0x53, 0x01, 0xAC, 0}, 0x55), false},
        CIapCase {"UnknownCode", IapFrame(0x7B, {1, 2, 3, 4, 5, 6}), IapReply(0x7B, {1, 2, 3, 4, 5}, 0xAA), false},
        CIapCase {"BadCrcIsRefused", WithCrcBroken(kEnterFrame), IapReply(0x02, {0xAC, 0x01, 0x53, 0xFE, 0x00}, 0xAA),
                  false}),
    [](const auto& info) { return std::string(info.param.m_pName); });

TEST_F(CSimTest, EnterThenLeaveTogglesIapModeAndCountsTheLeave)
{
    StartWith(CSimConfig());
    EXPECT_EQ(m_host.Exchange(kEnterFrame, 10).at(7), 0x55);
    EXPECT_TRUE(m_pSim->InIapMode());
    EXPECT_EQ(m_host.Exchange(IapFrame(0x03, {'X', 'P', 0, 0, 0, 0}), 10).at(7), 0x55);
    EXPECT_TRUE(m_pSim->InIapMode());
    EXPECT_EQ(m_host.Exchange(IapFrame(0xEC, kLeaveKey), 10).at(7), 0x55);
    EXPECT_FALSE(m_pSim->InIapMode());
    EXPECT_EQ(m_pSim->LeaveCount(), 1);
    EXPECT_EQ(m_pSim->CommandCount(), 3);
}

TEST_F(CSimTest, DefaultVersionsAreOneZeroZero)
{
    StartWith(CSimConfig());
    EXPECT_EQ(m_host.Exchange(IapFrame(0x03, {'S', 'L', 9, 9, 9, 0}), 10), IapReply(0x03, {'S', 'L', 1, 0, 0}, 0x55));
    EXPECT_EQ(m_host.Exchange(IapFrame(0xE3, {9, 9, 9, 0, 'S', 'L'}), 10), IapReply(0xE3, {1, 0, 0, 0, 'S'}, 0x55));
}

TEST_F(CSimTest, WritesLandInMemoryAndAdvanceTheAddress)
{
    StartWith(CSimConfig());
    const Bytes vecRequests {0xC1, 0x00, 0x12, 0x35, 0x08, 0xC3, 0x11, 0xD4, 0xC2, 0x22, 0x33, 0x17, 0xC3, 0x44, 0x07};
    EXPECT_EQ(m_host.Exchange(vecRequests, 9, 300), (Bytes {0xC1, 0x0D, 0xC3, 0x0D, 0xC2, 0x0D, 0xC3, 0x0D}));
    EXPECT_EQ(m_pSim->ReadMemory(0x1234, 6), (Bytes {0xFF, 0x11, 0x22, 0x33, 0x44, 0xFF}));
    // Read back over the line from the same address.
    EXPECT_EQ(m_host.Exchange(Concat({FlashFrame(0xC1, {0x00, 0x12, 0x35}), FlashFrame(0xCA, {4})}), 8),
              (Bytes {0xC1, 0x0D, 0xCA, 0x11, 0x22, 0x33, 0x44, 0x0D}));
}

TEST_F(CSimTest, ReadReturnsStatusDataAndClosingByte)
{
    StartWith(CSimConfig());
    Bytes vecPattern(600);
    for (size_t i = 0; i < vecPattern.size(); ++i)
        vecPattern[i] = static_cast<uint8_t>(i * 7 + 3);
    m_pSim->WriteMemory(0x8000, vecPattern);

    EXPECT_EQ(m_host.Exchange({0xC1, 0x00, 0x80, 0x00, 0x41}, 2), (Bytes {0xC1, 0x0D}));
    const Bytes vecReply = m_host.Exchange({0xCA, 0x10, 0xDA}, 19, 300);
    ASSERT_EQ(vecReply.size(), 18u);
    EXPECT_EQ(vecReply.front(), 0xCA);
    EXPECT_EQ(Bytes(vecReply.begin() + 1, vecReply.end() - 1), Bytes(vecPattern.begin(), vecPattern.begin() + 16));
    EXPECT_EQ(vecReply.back(), 0x0D);

    // The address moved on by 16; a count of 0 reads 256 bytes.
    const Bytes vecLong = m_host.Exchange(FlashFrame(0xCA, {0x00}), 259, 300);
    ASSERT_EQ(vecLong.size(), 258u);
    EXPECT_EQ(Bytes(vecLong.begin() + 1, vecLong.end() - 1), Bytes(vecPattern.begin() + 16, vecPattern.begin() + 272));
}

TEST_F(CSimTest, AddressWrapsAtTheTopOfMemory)
{
    StartWith(CSimConfig());
    m_pSim->WriteMemory(0, {0x5A});
    EXPECT_EQ(
        m_host.Exchange(
            Concat({FlashFrame(0xC1, {0xFF, 0xFF, 0xFF}), FlashFrame(0xC2, {0x01, 0x02}), FlashFrame(0xCA, {1})}), 7),
        (Bytes {0xC1, 0x0D, 0xC2, 0x0D, 0xCA, 0xFF, 0x0D}));
    // The second byte went to address 0, over the 5A; ReadMemory wraps the same way.
    EXPECT_EQ(m_pSim->ReadMemory(0xFFFFFF, 3), (Bytes {0x01, 0x02, 0xFF}));
    EXPECT_EQ(m_pSim->ReadMemory(0xFFFFFE, 1), (Bytes {0xFF}));
}

TEST_F(CSimTest, WrongSumIsRefusedAndNothingStored)
{
    StartWith(CSimConfig());
    EXPECT_EQ(m_host.Exchange(FlashFrame(0xC1, {0x00, 0x20, 0x00}), 2), (Bytes {0xC1, 0x0D}));
    EXPECT_EQ(m_host.Exchange({0xC2, 0x22, 0x33, 0x18}, 3, 300), (Bytes {0x00, 0x0D}));
    EXPECT_EQ(m_host.Exchange({0xC1, 0x00, 0x30, 0x00, 0xF0}, 3, 300), (Bytes {0x00, 0x0D}));
    EXPECT_EQ(m_host.Exchange({0xCA, 0x04, 0x00}, 6, 300), (Bytes {0x00, 0x0D}));
    // Neither the data nor the address changed: the next write lands at 0x2000.
    EXPECT_EQ(m_host.Exchange(FlashFrame(0xC3, {0x77}), 2), (Bytes {0xC3, 0x0D}));
    EXPECT_EQ(m_pSim->ReadMemory(0x2000, 3), (Bytes {0x77, 0xFF, 0xFF}));
    EXPECT_EQ(m_pSim->ReadMemory(0x3000, 1), (Bytes {0xFF}));
}

TEST_F(CSimTest, FlashCommandsOutsideIapModeFollowTheSetting)
{
    CSimConfig config;
    config.m_bFlashNeedsIapMode = true;
    StartWith(config);
    EXPECT_EQ(m_host.Exchange(FlashFrame(0xC3, {0x42}), 3, 300), (Bytes {0x00, 0x0D}));
    EXPECT_EQ(m_pSim->ReadMemory(0, 1), (Bytes {0xFF}));
    ASSERT_EQ(m_host.Exchange(kEnterFrame, 10).at(7), 0x55);
    EXPECT_EQ(m_host.Exchange(FlashFrame(0xC3, {0x42}), 3, 300), (Bytes {0xC3, 0x0D}));
    EXPECT_EQ(m_pSim->ReadMemory(0, 1), (Bytes {0x42}));
}

// A device whose boot loader clears its application on entering IAP mode:
// only an accepted enter clears, and what is written afterwards stays.
TEST_F(CSimTest, EraseOnEnterClearsTheMemoryOnlyWhenIapModeIsEntered)
{
    for (const bool bErase : {false, true}) {
        SCOPED_TRACE(bErase ? "erases on enter" : "keeps its application");
        CSimConfig config;
        config.m_bEraseOnEnter = bErase;
        StartWith(config);
        m_pSim->WriteMemory(0x1234, {0x11, 0x22});
        m_pSim->WriteMemory(0xFFFFFF, {0x33});
        const Bytes wrongKey = IapFrame(0x02, {0xAC, 0x01, 0x53, 0x00, 0x00, 0x00});
        ASSERT_EQ(m_host.Exchange(wrongKey, 10).at(7), 0xAA);
        EXPECT_EQ(m_pSim->ReadMemory(0x1234, 2), (Bytes {0x11, 0x22})) << "a refused enter clears nothing";
        ASSERT_EQ(m_host.Exchange(kEnterFrame, 10).at(7), 0x55);
        EXPECT_EQ(m_pSim->ReadMemory(0x1234, 2), bErase ? (Bytes {0xFF, 0xFF}) : (Bytes {0x11, 0x22}));
        EXPECT_EQ(m_pSim->ReadMemory(0xFFFFFF, 1), bErase ? (Bytes {0xFF}) : (Bytes {0x33}));
        EXPECT_EQ(m_host.Exchange(FlashFrame(0xC1, {0x00, 0x12, 0x34}), 2, 300), (Bytes {0xC1, 0x0D}));
        EXPECT_EQ(m_host.Exchange(FlashFrame(0xC3, {0x42}), 2, 300), (Bytes {0xC3, 0x0D}));
        EXPECT_EQ(m_pSim->ReadMemory(0x1234, 1), (Bytes {0x42}));
        m_host.Close();
        m_pSim.reset();
    }
}

TEST_F(CSimTest, StreamSplitByteByByteIsReassembled)
{
    StartWith(CSimConfig());
    const Bytes vecStream = Concat({kEnterFrame, FlashFrame(0xC1, {0x00, 0x00, 0x10}), FlashFrame(0xC2, {0xAB, 0xCD})});
    for (uint8_t nByte : vecStream) {
        ASSERT_TRUE(m_host.Write({nByte}));
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    EXPECT_EQ(m_host.Read(15, 1000),
              Concat({IapReply(0x02, {0xAC, 0x01, 0x53, 0xFE, 0x00}, 0x55), Bytes {0xC1, 0x0D, 0xC2, 0x0D}}));
    EXPECT_EQ(m_pSim->ReadMemory(0x10, 2), (Bytes {0xAB, 0xCD}));
    EXPECT_EQ(m_pSim->CommandCount(), 3);
}

TEST_F(CSimTest, GarbageIsDroppedAndFramesStayWhole)
{
    StartWith(CSimConfig());
    const Bytes vecQuery = IapFrame(0xE3, {0, 0, 1, 0, 'S', 'L'});
    const Bytes vecSet = FlashFrame(0xC1, {0x00, 0x00, 0x40});
    const Bytes vecWrite = FlashFrame(0xC3, {0x99});
    // Noise before, between and after frames, all in one write.
    const Bytes vecStream = Concat({{0x00, 0x13, 0x55}, vecQuery, {0x0D, 0x0A}, vecSet, {0xAA}, vecWrite, {0x01}});
    EXPECT_EQ(m_host.Exchange(vecStream, 15, 300),
              Concat({IapReply(0xE3, {1, 0, 0, 0, 'S'}, 0x55), Bytes {0xC1, 0x0D, 0xC3, 0x0D}}));
    EXPECT_EQ(m_pSim->ReceivedFrames(), (std::vector<Bytes> {vecQuery, vecSet, vecWrite}));
    m_pSim->ClearReceivedFrames();
    EXPECT_TRUE(m_pSim->ReceivedFrames().empty());
    EXPECT_EQ(m_pSim->ReadMemory(0x40, 1), (Bytes {0x99}));
}

TEST_F(CSimTest, ManyFramesInOneWriteAreAllAnswered)
{
    StartWith(CSimConfig());
    // 2000 two-byte writes, several reads' worth of the pty buffer at once.
    Bytes vecStream = FlashFrame(0xC1, {0x01, 0x00, 0x00});
    Bytes vecExpected;
    for (int i = 0; i < 2000; ++i) {
        const Bytes vecFrame = FlashFrame(0xC2, {static_cast<uint8_t>(i), static_cast<uint8_t>(i >> 8)});
        vecStream.insert(vecStream.end(), vecFrame.begin(), vecFrame.end());
        vecExpected.push_back(static_cast<uint8_t>(i));
        vecExpected.push_back(static_cast<uint8_t>(i >> 8));
    }
    std::thread writer([&] { m_host.Write(vecStream); });
    const Bytes vecReplies = m_host.Read(2 + 2 * 2000, 5000);
    writer.join();
    ASSERT_EQ(vecReplies.size(), 2u + 2 * 2000);
    EXPECT_TRUE(m_host.Read(1, 100).empty());
    for (size_t i = 2; i < vecReplies.size(); i += 2)
        ASSERT_EQ(vecReplies[i], 0xC2) << i;
    EXPECT_EQ(m_pSim->ReadMemory(0x10000, 4000), vecExpected);
    EXPECT_EQ(m_pSim->CommandCount(), 2001);
}

TEST_F(CSimTest, HostCanCloseAndReopenTheLine)
{
    StartWith(CSimConfig());
    ASSERT_EQ(m_host.Exchange(kEnterFrame, 10).size(), 10u);
    m_host.Close();
    ASSERT_TRUE(m_host.Open(m_pSim->SlavePath()));
    EXPECT_EQ(m_host.Exchange(FlashFrame(0xC3, {1}), 2), (Bytes {0xC3, 0x0D}));
}

TEST_F(CSimTest, SendRawReachesTheHost)
{
    StartWith(CSimConfig());
    m_pSim->SendRaw({'h', 'i', '\r', '\n', 0x00, 0xFF});
    EXPECT_EQ(m_host.Read(7, 300), (Bytes {'h', 'i', '\r', '\n', 0x00, 0xFF}));
}

TEST_F(CSimTest, DumpWritesTheWholeImageOrARange)
{
    StartWith(CSimConfig());
    ASSERT_EQ(m_host.Exchange(Concat({FlashFrame(0xC1, {0x12, 0x34, 0x56}), FlashFrame(0xC2, {0xDE, 0xAD})}), 4).size(),
              4u);
    const std::string strDir = ::testing::TempDir();
    const std::string strWhole = strDir + "/sim_dump_whole.bin";
    const std::string strRange = strDir + "/sim_dump_range.bin";
    ASSERT_TRUE(m_pSim->DumpMemory(strWhole));
    ASSERT_TRUE(m_pSim->DumpMemory(strRange, 0x123455, 4));

    std::ifstream whole(strWhole, std::ios::binary);
    const Bytes vecWhole {std::istreambuf_iterator<char>(whole), std::istreambuf_iterator<char>()};
    ASSERT_EQ(vecWhole.size(), kSimMemorySize);
    EXPECT_EQ(Bytes(vecWhole.begin() + 0x123455, vecWhole.begin() + 0x123459), (Bytes {0xFF, 0xDE, 0xAD, 0xFF}));
    EXPECT_EQ(std::count(vecWhole.begin(), vecWhole.end(), 0xFF), static_cast<long>(kSimMemorySize - 2));

    std::ifstream range(strRange, std::ios::binary);
    EXPECT_EQ((Bytes {std::istreambuf_iterator<char>(range), std::istreambuf_iterator<char>()}),
              (Bytes {0xFF, 0xDE, 0xAD, 0xFF}));
    EXPECT_FALSE(m_pSim->DumpMemory(strDir + "/no/such/dir/dump.bin"));
    unlink(strWhole.c_str());
    unlink(strRange.c_str());
}

}  // namespace
