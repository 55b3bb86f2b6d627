#include "app/DialogLayout.h"

#include <QFontDatabase>
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
    const QFontMetrics metrics(font);
    const int nWidth = metrics.horizontalAdvance(QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    m_nBaseX = (nWidth + 26) / 52;  // the average of 52 letters, rounded
    m_nBaseY = metrics.height();
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
