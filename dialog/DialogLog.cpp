#include "dialog/DialogLog.h"

#include <algorithm>

#include "dialog/Utf8Text.h"

namespace {

// A UTF-8 character takes at most four bytes, so the last 4 × kLogLimit
// bytes of the newest pieces hold at least everything the log can keep.
constexpr size_t kByteWindow = 4 * kLogLimit;
constexpr std::string_view kReplacementChar = "\xEF\xBF\xBD";

bool IsContinuation(char c)
{
    return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

// The UTF-16 units of the well-formed character that starts with this byte.
size_t UnitsOfLead(char c)
{
    return static_cast<unsigned char>(c) >= 0xF0 ? 2 : 1;
}

// The old text and the new one as the one text they make once appended.
class CJoinedText {
public:
    CJoinedText(std::string_view first, std::string_view second) : m_first(first), m_second(second) {}

    size_t Size() const { return m_first.size() + m_second.size(); }
    char At(size_t i) const { return i < m_first.size() ? m_first[i] : m_second[i - m_first.size()]; }
    // The first "\n" at or after nFrom; Size() for none.
    size_t FindLineEnd(size_t nFrom) const
    {
        if (nFrom < m_first.size()) {
            const size_t nFound = m_first.find('\n', nFrom);
            if (nFound != std::string_view::npos)
                return nFound;
            nFrom = m_first.size();
        }
        const size_t nFound = m_second.find('\n', nFrom - m_first.size());
        return nFound == std::string_view::npos ? Size() : m_first.size() + nFound;
    }
    // The UTF-16 units of [nFrom, nTo), which holds no line end.
    size_t Units(size_t nFrom, size_t nTo) const
    {
        size_t nUnits = 0;
        for (size_t i = nFrom; i < nTo; ++i) {
            const char c = At(i);
            if (!IsContinuation(c))
                nUnits += UnitsOfLead(c);
        }
        return nUnits;
    }
    // The end of the shortest start of the line at nFrom that holds at least
    // nUnits units: a cut there never splits a character.
    size_t AdvanceUnits(size_t nFrom, size_t nUnits, size_t& nTaken) const
    {
        size_t i = nFrom;
        nTaken = 0;
        while (nTaken < nUnits) {
            nTaken += UnitsOfLead(At(i));
            ++i;
            while (i < Size() && IsContinuation(At(i)))
                ++i;
        }
        return i;
    }

private:
    std::string_view m_first;
    std::string_view m_second;
};

// Where to cut a text alone so that at most nLimit of its weight stays: the
// newest characters that fit, or from the next line start when that keeps at
// least half the limit.
size_t CutOfNewText(std::string_view text, size_t nLimit)
{
    size_t nWeight = 0;
    size_t nCut = text.size();
    while (nCut > 0) {
        size_t nChar = nCut - 1;
        while (nChar > 0 && IsContinuation(text[nChar]))
            --nChar;
        const size_t nNext = nWeight + (text[nChar] == '\n' ? 2 : UnitsOfLead(text[nChar]));
        if (nNext > nLimit)
            break;
        nWeight = nNext;
        nCut = nChar;
    }
    if (nCut == 0 || text[nCut - 1] == '\n')
        return nCut;
    const size_t nLineEnd = text.find('\n', nCut);
    if (nLineEnd != std::string_view::npos && LogWeight(text.substr(nLineEnd + 1)) * 2 >= nLimit)
        return nLineEnd + 1;
    return nCut;
}

}  // namespace

CLogRgb LogColourRgb(int nColour)
{
    switch (nColour) {
    case 1: return {150, 0, 0};
    case 2: return {255, 0, 0};
    case 3: return {0, 0, 250};
    case 4: return {0, 120, 0};
    default: return {0, 0, 0};
    }
}

size_t LogWeight(std::string_view text)
{
    size_t nWeight = 0;
    for (char c : text) {
        if (c == '\n')
            nWeight += 2;
        else if (!IsContinuation(c))
            nWeight += UnitsOfLead(c);
    }
    return nWeight;
}

std::string NormaliseLogText(std::string_view text, bool& bPendingCr)
{
    if (text.empty())
        return std::string();
    std::string strOut;
    strOut.reserve(text.size());
    size_t i = bPendingCr && text.front() == '\n' ? 1 : 0;
    while (i < text.size()) {
        const char c = text[i];
        if (c == '\r') {
            strOut += '\n';
            i += i + 1 < text.size() && text[i + 1] == '\n' ? 2 : 1;
            continue;
        }
        if (static_cast<unsigned char>(c) < 0x80) {
            strOut += c;
            ++i;
            continue;
        }
        char32_t cChar = 0;
        const size_t nLength = Utf8CharAt(text, i, cChar);
        if (nLength == 0) {
            strOut += kReplacementChar;
            ++i;
            continue;
        }
        if (cChar == 0x2029 || cChar == 0xFDD0 || cChar == 0xFDD1)
            strOut += '\n';
        else
            strOut.append(text.substr(i, nLength));
        i += nLength;
    }
    bPendingCr = text.back() == '\r';
    return strOut;
}

CLogDrop LogDrop(std::string_view strLog, size_t nLogWeight, std::string_view strNew, size_t nLimit)
{
    CLogDrop drop;
    const size_t nNewWeight = LogWeight(strNew);
    if (nNewWeight >= nLimit) {
        drop.bClearLog = true;
        drop.nSkipBytes = CutOfNewText(strNew, nLimit);
        return drop;
    }
    size_t nWeight = nLogWeight + nNewWeight;
    if (nWeight <= nLimit)
        return drop;
    const CJoinedText text(strLog, strNew);
    size_t nLine = 0;
    const auto cutWholeLine = [&](size_t nLineEnd, size_t nChars) {
        nWeight -= nChars + 2;
        drop.nCutBytes = nLineEnd + 1;
        ++drop.nCutLines;
        drop.nCutChars += nChars;
        nLine = nLineEnd + 1;
    };
    for (;;) {
        const size_t nLineEnd = text.FindLineEnd(nLine);
        if (nLineEnd == text.Size())
            break;  // the line being written stays whole
        const size_t nChars = text.Units(nLine, nLineEnd);
        if (nWeight - (nChars + 2) >= nLimit) {
            cutWholeLine(nLineEnd, nChars);
            continue;
        }
        if (nWeight <= nLimit)
            break;
        const size_t nAfter = nWeight - (nChars + 2);
        const size_t nExcess = nWeight - nLimit;
        if (nAfter * 2 >= nLimit || nExcess > nChars) {
            cutWholeLine(nLineEnd, nChars);
        } else {
            size_t nTaken = 0;
            drop.nCutBytes = text.AdvanceUnits(nLine, nExcess, nTaken);
            drop.nCutChars += nTaken;
        }
        break;
    }
    return drop;
}

CLogAppend CLogContent::Append(const std::vector<CLogPiece>& pieces)
{
    // Only the newest bytes of the batch can show: older pieces are skipped
    // and the oldest kept one is cut before anything else is done with it.
    // The window holds more than the log keeps, so a line end split at its
    // start never shows either way.
    size_t nFirst = pieces.size();
    size_t nBytes = 0;
    while (nFirst > 0 && nBytes < kByteWindow)
        nBytes += pieces[--nFirst].strText.size();
    CLogAppend append;
    std::string strNew;
    for (size_t i = nFirst; i < pieces.size(); ++i) {
        std::string_view text = pieces[i].strText;
        if (i == nFirst && nBytes > kByteWindow) {
            text.remove_prefix(nBytes - kByteWindow);
            while (!text.empty() && IsContinuation(text.front()))
                text.remove_prefix(1);
        }
        std::string strText = NormaliseLogText(text, m_bPendingCr);
        if (strText.empty())
            continue;
        strNew += strText;
        append.pieces.push_back({std::move(strText), pieces[i].nColour});
    }
    if (append.pieces.empty())
        return append;

    const CLogDrop drop = LogDrop(std::string_view(m_strText).substr(m_nStart), m_nWeight, strNew);
    if (drop.bClearLog) {
        append.bClearFirst = true;
        size_t nSkip = drop.nSkipBytes;
        size_t nFront = 0;
        while (nFront < append.pieces.size() && nSkip >= append.pieces[nFront].strText.size())
            nSkip -= append.pieces[nFront++].strText.size();
        append.pieces.erase(append.pieces.begin(), append.pieces.begin() + static_cast<std::ptrdiff_t>(nFront));
        if (!append.pieces.empty())
            append.pieces.front().strText.erase(0, nSkip);
        m_strText = strNew.substr(drop.nSkipBytes);
        m_nStart = 0;
        m_nWeight = LogWeight(m_strText);
        return append;
    }
    m_strText += strNew;
    m_nWeight += LogWeight(strNew);
    CutFront(drop.nCutBytes);
    m_nWeight -= drop.nCutChars + 2 * drop.nCutLines;
    append.nCutLines = drop.nCutLines;
    append.nCutChars = drop.nCutChars;
    return append;
}

void CLogContent::Clear()
{
    m_strText.clear();
    m_nStart = 0;
    m_nWeight = 0;
    m_bPendingCr = false;
}

void CLogContent::CutFront(size_t nBytes)
{
    m_nStart += nBytes;
    if (m_nStart * 2 > m_strText.size()) {
        m_strText.erase(0, m_nStart);
        m_nStart = 0;
    }
}
