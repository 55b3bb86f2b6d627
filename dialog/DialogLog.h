#pragma once
// The log's rules, without a text control: its colours, its line ends, and
// its limit. The model keeps a copy of the log's text and tells the view, for
// every append, what to add and what to cut, so that a Qt document and a
// rich edit hold the same text.
//
// Characters are counted as both toolkits' controls count them (UTF-16
// units), a line end as two, as the first text controls counted "\r\n".
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// Characters the log holds at most, a line end counting two.
inline constexpr size_t kLogLimit = 131072;

struct CLogPiece {
    std::string strText;
    int nColour = 0;

    bool operator==(const CLogPiece&) const = default;
};

struct CLogRgb {
    int nRed = 0;
    int nGreen = 0;
    int nBlue = 0;

    bool operator==(const CLogRgb&) const = default;
};

// The colour of a log colour number (ELogColour); unknown numbers are black.
CLogRgb LogColourRgb(int nColour);

// A log text's characters, a line end ("\n") counting two. The text is
// well-formed UTF-8, as NormaliseLogText gives it.
size_t LogWeight(std::string_view text);

// A piece as the log holds it: "\r\n", a lone "\r" and a lone "\n" each end
// one line and become "\n", as do the paragraph separator U+2029 and the
// frame marks U+FDD0 and U+FDD1 (a Qt document breaks its lines there too).
// A byte that is no UTF-8 character becomes U+FFFD. bPendingCr carries a
// "\r" that ended the previous piece: a "\n" that starts this one ends the
// same line.
std::string NormaliseLogText(std::string_view text, bool& bPendingCr);

// What an append takes away so that the log keeps within nLimit characters,
// the oldest text going first.
struct CLogDrop {
    // The new text alone fills the log: all the old text goes, and the
    // new text's first nSkipBytes never show.
    bool bClearLog = false;
    size_t nSkipBytes = 0;
    // Else, once the new text is appended: what goes from the log's start,
    // in bytes of the log's text, and as its line ends and its other
    // characters (UTF-16 units).
    size_t nCutBytes = 0;
    size_t nCutLines = 0;
    size_t nCutChars = 0;

    bool operator==(const CLogDrop&) const = default;
};

// The limit rule. strLog is the log's text (nLogWeight its LogWeight),
// strNew the normalised text to append. Whole lines go from the start while
// what stays is at least the limit; the line that would then lose its
// beginning goes whole too, unless that would leave less than half the
// limit: then its newest part stays, the log holding exactly the limit. The
// line being written (after the last line end) is never cut, except when the
// new text alone fills the log; then it is cut the same way. No cut falls
// inside a character.
CLogDrop LogDrop(std::string_view strLog, size_t nLogWeight, std::string_view strNew, size_t nLimit = kLogLimit);

// One append as the view carries it out, in this order: clear the log when
// bClearFirst; append the pieces, each in its colour (UTF-8, every line end
// "\n", none empty); then cut nCutLines line ends and nCutChars other
// characters from the log's start.
struct CLogAppend {
    bool bClearFirst = false;
    std::vector<CLogPiece> pieces;
    size_t nCutLines = 0;
    size_t nCutChars = 0;

    // The end of the cut as a character position, for a control that counts
    // a line end as nLineEndChars characters (1 for a Qt document or a rich
    // edit's "\r", 2 for "\r\n").
    size_t CutPosition(size_t nLineEndChars) const { return nCutChars + nCutLines * nLineEndChars; }
};

// The log's text as the model keeps it: the same text the view shows.
class CLogContent {
public:
    // Takes the engine's pieces and gives the view its append; no pieces
    // when nothing shows. Only the newest bytes of a batch are ever looked
    // at, so a piece of any size costs no more than a full log.
    CLogAppend Append(const std::vector<CLogPiece>& pieces);
    void Clear();

    std::string Text() const { return m_strText.substr(m_nStart); }
    size_t Weight() const { return m_nWeight; }

private:
    void CutFront(size_t nBytes);

    // The text begins at m_nStart: a cut from the front moves it, and the
    // bytes before it are let go once they are the larger part.
    std::string m_strText;
    size_t m_nStart = 0;
    size_t m_nWeight = 0;
    bool m_bPendingCr = false;
};
