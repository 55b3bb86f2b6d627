#include "app/LogPanel.h"

#include <QScrollBar>
#include <QTextBlock>
#include <QTextCharFormat>
#include <QTextCursor>
#include <QTextDocument>

CLogPanel::CLogPanel(QWidget* pParent) : QPlainTextEdit(pParent)
{
    setReadOnly(true);
    setUndoRedoEnabled(false);
    setTabChangesFocus(true);
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
    if (pieces.empty())
        return;
    QTextCursor cursor(document());
    cursor.movePosition(QTextCursor::End);
    cursor.beginEditBlock();
    for (const CLogPiece& piece : pieces)
        InsertPiece(cursor, piece.strText, piece.nColour);
    cursor.endEditBlock();
    TrimToLimit();
    document()->setModified(false);
    ShowNewest();
}

void CLogPanel::InsertPiece(QTextCursor& cursor, const std::string& strText, int nColour)
{
    if (strText.empty())
        return;
    // "\r\n", a lone "\r" and a lone "\n" each end one line.
    QString strIn = QString::fromUtf8(strText.data(), static_cast<qsizetype>(strText.size()));
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
    m_bPendingCr = strIn.endsWith(QLatin1Char('\r'));
    if (strOut.isEmpty())
        return;
    QTextCharFormat format;
    format.setForeground(ColourOf(nColour));
    cursor.insertText(strOut, format);
}

int CLogPanel::CharacterCount() const
{
    return document()->characterCount() - 1;  // less the document's closing separator
}

void CLogPanel::TrimToLimit()
{
    const int nCount = CharacterCount();
    if (nCount <= kLogLimit)
        return;
    const int nExcess = nCount - kLogLimit;
    // Whole lines go where the cut falls inside an older line.
    int nCut = nExcess;
    const QTextBlock block = document()->findBlock(nExcess);
    if (block.isValid() && block.position() != nExcess && block.next().isValid())
        nCut = block.next().position();
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
}

void CLogPanel::ClearLog()
{
    clear();
    m_bPendingCr = false;
    document()->setModified(false);
}
