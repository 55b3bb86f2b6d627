#include "app/CAboutDlg.h"

#include <QLabel>
#include <QPushButton>

#include "app/AppIcon.h"
#include "app/DialogLayout.h"
#include "core/Version.h"

CAboutDlg::CAboutDlg(QWidget* pParent)
    : QDialog(pParent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint)
{
    setWindowTitle(QStringLiteral("关于 Vantrel"));
    setFont(DialogFont());
    const CDialogUnits du(font());
    setFixedSize(du.Size(235, 55));

    auto* pIcon = new QLabel(this);
    pIcon->setObjectName(QStringLiteral("m_staticIcon"));
    pIcon->setPixmap(QPixmap::fromImage(DrawAppIcon(32)));
    pIcon->setGeometry(du.X(11), du.Y(17), 32, 32);

    auto* pVersion = new QLabel(QStringLiteral("Vantrel %1 版").arg(QLatin1String(kVantrelVersion)), this);
    pVersion->setObjectName(QStringLiteral("m_staticVersion"));
    pVersion->setGeometry(du.Rect(40, 10, 119, 8));

    auto* pWhat = new QLabel(QStringLiteral("串口固件下载与校验工具"), this);
    pWhat->setObjectName(QStringLiteral("m_staticWhat"));
    pWhat->setGeometry(du.Rect(40, 25, 119, 8));

    auto* pOk = new QPushButton(QStringLiteral("确定"), this);
    pOk->setObjectName(QStringLiteral("m_btnOk"));
    pOk->setGeometry(du.Rect(178, 7, 50, 14));
    pOk->setDefault(true);
    connect(pOk, &QPushButton::clicked, this, &QDialog::accept);
    pOk->setFocus();
}
