#include "app/LogPanel.h"

#include <algorithm>

#include <QScrollBar>
#include <QTextBlock>
#include <QTextCharFormat>
#include <QTextCursor>
#include <QTextDocument>

namespace {

// A UTF-8 character takes at most four bytes, so the last 4 × kLogLimit
// bytes of the newest pieces hold at least everything the log can keep.
constexpr size_t kByteWindow = 4 * static_cast<size_t>(CLogPanel::kLogLimit);

// Characters of a text as the log counts them: a line end counts as two.
qsizetype Weight(const QString& strText)
{
    return strText.size() + strText.count(QLatin1Char('\n'));
}

// Where to cut a text so that at most nKeep of its characters (as counted by
// Weight) stay: a line that would lose its beginning goes whole, unless that
// would throw away more than half of what may stay. Then the cut falls in the
// line and its newest part stays.
qsizetype CutPoint(const QString& strText, qsizetype nKeep)
{
    qsizetype nWeight = 0;
    qsizetype nCut = strText.size();
    while (nCut > 0) {
        const qsizetype nNext = nWeight + (strText[nCut - 1] == QLatin1Char('\n') ? 2 : 1);
        if (nNext > nKeep)
            break;
        nWeight = nNext;
        --nCut;
    }
    if (nCut == 0 || strText[nCut - 1] == QLatin1Char('\n'))
        return nCut;
    const qsizetype nLineEnd = strText.indexOf(QLatin1Char('\n'), nCut);
    if (nLineEnd >= 0 && Weight(strText.mid(nLineEnd + 1)) * 2 >= nKeep)
        return nLineEnd + 1;
    // No cut inside a surrogate pair.
    if (nCut < strText.size() && strText[nCut].isLowSurrogate())
        ++nCut;
    return nCut;
}

}  // namespace

CLogPanel::CLogPanel(QWidget* pParent) : QPlainTextEdit(pParent)
{
    setReadOnly(true);
    setUndoRedoEnabled(false);
    setTabChangesFocus(true);
    setLineWrapMode(QPlainTextEdit::NoWrap);
    setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
}

QColor CLogPanel::ColourOf(int nColour)
{
    switch (nColour) {
    case 1: return QColor(150, 0, 0);
    case 2: return QColor(255, 0, 0);
    case 3: return QColor(0, 0, 250);
    case 4: return QColor(0, 120, 0);
    default: return QColor(0, 0, 0);
    }
}

void CLogPanel::AppendLog(const std::string& strText, int nColour)
{
    AppendLogs({CLogPiece {strText, nColour}});
}

void CLogPanel::AppendLogs(const std::vector<CLogPiece>& pieces)
{
    // Only the newest bytes of the batch can show: older pieces are skipped
    // and the oldest kept one is cut before any conversion.
    size_t nFirst = pieces.size();
    size_t nBytes = 0;
    while (nFirst > 0 && nBytes < kByteWindow)
        nBytes += pieces[--nFirst].strText.size();
    if (nFirst > 0 && nBytes <= kByteWindow)
        m_bPendingCr = pieces[nFirst - 1].strText.ends_with('\r');
    std::vector<CPieceText> texts;
    for (size_t i = nFirst; i < pieces.size(); ++i) {
        std::string_view text = pieces[i].strText;
        if (i == nFirst && nBytes > kByteWindow) {
            const size_t nSkip = nBytes - kByteWindow;
            m_bPendingCr = text[nSkip - 1] == '\r';
            text.remove_prefix(nSkip);
            // Start at a whole character.
            while (!text.empty() && (static_cast<unsigned char>(text.front()) & 0xC0) == 0x80)
                text.remove_prefix(1);
        }
        QString strText = NormaliseLineEnds(text);
        if (!strText.isEmpty())
            texts.push_back({std::move(strText), pieces[i].nColour});
    }
    if (texts.empty())
        return;

    // When the new text alone fills the log, the old text all goes and the
    // new text is cut to the limit before it is laid out.
    qsizetype nNew = 0;
    for (const CPieceText& piece : texts)
        nNew += Weight(piece.strText);
    const bool bReplace = nNew >= kLogLimit;
    if (bReplace) {
        QString strAll;
        for (const CPieceText& piece : texts)
            strAll += piece.strText;
        qsizetype nDrop = CutPoint(strAll, kLogLimit);
        size_t nFront = 0;
        while (nFront < texts.size() && nDrop >= texts[nFront].strText.size())
            nDrop -= texts[nFront++].strText.size();
        texts.erase(texts.begin(), texts.begin() + static_cast<std::ptrdiff_t>(nFront));
        if (!texts.empty())
            texts.front().strText.remove(0, nDrop);
    }

    QTextCursor cursor(document());
    cursor.beginEditBlock();
    if (bReplace) {
        cursor.select(QTextCursor::Document);
        cursor.removeSelectedText();
    }
    cursor.movePosition(QTextCursor::End);
    QTextCharFormat format;
    for (const CPieceText& piece : texts) {
        format.setForeground(ColourOf(piece.nColour));
        cursor.insertText(piece.strText, format);
    }
    cursor.endEditBlock();
    TrimToLimit();
    document()->setModified(false);
    ShowNewest();
}

QString CLogPanel::NormaliseLineEnds(std::string_view text)
{
    // "\r\n", a lone "\r" and a lone "\n" each end one line.
    if (text.empty())
        return QString();
    const QString strIn = QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
    QString strOut;
    strOut.reserve(strIn.size());
    qsizetype i = 0;
    if (m_bPendingCr && strIn.startsWith(QLatin1Char('\n')))
        i = 1;
    for (; i < strIn.size(); ++i) {
        const QChar c = strIn[i];
        if (c == QLatin1Char('\r')) {
            strOut += QLatin1Char('\n');
            if (i + 1 < strIn.size() && strIn[i + 1] == QLatin1Char('\n'))
                ++i;
        } else {
            strOut += c;
        }
    }
    m_bPendingCr = text.back() == '\r';
    return strOut;
}

int CLogPanel::CharacterCount() const
{
    // The document counts a line end as one, and one more for its closing separator.
    return document()->characterCount() - 1 + document()->blockCount() - 1;
}

void CLogPanel::TrimToLimit()
{
    int nWeight = CharacterCount();
    if (nWeight <= kLogLimit)
        return;
    // Only old text is cut here (new text that fills the log replaces it
    // whole), so the last line always stays.
    int nCut = 0;
    QTextBlock block = document()->firstBlock();
    while (block.isValid() && block.next().isValid() && nWeight - (block.length() + 1) >= kLogLimit) {
        nWeight -= block.length() + 1;  // its characters and a line end of two
        block = block.next();
        nCut = block.position();
    }
    if (nWeight > kLogLimit && block.isValid() && block.next().isValid()) {
        const int nAfter = nWeight - (block.length() + 1);
        if (nAfter * 2 >= kLogLimit) {
            // The line that would lose its beginning goes whole.
            nCut = block.next().position();
        } else {
            // Going whole, it would take too much: its newest part stays.
            nCut = block.position() + std::min(nWeight - kLogLimit, block.length());
            const QString strLine = block.text();
            const int nInLine = nCut - block.position();
            if (nInLine < strLine.size() && strLine[nInLine].isLowSurrogate())
                ++nCut;
        }
    }
    QTextCursor cursor(document());
    cursor.setPosition(0);
    cursor.setPosition(nCut, QTextCursor::KeepAnchor);
    cursor.removeSelectedText();
}

void CLogPanel::ShowNewest()
{
    QTextCursor end(document());
    end.movePosition(QTextCursor::End);
    setTextCursor(end);
    verticalScrollBar()->setValue(verticalScrollBar()->maximum());
    horizontalScrollBar()->setValue(0);
}

void CLogPanel::ClearLog()
{
    clear();
    m_bPendingCr = false;
    document()->setModified(false);
}
