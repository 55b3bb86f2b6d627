#include "app/DialogLayout.h"

#include <QFontDatabase>
#include <QFontInfo>
#include <QFontMetrics>
#include <QStringList>

namespace {

// Multiplies, then divides with rounding half away from zero.
int MulDiv(int nValue, int nMul, int nDiv)
{
    const long long nProduct = static_cast<long long>(nValue) * nMul;
    const long long nHalf = nDiv / 2;
    return static_cast<int>(nProduct >= 0 ? (nProduct + nHalf) / nDiv : (nProduct - nHalf) / nDiv);
}

}  // namespace

QFont DialogFont()
{
    const QStringList families = QFontDatabase::families();
    QString strFamily = QStringLiteral("宋体");
    for (const QString& strCandidate :
         {QStringLiteral("宋体"), QStringLiteral("SimSun"), QStringLiteral("WenQuanYi Zen Hei"),
          QStringLiteral("Noto Sans CJK SC"), QStringLiteral("Noto Serif CJK SC")}) {
        if (families.contains(strCandidate, Qt::CaseInsensitive)) {
            strFamily = strCandidate;
            break;
        }
    }
    QFont font(strFamily);
    font.setPointSize(9);
    return font;
}

CDialogUnits::CDialogUnits(const QFont& font)
{
    // The template was drawn for 宋体, whose characters fill their em square
    // and whose letters are half as wide as high: 12 × 6 px cells at 9 pt and
    // 96 dpi. The units come from the font's size as that font gives them;
    // a fallback font's taller line (its leading) would stretch the dialog
    // a third beyond the template.
    m_nBaseY = QFontInfo(font).pixelSize();
    m_nBaseX = (m_nBaseY + 1) / 2;
    if (m_nBaseX < 1)
        m_nBaseX = 1;
    if (m_nBaseY < 1)
        m_nBaseY = 1;
}

int CDialogUnits::X(int nDu) const
{
    return MulDiv(nDu, m_nBaseX, 4);
}

int CDialogUnits::Y(int nDu) const
{
    return MulDiv(nDu, m_nBaseY, 8);
}

QRect CDialogUnits::Rect(int nX, int nY, int nWidth, int nHeight) const
{
    const int nLeft = X(nX);
    const int nTop = Y(nY);
    return QRect(nLeft, nTop, X(nX + nWidth) - nLeft, Y(nY + nHeight) - nTop);
}

QSize CDialogUnits::Size(int nWidth, int nHeight) const
{
    return QSize(X(nWidth), Y(nHeight));
}
