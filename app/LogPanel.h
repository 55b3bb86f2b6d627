#pragma once
// The log panel: read-only coloured text that only ever grows at its end.
// What it adds and what it cuts the dialog model decides (its limit of
// kLogLimit characters, the oldest text going first); the panel carries it
// out, drops the operator's selection and keeps the newest text in view.
// Lines are not wrapped: a long line scrolls sideways.
#include <QPlainTextEdit>

#include "dialog/DialogLog.h"

class CLogPanel : public QPlainTextEdit {
    Q_OBJECT
public:
    // Characters the log holds, a line end counting as two.
    static constexpr int kLogLimit = static_cast<int>(::kLogLimit);

    explicit CLogPanel(QWidget* pParent = nullptr);

    // One append of the model, in one edit: one cut, one scroll.
    void Append(const CLogAppend& append);
    void ClearLog();
    // Characters held; a line end counts as two.
    int CharacterCount() const;

    // The colour of a log colour number; unknown numbers are black.
    static QColor ColourOf(int nColour);

private:
    void ShowNewest();
};
