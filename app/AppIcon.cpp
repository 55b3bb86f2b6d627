#include "app/AppIcon.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

QImage DrawAppIcon(int nSize)
{
    QImage image(nSize, nSize, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.scale(nSize / 32.0, nSize / 32.0);

    // The chip: a dark body with three pins on each side.
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(150, 150, 160));
    for (int i = 0; i < 3; ++i) {
        const qreal y = 14 + i * 5;
        painter.drawRect(QRectF(3, y, 4, 2));
        painter.drawRect(QRectF(25, y, 4, 2));
    }
    painter.setBrush(QColor(40, 48, 64));
    painter.drawRoundedRect(QRectF(6, 11, 20, 19), 2, 2);
    painter.setBrush(QColor(90, 100, 120));
    painter.drawEllipse(QRectF(8.5, 26, 2.5, 2.5));

    // The arrow: green, from above into the chip.
    QPainterPath arrow;
    arrow.moveTo(13, 1);
    arrow.lineTo(19, 1);
    arrow.lineTo(19, 12);
    arrow.lineTo(24, 12);
    arrow.lineTo(16, 22);
    arrow.lineTo(8, 12);
    arrow.lineTo(13, 12);
    arrow.closeSubpath();
    painter.setBrush(QColor(0, 160, 60));
    painter.setPen(QPen(QColor(255, 255, 255), 1.2));
    painter.drawPath(arrow);
    return image;
}

QIcon AppIcon()
{
    QIcon icon;
    icon.addPixmap(QPixmap::fromImage(DrawAppIcon(16)));
    icon.addPixmap(QPixmap::fromImage(DrawAppIcon(32)));
    return icon;
}
