// vantrel: the desktop dialog.
#include <QApplication>

#include "app/AppIcon.h"
#include "app/CLoaderDlg.h"
#include "core/StandardStreams.h"

int main(int argc, char** argv)
{
    OpenStandardStreams();
    IgnoreBrokenPipes();
    QApplication app(argc, argv);
    QApplication::setWindowIcon(AppIcon());
    CLoaderDlg dlg;
    dlg.exec();
    return 0;
}
