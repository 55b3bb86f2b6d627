#pragma once
// The log panel: read-only coloured text that only ever grows at its end.
// Appends drop the operator's selection and keep the newest text in view;
// past kLogLimit characters the oldest text goes, so the newest always shows.
// Lines are not wrapped: a long line scrolls sideways.
#include <string>
#include <vector>

#include <QPlainTextEdit>

struct CLogPiece {
    std::string strText;
    int nColour = 0;
};

class CLogPanel : public QPlainTextEdit {
    Q_OBJECT
public:
    // Characters the log holds, a line end counting as two.
    static constexpr int kLogLimit = 131072;

    explicit CLogPanel(QWidget* pParent = nullptr);

    void AppendLog(const std::string& strText, int nColour);
    // Several pieces in one edit: one trim, one scroll. Only the newest
    // kLogLimit characters of them are ever converted or laid out, so a
    // piece of any length costs the UI thread no more than a full log.
    void AppendLogs(const std::vector<CLogPiece>& pieces);
    void ClearLog();
    // Characters held; a line end counts as two.
    int CharacterCount() const;

    // The colour of a log colour number; unknown numbers are black.
    static QColor ColourOf(int nColour);

private:
    struct CPieceText {
        QString strText;
        int nColour = 0;
    };
    // The piece's text with every line end made "\n"; updates m_bPendingCr.
    QString NormaliseLineEnds(std::string_view text);
    void TrimToLimit();
    void ShowNewest();

    // A piece ended with "\r": a "\n" that starts the next one ends the same line.
    bool m_bPendingCr = false;
};
