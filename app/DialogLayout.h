#pragma once
// Dialog units: the dialog is laid out in units of its font, so the same
// numbers give the same look at any font size. One horizontal unit is a
// quarter of a letter's width (half the font's pixel size), one vertical
// unit an eighth of the font's pixel size.
#include <QFont>
#include <QRect>
#include <QSize>

// The dialog font: "宋体" 9 pt where installed, else an installed CJK font.
QFont DialogFont();

class CDialogUnits {
public:
    explicit CDialogUnits(const QFont& font);

    int X(int nDu) const;
    int Y(int nDu) const;
    // Edges are converted one by one, as the dialog's own rectangles are.
    QRect Rect(int nX, int nY, int nWidth, int nHeight) const;
    QSize Size(int nWidth, int nHeight) const;

    int m_nBaseX = 0;  // letter width in pixels
    int m_nBaseY = 0;  // font size in pixels
};
