// vantrel: the desktop dialog.
#include <QApplication>

#include "app/AppIcon.h"
#include "app/CLoaderDlg.h"

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QApplication::setWindowIcon(AppIcon());
    CLoaderDlg dlg;
    dlg.exec();
    return 0;
}
