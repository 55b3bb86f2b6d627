// The device channel against the simulated device on a real pseudo-terminal.
#include <termios.h>

#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "common/PtyPair.h"
#include "common/RecordingView.h"
#include "protocol/CDeviceChannel.h"
#include "protocol/Checksums.h"
#include "serial/ComPortMap.h"
#include "sim/CDeviceSimulator.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

const char* kRefusedBox = "状态返回失败，返回值为0xaa。";
const char* kMalformedBox = "命令格式不对，返回内容应为0x55 或 0xaa。";

TEST(Checksums, KnownValues)
{
    const uint8_t digits[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(Crc16(digits, 9), 0x31C3);
    EXPECT_EQ(Crc16(digits, 0), 0);
    // Lengths are taken modulo 65536.
    EXPECT_EQ(Crc16(digits, 65536), 0);
    EXPECT_EQ(Sum8(digits, 0), 0u);
    const uint8_t frame[] = {0xC1, 0x00, 0x12, 0x35};
    EXPECT_EQ(Sum8(frame, 4) & 0xFF, 0x08u);
}

class DeviceChannelTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string strError;
        ASSERT_TRUE(m_sim.Start(&strError)) << strError;
        m_channel.SetMessageBoxes(&m_view);
        ASSERT_EQ(m_channel.OpenPortPath(m_sim.SlavePath(), 115200), 1) << m_channel.GetErrorText();
        EXPECT_EQ(m_channel.m_bOpen, 1);
    }
    void TearDown() override { m_channel.ClosePort(); }

    void Configure(const std::function<void(CSimConfig&)>& change)
    {
        CSimConfig config = m_sim.Config();
        change(config);
        m_sim.Configure(config);
    }
    int Iap(uint8_t nCode, Bytes payload, Bytes* pReply = nullptr)
    {
        uint8_t buffer[kIapFrameLength] = {};
        std::copy(payload.begin(), payload.end(), buffer + 2);
        const int nResult = m_channel.IapCommand(nCode, buffer, kIapFrameLength, kIapFrameLength);
        if (pReply)
            pReply->assign(buffer, buffer + kIapFrameLength);
        return nResult;
    }

    CDeviceSimulator m_sim;
    CRecordingView m_view;
    CDeviceChannel m_channel;
};

TEST_F(DeviceChannelTest, EnterAndLeaveFramesGoOutByteForByte)
{
    Bytes reply;
    EXPECT_EQ(Iap(kIapEnter, {0xAC, 0x01, 0x53, 0xFE, 0x00, 0x00}, &reply), 1);
    EXPECT_EQ(reply[7], kIapAccepted);
    EXPECT_TRUE(m_sim.InIapMode());
    EXPECT_EQ(Iap(kIapLeave, {0xFE, 0x53, 0x01, 0xAC, 0x00, 0x00}), 1);
    EXPECT_FALSE(m_sim.InIapMode());
    const std::vector<Bytes> expected = {
        {0xFE, 0x02, 0xAC, 0x01, 0x53, 0xFE, 0x00, 0x00, 0xE5, 0x51},
        {0xFE, 0xEC, 0xFE, 0x53, 0x01, 0xAC, 0x00, 0x00, 0xCD, 0xA2},
    };
    EXPECT_EQ(m_sim.ReceivedFrames(), expected);
    EXPECT_TRUE(m_view.Boxes().empty());
}

TEST_F(DeviceChannelTest, WriteBlockAtAnOddAddressAndReadItBack)
{
    const uint8_t data[] = {0x11, 0x22, 0x33, 0x44};
    ASSERT_EQ(m_channel.WriteBlock(0x1235, 4, data), 1);
    const std::vector<Bytes> written = {
        {0xC1, 0x00, 0x12, 0x35, 0x08}, {0xC3, 0x11, 0xD4}, {0xC2, 0x22, 0x33, 0x17}, {0xC3, 0x44, 0x07}};
    EXPECT_EQ(m_sim.ReceivedFrames(), written);
    EXPECT_EQ(m_sim.ReadMemory(0x1235, 4), Bytes(data, data + 4));

    Bytes block(16);
    for (size_t i = 0; i < block.size(); ++i)
        block[i] = static_cast<uint8_t>(0xA0 + i);
    m_sim.WriteMemory(0x8000, block);
    m_sim.ClearReceivedFrames();
    uint8_t buffer[kFlashMaxRead] = {};
    ASSERT_EQ(m_channel.ReadBlock(0x8000, 16, buffer), 1);
    EXPECT_EQ(Bytes(buffer, buffer + 16), block);
    const std::vector<Bytes> read = {{0xC1, 0x00, 0x80, 0x00, 0x41}, {0xCA, 0x10, 0xDA}};
    EXPECT_EQ(m_sim.ReceivedFrames(), read);
}

TEST_F(DeviceChannelTest, IapStatusDecidesTheResultAndTheBox)
{
    struct Case {
        const char* pName;
        std::function<void(CSimConfig&)> fault;
        int nResult;
        const char* pBox;
    };
    const Case cases[] = {
        {"accepted", [](CSimConfig&) {}, 1, nullptr},
        {"refused",
         [](CSimConfig& c) {
             c.m_vecFaults.push_back({kIapQuery, EFaultKind::kRefuse, 0, 1});
         },
         0, kRefusedBox},
        {"malformed",
         [](CSimConfig& c) {
             c.m_vecFaults.push_back({kIapQuery, EFaultKind::kMalformed, 0, 1});
         },
         0, kMalformedBox},
        {"other status", [](CSimConfig& c) { c.m_mapStatus[kIapQuery] = 0x12; }, 0, kMalformedBox},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pName);
        m_sim.Configure(CSimConfig());
        Configure(c.fault);
        m_view.Clear();
        EXPECT_EQ(Iap(kIapQuery, {0, 0, 0, 0, 'S', 'L'}), c.nResult);
        if (c.pBox)
            EXPECT_EQ(m_view.Boxes(), std::vector<std::string> {c.pBox});
        else
            EXPECT_TRUE(m_view.Boxes().empty());
    }
}

TEST_F(DeviceChannelTest, CutReplyFailsSilentlyAfterTheLimitAndTheNextExchangeWorks)
{
    Configure([](CSimConfig& c) { c.m_vecFaults.push_back({kIapIdentify, EFaultKind::kCut, 9, 1}); });
    const auto start = Clock::now();
    EXPECT_EQ(Iap(kIapIdentify, {'S', 'L', 1, 0, 0, 0}), 0);
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    EXPECT_GE(elapsed, kLinkTimeoutMs - 50);
    EXPECT_LT(elapsed, kLinkTimeoutMs + 2000);
    EXPECT_TRUE(m_view.Boxes().empty());
    EXPECT_NE(m_channel.GetErrorText().find("no reply within 2000 ms"), std::string::npos) << m_channel.GetErrorText();
    // The next exchange starts clean.
    EXPECT_EQ(Iap(kIapEnter, {0xAC, 0x01, 0x53, 0xFE, 0x00, 0x00}), 1);
}

TEST_F(DeviceChannelTest, LeftoverOfAFailedReplyNeverPosesAsTheNextReply)
{
    // Three stray bytes come first: the reply read is misaligned, refused as
    // malformed, and the real reply's tail is still on the line when the
    // next request goes out at once (a slow line, so it really is).
    Configure([](CSimConfig& c) {
        c.m_nBaudRate = 9600;
        c.m_vecFaults.push_back({kIapIdentify, EFaultKind::kGarbage, 3, 1});
    });
    EXPECT_EQ(Iap(kIapIdentify, {'S', 'L', 1, 0, 0, 0}), 0);
    EXPECT_EQ(m_view.Boxes(), std::vector<std::string> {kMalformedBox});
    Bytes reply;
    EXPECT_EQ(Iap(kIapEnter, {0xAC, 0x01, 0x53, 0xFE, 0x00, 0x00}, &reply), 1);
    EXPECT_EQ(reply[0], kIapMarker);
    EXPECT_EQ(reply[1], kIapEnter);
}

TEST_F(DeviceChannelTest, FlashStatusHighNibbleDecides)
{
    uint8_t address[3] = {0, 0, 0};
    Configure([](CSimConfig& c) { c.m_mapStatus[kFlashSetAddress] = 0xC7; });
    EXPECT_EQ(m_channel.FlashCommand(kFlashSetAddress, address, 3, 0), 1);
    Configure([](CSimConfig& c) { c.m_mapStatus[kFlashSetAddress] = 0xB0; });
    EXPECT_EQ(m_channel.FlashCommand(kFlashSetAddress, address, 3, 0), 0);
    EXPECT_TRUE(m_view.Boxes().empty());
    EXPECT_NE(m_channel.GetErrorText().find("0xb0"), std::string::npos) << m_channel.GetErrorText();
}

TEST_F(DeviceChannelTest, ReadOfMoreThan512BytesIsRefusedAfterTheReplyHead)
{
    uint8_t buffer[600] = {};
    EXPECT_EQ(m_channel.ReadBlock(0x100, 600, buffer), 0);
    const auto frames = m_sim.ReceivedFrames();
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0], (Bytes {0xC1, 0x00, 0x01, 0x00, 0xC2}));
    EXPECT_EQ(frames[1], (Bytes {0xCA, 0x58, 0x22}));
    EXPECT_EQ(m_view.Boxes(), std::vector<std::string> {"一次性读入:600数据太多了!"});
}

TEST_F(DeviceChannelTest, RawBytesBothWays)
{
    uint8_t buffer[4] = {};
    EXPECT_EQ(m_channel.ReceiveBytes(0, buffer), 0);
    m_sim.SendRaw({0x48, 0x69});
    EXPECT_EQ(m_channel.ReceiveBytes(2, buffer), 2);
    EXPECT_EQ(buffer[0], 0x48);
    EXPECT_EQ(buffer[1], 0x69);
}

TEST_F(DeviceChannelTest, DeviceVanishingFailsTheExchangeWithoutHanging)
{
    Configure([](CSimConfig& c) { c.m_vecFaults.push_back({kFlashWriteTwo, EFaultKind::kVanish, 0, 2}); });
    uint8_t data[16] = {};
    const auto start = Clock::now();
    EXPECT_EQ(m_channel.WriteBlock(0x200, 16, data), 0);
    EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count(), 1500);
    EXPECT_NE(m_channel.GetErrorText().find("gone"), std::string::npos) << m_channel.GetErrorText();
    EXPECT_EQ(m_channel.WriteBlock(0x200, 16, data), 0);
    m_channel.ClosePort();
    m_channel.ClosePort();
    EXPECT_EQ(m_channel.m_bOpen, 0);
}

TEST(DeviceChannelOpen, FailedOpenNamesThePortAndTheRate)
{
    CComPortMap comPorts;
    CDeviceChannel channel;
    channel.SetComPortMap(&comPorts);
    EXPECT_EQ(channel.OpenPort(5, 115200), 0);
    EXPECT_EQ(channel.GetErrorText(), "Open COM5 failed, BaudRate = 115200.");
    EXPECT_EQ(channel.m_bOpen, 0);

    CDeviceSimulator sim;
    ASSERT_TRUE(sim.Start());
    comPorts.SetPath(5, sim.SlavePath());
    ASSERT_EQ(channel.OpenPort(5, 115200), 1);
    CDeviceChannel second;
    second.SetComPortMap(&comPorts);
    EXPECT_EQ(second.OpenPort(5, 9600), 0);
    EXPECT_EQ(second.GetErrorText(), "Open COM5 failed, BaudRate = 9600.");
    channel.ClosePort();
}

TEST(DeviceChannelOpen, WhatTheDeviceSaidBeforeTheFirstRequestIsNoReplyToIt)
{
    // A running application talks unasked (a banner at start and every
    // second): its text waits on the line when the port opens.
    CPtyPair pty;
    termios tio {};
    ASSERT_EQ(::tcgetattr(pty.SlaveKeeper(), &tio), 0);
    ::cfmakeraw(&tio);
    ASSERT_EQ(::tcsetattr(pty.SlaveKeeper(), TCSANOW, &tio), 0);
    const std::string strBanner = "Example application 1.0.0\r\n";
    pty.Send(Bytes(strBanner.begin(), strBanner.end()));
    pty.Send(Bytes(strBanner.begin(), strBanner.end()));

    CDeviceChannel channel;
    ASSERT_EQ(channel.OpenPortPath(pty.SlavePath(), 115200), 1) << channel.GetErrorText();
    // The device answers the identify request once it has it whole.
    std::thread device([&pty] {
        Bytes request;
        for (int i = 0; i < 20 && request.size() < kIapFrameLength; ++i) {
            const Bytes got = pty.Receive(100);
            request.insert(request.end(), got.begin(), got.end());
        }
        if (request.size() != kIapFrameLength || request[0] != 0xFE || request[1] != 0x03)
            return;
        Bytes reply(request.begin(), request.begin() + 8);
        reply[4] = 1;
        reply[5] = 2;
        reply[6] = 3;
        reply[7] = 0x55;
        const uint16_t nCrc = Crc16(reply.data(), 8);
        reply.push_back(static_cast<uint8_t>(nCrc >> 8));
        reply.push_back(static_cast<uint8_t>(nCrc));
        pty.Send(reply);
    });
    uint8_t buffer[kIapFrameLength] = {};
    EXPECT_EQ(channel.IapCommand(0x03, buffer, kIapFrameLength, kIapFrameLength), 1) << channel.GetErrorText();
    device.join();
    EXPECT_EQ(Bytes(buffer + 4, buffer + 8), (Bytes {1, 2, 3, 0x55}));
    channel.ClosePort();
}

}  // namespace

namespace {

TEST_F(DeviceChannelTest, ArgumentsAreCheckedBeforeAnythingIsSent)
{
    m_sim.ClearReceivedFrames();
    const int nCommands = m_sim.CommandCount();
    uint8_t buffer[kIapFrameLength] = {};
    EXPECT_EQ(m_channel.IapCommand(kIapIdentify, nullptr, kIapFrameLength, kIapFrameLength), 0);
    EXPECT_EQ(m_channel.IapCommand(kIapIdentify, buffer, 3, kIapFrameLength), 0);
    EXPECT_EQ(m_channel.FlashCommand(kFlashSetAddress, nullptr, 3, 0), 0);
    EXPECT_EQ(m_channel.FlashCommand(kFlashSetAddress, buffer, -1, 0), 0);
    EXPECT_EQ(m_channel.FlashCommand(kFlashRead, buffer, 1, 4, nullptr), 0);
    EXPECT_EQ(m_channel.WriteBlock(0x100, 4, nullptr), 0);
    EXPECT_EQ(m_channel.ReadBlock(0x100, 4, nullptr), 0);
    EXPECT_EQ(m_channel.ReadBlock(0x100, 0, buffer), 0);
    EXPECT_TRUE(m_sim.ReceivedFrames().empty());
    EXPECT_EQ(m_sim.CommandCount(), nCommands);
    // The channel is as good as before.
    EXPECT_EQ(Iap(kIapEnter, {0xAC, 0x01, 0x53, 0xFE, 0x00, 0x00}), 1);
}

}  // namespace

namespace {

// Blocks at an odd and an even address, of odd and even lengths.
struct CTestBlock {
    int nAddress;
    Bytes data;
};
const std::vector<CTestBlock> kAheadBlocks = {
    {0x1235, {0x11, 0x22, 0x33, 0x44}}, {0x2000, {1, 2, 3, 4, 5}}, {0x3001, {9}}, {0x4000, Bytes(16, 0x5A)}};

TEST_F(DeviceChannelTest, SentAheadTheFramesAreTheStrictOnesAndBlocksEndInOrder)
{
    for (const CTestBlock& block : kAheadBlocks)
        ASSERT_EQ(m_channel.WriteBlock(block.nAddress, static_cast<int>(block.data.size()), block.data.data()), 1);
    const std::vector<Bytes> strictFrames = m_sim.ReceivedFrames();
    m_sim.ClearReceivedFrames();
    m_sim.WriteMemory(0, Bytes(0x5000, 0xFF));

    m_channel.SetWindow(8);
    std::vector<int> written;
    const CBlockDone onWritten = [&](int nTag, const uint8_t* pData) {
        EXPECT_EQ(pData, nullptr);
        written.push_back(nTag);
    };
    for (size_t i = 0; i < kAheadBlocks.size(); ++i) {
        const CTestBlock& block = kAheadBlocks[i];
        ASSERT_EQ(m_channel.PostWriteBlock(static_cast<int>(i), block.nAddress, static_cast<int>(block.data.size()),
                                           block.data.data(), onWritten),
                  1);
    }
    ASSERT_EQ(m_channel.FinishPosted(onWritten), 1);
    EXPECT_EQ(m_sim.ReceivedFrames(), strictFrames);
    EXPECT_EQ(written, (std::vector<int> {0, 1, 2, 3}));

    std::vector<Bytes> read(kAheadBlocks.size());
    const CBlockDone onRead = [&](int nTag, const uint8_t* pData) {
        read[static_cast<size_t>(nTag)].assign(pData, pData + kAheadBlocks[static_cast<size_t>(nTag)].data.size());
    };
    for (size_t i = 0; i < kAheadBlocks.size(); ++i) {
        const CTestBlock& block = kAheadBlocks[i];
        ASSERT_EQ(
            m_channel.PostReadBlock(static_cast<int>(i), block.nAddress, static_cast<int>(block.data.size()), onRead),
            1);
    }
    ASSERT_EQ(m_channel.FinishPosted(onRead), 1);
    for (size_t i = 0; i < kAheadBlocks.size(); ++i)
        EXPECT_EQ(read[i], kAheadBlocks[i].data) << i;
}

TEST_F(DeviceChannelTest, WindowBoundsTheCommandsOnTheLine)
{
    Configure([](CSimConfig& config) { config.m_nSilentAfter = 0; });  // hung: takes frames, answers none
    m_channel.SetWindow(4);
    int nDone = 0;
    const CBlockDone done = [&](int, const uint8_t*) { ++nDone; };
    const Bytes data(16, 0x77);
    EXPECT_EQ(m_channel.PostWriteBlock(3, 0x100, 16, data.data(), done), 0);
    EXPECT_EQ(m_sim.ReceivedFrames().size(), 4u);
    EXPECT_EQ(m_channel.FailedTag(), 3);
    EXPECT_EQ(m_channel.GetErrorText(), "Command 0xC1: no reply within 2000 ms.");
    EXPECT_EQ(nDone, 0);
}

TEST_F(DeviceChannelTest, RefusalAheadStopsSendingReadsWhatIsDueAndNamesItsBlock)
{
    Configure([](CSimConfig& config) { config.m_vecFaults.push_back({0xC2, EFaultKind::kRefuse, 0, 3}); });
    m_channel.SetWindow(8);
    std::vector<int> written;
    const CBlockDone done = [&](int nTag, const uint8_t*) { written.push_back(nTag); };
    const Bytes data(4, 0x33);  // three commands a block: the third C2 is block 1's first
    int nResult = 1;
    int nPosted = 0;
    for (int i = 0; i < 10 && nResult; ++i, ++nPosted)
        nResult = m_channel.PostWriteBlock(i, 0x200 + 4 * i, 4, data.data(), done);
    if (nResult)
        nResult = m_channel.FinishPosted(done);
    EXPECT_EQ(nResult, 0);
    EXPECT_EQ(m_channel.FailedTag(), 1);
    EXPECT_EQ(m_channel.GetErrorText(), "Command 0xC2: refused by the device, status 0x00.");
    EXPECT_EQ(written, (std::vector<int> {0}));
    // The refused reply was the 5th; it was checked when the 13th command
    // was about to go, with 12 on the line, and nothing went after it.
    EXPECT_EQ(m_sim.ReceivedFrames().size(), 12u);
    // What was due has been read: a strict exchange gets its own reply.
    uint8_t buffer[2] = {};
    EXPECT_EQ(m_channel.ReadBlock(0x200, 2, buffer), 1);
    EXPECT_EQ(buffer[0], 0x33);
}

}  // namespace
