#include "app/LogPanel.h"

#include <QScrollBar>
#include <QTextCharFormat>
#include <QTextCursor>
#include <QTextDocument>

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
    const CLogRgb rgb = LogColourRgb(nColour);
    return QColor(rgb.nRed, rgb.nGreen, rgb.nBlue);
}

void CLogPanel::Append(const CLogAppend& append)
{
    QTextCursor cursor(document());
    cursor.beginEditBlock();
    if (append.bClearFirst) {
        cursor.select(QTextCursor::Document);
        cursor.removeSelectedText();
    }
    cursor.movePosition(QTextCursor::End);
    QTextCharFormat format;
    for (const CLogPiece& piece : append.pieces) {
        format.setForeground(ColourOf(piece.nColour));
        cursor.insertText(QString::fromUtf8(piece.strText.data(), static_cast<qsizetype>(piece.strText.size())),
                          format);
    }
    cursor.endEditBlock();
    // The document counts a line end as one character.
    const int nCut = static_cast<int>(append.CutPosition(1));
    if (nCut > 0) {
        cursor.setPosition(0);
        cursor.setPosition(nCut, QTextCursor::KeepAnchor);
        cursor.removeSelectedText();
    }
    document()->setModified(false);
    ShowNewest();
}

int CLogPanel::CharacterCount() const
{
    // The document counts a line end as one, and one more for its closing separator.
    return document()->characterCount() - 1 + document()->blockCount() - 1;
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
    document()->setModified(false);
}
