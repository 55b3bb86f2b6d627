// The terminal: hexadecimal text, code page 936, and sending and receiving
// through the channel over a real pseudo-terminal.
#include <gtest/gtest.h>

#include "common/RecordingView.h"
#include "download/CLoader.h"
#include "common/PtyPair.h"
#include "terminal/CodePage936.h"
#include "terminal/HexText.h"

namespace {

using Bytes = std::vector<uint8_t>;

TEST(HexText, ConvertsTheWholeTextOrNothing)
{
    struct Case {
        const char* pText;
        Bytes bytes;
        const char* pBadToken;  // the token named when nothing is converted
    };
    const Case cases[] = {
        {"01 02 FF", {0x01, 0x02, 0xFF}, ""},
        {"0A1B", {0x0A, 0x1B}, ""},
        {"0a 1b", {0x0A, 0x1B}, ""},
        {"  7f  ", {0x7F}, ""},
        {"", {}, ""},
        {"   ", {}, ""},
        // A shortened message is never sent: the whole text or nothing.
        {"FE 0G", {}, "0G"},
        {"1", {}, "1"},
        {"0102 3", {}, "3"},
        {"A 1", {}, "A"},
        {"01\t02", {}, "01\t02"},  // only the space separates
        {"0G12 34", {}, "0G12"},
        {"01 020 03", {}, "020"},
        {"01 串", {}, "串"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pText);
        Bytes bytes {0x99};
        std::string strBadToken = "stale";
        EXPECT_EQ(HexStringToBytes(c.pText, bytes, strBadToken), *c.pBadToken == '\0' ? 1 : 0);
        EXPECT_EQ(bytes, c.bytes);
        EXPECT_EQ(strBadToken, c.pBadToken);
    }
    EXPECT_EQ(HexDigitValue('\x80'), kNotHexDigit);
    EXPECT_EQ(HexDigitValue('f'), 15);
}

TEST(CodePage936, EncodesAndDecodesAcrossChunkBoundaries)
{
    const std::string strText = "串口ok";
    const std::string strBytes = Utf8ToCodePage936(strText);
    EXPECT_EQ(strBytes, "\xB4\xAE\xBF\xDA"
                        "ok");
    CCodePage936Decoder decoder;
    const auto* p = reinterpret_cast<const uint8_t*>(strBytes.data());
    // Split inside the second character: its lead byte waits for the next chunk.
    std::string strDecoded = decoder.Decode(p, 3);
    EXPECT_EQ(strDecoded, "串");
    strDecoded += decoder.Decode(p + 3, strBytes.size() - 3);
    EXPECT_EQ(strDecoded, strText);
}

class TerminalTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        CPortChoice choice;
        choice.strPortPath = m_pty.SlavePath();
        ASSERT_TRUE(m_loader.OnOpenClosePort(choice));
    }

    CPtyPair m_pty;
    CRecordingView m_view;
    CLoader m_loader {m_view};
};

TEST_F(TerminalTest, SendsHexAndCodePage936Text)
{
    m_loader.ManualSend("01 02 FF", 1);
    EXPECT_EQ(m_pty.Receive(), (Bytes {0x01, 0x02, 0xFF}));
    m_loader.ManualSend("", 1);
    m_loader.ManualSend("", 0);
    EXPECT_TRUE(m_pty.Receive(100).empty());
    m_loader.ManualSend("串口 AT\r", 0);
    EXPECT_EQ(m_pty.Receive(), (Bytes {0xB4, 0xAE, 0xBF, 0xDA, ' ', 'A', 'T', '\r'}));
    // Longer than one driver queue: every byte goes out.
    const std::string strLong(3000, 'x');
    m_loader.ManualSend(strLong, 0);
    EXPECT_EQ(m_pty.Receive().size(), strLong.size());
}

TEST_F(TerminalTest, InvalidHexSendsNothingAndSaysWhichTokenInRed)
{
    const struct {
        const char* pText;
        const char* pToken;
    } cases[] = {{"FE 0G", "0G"}, {"0102 3", "3"}, {"41 42 4", "4"}};
    for (const auto& c : cases) {
        m_view.Clear();
        m_loader.ManualSend(c.pText, 1);
        EXPECT_TRUE(m_pty.Receive(100).empty()) << c.pText;
        ASSERT_EQ(m_view.Log().size(), 1u) << c.pText;
        EXPECT_EQ(m_view.Log()[0].nColour, kLogRed);
        EXPECT_EQ(m_view.LogText(), std::string("## \"") + c.pToken + "\" is not hex: nothing was sent\r\n");
    }
}

TEST(TerminalPorts, EachOpeningStartsTheTextAfreshOnALineOfItsOwn)
{
    CPtyPair first;
    CPtyPair second;
    CRecordingView view;
    CLoader loader(view);
    const auto poll = [&loader](CPtyPair& pty, const Bytes& bytes) {
        pty.Send(bytes);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        loader.PollReceive();
    };
    CPortChoice choice;
    choice.strPortPath = first.SlavePath();
    ASSERT_TRUE(loader.OnOpenClosePort(choice));
    // The reply ends in a lead byte whose trail byte never comes.
    poll(first, {'o', 'k', 0xCD});
    EXPECT_FALSE(loader.OnOpenClosePort(choice));
    choice.strPortPath = second.SlavePath();
    ASSERT_TRUE(loader.OnOpenClosePort(choice));
    poll(second, {0xC4, 0xE3, 0xBA, 0xC3});
    EXPECT_EQ(view.LogText(), "串口打开正常:" + first.SlavePath() + ",115200,8,N,1\r\nok\r\n串口关闭正常!\r\n" +
                                  "串口打开正常:" + second.SlavePath() + ",115200,8,N,1\r\n你好");
}

TEST_F(TerminalTest, PollTakesWhatHasArrivedWithoutWaitingAndDropsZeros)
{
    m_view.Clear();
    const auto start = std::chrono::steady_clock::now();
    m_loader.PollReceive();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(200));
    EXPECT_EQ(m_view.LogText(), "");

    m_pty.Send({'O', 'K', 0x00, '\r', '\n', 0xB4});
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    m_loader.PollReceive();
    m_pty.Send({0xAE});
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    m_loader.PollReceive();
    EXPECT_EQ(m_view.LogText(), "OK\r\n串");
    for (const auto& entry : m_view.Log())
        EXPECT_EQ(entry.nColour, kLogBlack);
}

TEST_F(TerminalTest, PortButtonTwiceOpensThenCloses)
{
    EXPECT_FALSE(m_loader.OnOpenClosePort(CPortChoice()));
    EXPECT_EQ(m_loader.Channel().m_bOpen, 0);
    EXPECT_EQ(m_view.PortButton(), (std::vector<bool> {true, false}));
    EXPECT_EQ(m_view.LogText(), "串口打开正常:" + m_pty.SlavePath() + ",115200,8,N,1\r\n串口关闭正常!\r\n");
    // Closed: nothing is sent and a poll finds nothing.
    m_loader.ManualSend("41", 1);
    EXPECT_TRUE(m_pty.Receive(100).empty());
}

TEST(TerminalPortButton, FailedOpenLogsAndKeepsTheButton)
{
    CRecordingView view;
    CLoader loader(view);
    CPortChoice choice;
    choice.nPortIndex = kAutoCheckIndex;  // the button does no detection: port 0
    EXPECT_FALSE(loader.OnOpenClosePort(choice));
    EXPECT_EQ(view.LogText(), "串口打开失败!\r\n");
    EXPECT_EQ(view.PortButton(), std::vector<bool> {false});
}

}  // namespace
