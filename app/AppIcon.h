#pragma once
// The program's icon, drawn rather than stored: a chip with an arrow going
// into it. The same drawing gives the window icon and the installed PNGs.
#include <QIcon>
#include <QImage>

QImage DrawAppIcon(int nSize);
// 16 and 32 pixels.
QIcon AppIcon();
