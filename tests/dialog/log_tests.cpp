// The log's rules without a text control: line ends, colours, the limit of
// kLogLimit characters (a line end counting two) and the copy of the text the
// model keeps, which a view's control must match append for append.
#include <algorithm>
#include <random>

#include <gtest/gtest.h>

#include "dialog/DialogLog.h"
#include "dialog/RecordingDialogView.h"

namespace {

const std::string kEmoji = "\xF0\x9F\x98\x80";  // past the BMP: two UTF-16 units

// The log after an append as the drop says, with the drop's counts checked
// against the bytes it cuts.
std::string Applied(const std::string& strLog, const std::string& strNew, const CLogDrop& drop)
{
    if (drop.bClearLog)
        return strNew.substr(drop.nSkipBytes);
    EXPECT_EQ(drop.nSkipBytes, 0u);
    const std::string strAll = strLog + strNew;
    const std::string strCut = strAll.substr(0, drop.nCutBytes);
    EXPECT_EQ(static_cast<size_t>(std::count(strCut.begin(), strCut.end(), '\n')), drop.nCutLines);
    EXPECT_EQ(LogWeight(strCut), drop.nCutChars + 2 * drop.nCutLines);
    return strAll.substr(drop.nCutBytes);
}

TEST(LogLimit, TheOldestTextGoesWholeLinesFirst)
{
    struct CCase {
        const char* pName;
        std::string strLog;
        std::string strNew;
        size_t nLimit;
        std::string strAfter;
    };
    const CCase cases[] = {
        {"fits", "ab\n", "cd\n", 20, "ab\ncd\n"},
        {"exactly the limit", "aaaa\n", "bbbb\n", 12, "aaaa\nbbbb\n"},
        {"a line end counts two", "ab\ncd\n", "e", 8, "cd\ne"},
        {"oldest whole lines go", "aaaa\nbbbb\n", "cccc\n", 12, "bbbb\ncccc\n"},
        {"the line losing its start goes whole while half the limit stays", "aaaaaa\n", "bb\ncc", 10, "bb\ncc"},
        {"else its newest part stays, to the limit", "0123456789\n", "b", 10, "3456789\nb"},
        {"the line being written is never cut", "aaaa", "bbbbbbbb", 10, "aaaabbbbbbbb"},
        {"whole lines before it still go", "xx\naaaa", "bbbbbbb", 10, "aaaabbbbbbb"},
        {"a character past the BMP counts two and stays whole", "a" + kEmoji + "bcdefg\n", "z", 10, "bcdefg\nz"},
        {"a Chinese character counts one", "中文字符\n", "测试测试", 10, "中文字符\n测试测试"},
        {"the new text alone fills the log: the old all goes", "old\n", "0123456789abc", 10, "3456789abc"},
        {"the new text alone exactly the limit", "old\n", "0123456789", 10, "0123456789"},
        {"new text alone: its line cut at the start goes whole", "", "xxxxxxxx\nyyyyyyy", 12, "yyyyyyy"},
        {"new text alone: else that line's newest part", "", "aaaa\n0123456789\ncc", 12, "23456789\ncc"},
        {"new text alone, past the BMP", "", kEmoji + kEmoji + kEmoji, 5, kEmoji + kEmoji},
        {"new text alone, Chinese", "", "中文字符测试中文字符测试", 10, "字符测试中文字符测试"},
    };
    for (const CCase& c : cases) {
        SCOPED_TRACE(c.pName);
        const CLogDrop drop = LogDrop(c.strLog, LogWeight(c.strLog), c.strNew, c.nLimit);
        const std::string strAfter = Applied(c.strLog, c.strNew, drop);
        EXPECT_EQ(strAfter, c.strAfter);
        if (strAfter.find('\n') != std::string::npos) {
            EXPECT_LE(LogWeight(strAfter), c.nLimit);
        }
    }
}

TEST(LogLimit, AtTheRealLimit)
{
    // Half the limit in a line and a line of the other half: the first goes.
    const std::string strLog = std::string(kLogLimit / 2 - 1, 'a') + "\n";
    const std::string strNew = std::string(kLogLimit / 2 - 2, 'b') + "\n";
    EXPECT_EQ(LogWeight(strLog) + LogWeight(strNew), kLogLimit + 1);
    const CLogDrop drop = LogDrop(strLog, LogWeight(strLog), strNew);
    EXPECT_EQ(drop, (CLogDrop {false, 0, strLog.size(), 1, kLogLimit / 2 - 1}));
    // One character less and everything stays.
    const std::string strShorter = strNew.substr(1);
    EXPECT_EQ(LogDrop(strLog, LogWeight(strLog), strShorter), CLogDrop());
    // A new text of the limit alone replaces the log whole.
    const std::string strFull(kLogLimit, 'c');
    EXPECT_EQ(LogDrop(strLog, LogWeight(strLog), strFull), (CLogDrop {true, 0, 0, 0, 0}));
}

TEST(LogText, LineEndsBecomeOneAndBadBytesAReplacementCharacter)
{
    const std::string kReplacement = "\xEF\xBF\xBD";
    struct CCase {
        bool bPendingCr;
        std::string strIn;
        std::string strOut;
        bool bPendingAfter;
    };
    const CCase cases[] = {
        {false, "a\r\nb", "a\nb", false},
        {false, "a\rb", "a\nb", false},
        {false, "a\n\rb", "a\n\nb", false},
        {false, "a\r", "a\n", true},
        {true, "\nb", "b", false},  // the "\r" that ended the last piece ended this line
        {true, "\r\n", "\n", false},
        {true, "b\n", "b\n", false},
        {true, "", "", true},  // an empty piece changes nothing
        {false, "x\xE2\x80\xA9y", "x\ny", false},
        {false, "\xEF\xB7\x90z\xEF\xB7\x91", "\nz\n", false},
        {false, "中\xE2\x80\xA8" + kEmoji, "中\xE2\x80\xA8" + kEmoji, false},  // a line separator is a character
        {false,
         "\xFF"
         "a",
         kReplacement + "a", false},
        {false, "\xE4\xB8", kReplacement + kReplacement, false},
        {false, "\xC0\xAF", kReplacement + kReplacement, false},                     // an overlong "/"
        {false, "\xED\xA0\x80", kReplacement + kReplacement + kReplacement, false},  // a surrogate
    };
    for (const CCase& c : cases) {
        SCOPED_TRACE(c.strIn);
        bool bPendingCr = c.bPendingCr;
        EXPECT_EQ(NormaliseLogText(c.strIn, bPendingCr), c.strOut);
        EXPECT_EQ(bPendingCr, c.bPendingAfter);
    }
}

TEST(LogText, ColourNumbers)
{
    struct CCase {
        int nColour;
        CLogRgb rgb;
    };
    const CCase cases[] = {
        {0, {0, 0, 0}},   {1, {150, 0, 0}}, {2, {255, 0, 0}}, {3, {0, 0, 250}},
        {4, {0, 120, 0}}, {5, {0, 0, 0}},   {77, {0, 0, 0}},  {-1, {0, 0, 0}},
    };
    for (const CCase& c : cases)
        EXPECT_EQ(LogColourRgb(c.nColour), c.rgb) << c.nColour;
}

TEST(LogContent, PiecesKeepTheirColoursAndEmptyOnesGo)
{
    CLogContent log;
    const CLogAppend append = log.Append({{"k", kLogBlack}, {"", kLogGreen}, {"r\r\n", kLogRed}, {"", kLogBlue}});
    EXPECT_EQ(append.pieces, (std::vector<CLogPiece> {{"k", kLogBlack}, {"r\n", kLogRed}}));
    EXPECT_FALSE(append.bClearFirst);
    EXPECT_EQ(log.Text(), "kr\n");
    EXPECT_EQ(log.Weight(), 4u);
    EXPECT_TRUE(log.Append({{"", kLogBlack}}).pieces.empty());

    // A cleared log forgets a "\r" it ended with.
    log.Append({{"x\r", kLogBlack}});
    log.Clear();
    log.Append({{"\ny", kLogBlack}});
    EXPECT_EQ(log.Text(), "\ny");
}

TEST(LogContent, ThreeThousandLinesKeepTheNewestWholeLines)
{
    CLogContent log;
    for (int i = 0; i < 3000; ++i) {
        std::string strLine = "line " + std::to_string(100000 + i).substr(1) + " ";
        strLine.resize(49, '.');
        log.Append({{strLine + "\r\n", i % 5}});
    }
    EXPECT_LE(log.Weight(), kLogLimit);
    EXPECT_GT(log.Weight(), kLogLimit - 51);
    EXPECT_EQ(log.Weight(), LogWeight(log.Text()));
    EXPECT_EQ(log.Text().rfind("line ", 0), 0u);
    EXPECT_EQ(log.Text().substr(log.Text().size() - 50, 11), "line 02999 ");
}

TEST(LogContent, OnlyTheNewestBytesOfABatchAreTakenAndALineEndSplitBetweenPiecesHolds)
{
    CLogContent log;
    log.Append({{"an older line\r\n", kLogBlack}});
    // 600,000 bytes and a "\r" in one piece, its "\n" starting the next.
    const CLogAppend append = log.Append({{std::string(600000, 'a') + "\r", kLogRed}, {"\nTAIL", kLogBlue}});
    EXPECT_TRUE(append.bClearFirst);
    ASSERT_EQ(append.pieces.size(), 2u);
    EXPECT_EQ(append.pieces[1], (CLogPiece {"TAIL", kLogBlue}));
    EXPECT_EQ(log.Weight(), kLogLimit);
    const std::string strText = log.Text();
    EXPECT_EQ(std::count(strText.begin(), strText.end(), '\n'), 1);
    EXPECT_TRUE(strText.ends_with("aa\nTAIL"));
}

TEST(LogContent, AControlCarryingOutEveryAppendHoldsTheModelsText)
{
    // Appends of every kind, the limit reached again and again: a control
    // that counts a line end as one and carries out each append as told ends
    // up with the model's text every time.
    const std::vector<std::string> bits = {"\r\n",         "\r",           "\n",   "中",      kEmoji,
                                           "\xE2\x80\xA8", "\xE2\x80\xA9", "\xFF", "\xE4\xB8"};
    std::mt19937 random(20240611);
    CLogContent log;
    CRecordingDialogView view;
    for (int nStep = 0; nStep < 300; ++nStep) {
        std::vector<CLogPiece> pieces;
        const int nPieces = 1 + static_cast<int>(random() % 3);
        for (int i = 0; i < nPieces; ++i) {
            const size_t nLength = random() % 12 == 0 ? random() % 200000 : random() % 4000;
            std::string strText;
            while (strText.size() < nLength)
                strText += random() % 3 == 0 ? bits[random() % bits.size()] : std::string(1 + random() % 120, 'x');
            pieces.push_back({strText, static_cast<int>(random() % 5)});
        }
        const CLogAppend append = log.Append(pieces);
        if (!append.pieces.empty())
            view.AppendToLog(append);
        ASSERT_EQ(view.m_strLog, log.Text()) << nStep;
        ASSERT_EQ(log.Weight(), LogWeight(log.Text())) << nStep;
        if (log.Weight() > kLogLimit) {  // only the line being written may pass the limit
            ASSERT_EQ(log.Text().find('\n'), std::string::npos) << nStep;
        }
    }
}

}  // namespace
