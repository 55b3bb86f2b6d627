#include "app/PortComboBox.h"

#include <algorithm>

#include <QAbstractItemView>
#include <QStyleOptionComboBox>
#include <QStylePainter>

namespace {

// Between the COM name and the path of an item.
const QString kPathGap = QStringLiteral("  ");

}  // namespace

CPortComboBox::CPortComboBox(QWidget* pParent) : QComboBox(pParent)
{
    connect(this, &QComboBox::currentIndexChanged, this, &CPortComboBox::OnCurrentChanged);
}

void CPortComboBox::SetPortItemText(int nIndex, const QString& strText)
{
    setItemText(nIndex, strText);
    setItemData(nIndex, strText, Qt::ToolTipRole);
    if (nIndex == currentIndex())
        OnCurrentChanged();
}

void CPortComboBox::OnCurrentChanged()
{
    setToolTip(currentIndex() >= 0 ? itemText(currentIndex()) : QString());
    update();
}

QRect CPortComboBox::TextRect() const
{
    QStyleOptionComboBox option;
    initStyleOption(&option);
    // The label may use all the room left of the arrow, less a small margin.
    const QRect arrow = style()->subControlRect(QStyle::CC_ComboBox, &option, QStyle::SC_ComboBoxArrow, this);
    const int nMargin = std::max(2, fontMetrics().averageCharWidth() / 2);
    return QRect(nMargin, 0, std::max(0, arrow.left() - 2 * nMargin), height());
}

QString CPortComboBox::ClosedText() const
{
    const QString strText = currentText();
    const int nWidth = TextRect().width();
    const QFontMetrics metrics = fontMetrics();
    if (metrics.horizontalAdvance(strText) <= nWidth)
        return strText;
    const qsizetype nGap = strText.indexOf(kPathGap);
    if (nGap < 0)
        return metrics.elidedText(strText, Qt::ElideRight, nWidth);
    // The COM name stays whole; the path gives way in its middle.
    const QString strName = strText.left(nGap + kPathGap.size());
    const QString strPath = strText.mid(nGap + kPathGap.size());
    const int nPathWidth = nWidth - metrics.horizontalAdvance(strName);
    return strName + metrics.elidedText(strPath, Qt::ElideMiddle, std::max(0, nPathWidth));
}

void CPortComboBox::paintEvent(QPaintEvent*)
{
    QStylePainter painter(this);
    QStyleOptionComboBox option;
    initStyleOption(&option);
    option.currentText.clear();
    painter.drawComplexControl(QStyle::CC_ComboBox, option);
    painter.setPen(palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled, QPalette::ButtonText));
    painter.drawText(TextRect(), Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, ClosedText());
}

void CPortComboBox::showPopup()
{
    // The list is as wide as its longest item needs, and never narrower than the box.
    int nWidest = 0;
    for (int i = 0; i < count(); ++i)
        nWidest = std::max(nWidest, fontMetrics().horizontalAdvance(itemText(i)));
    QAbstractItemView* pView = view();
    const int nExtra = pView->frameWidth() * 2 + fontMetrics().averageCharWidth() * 2 +
                       style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, pView);
    pView->setMinimumWidth(std::max(width(), nWidest + nExtra));
    QComboBox::showPopup();
}
