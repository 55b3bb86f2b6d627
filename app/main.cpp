// vantrel: the desktop dialog.
#include <cstdio>
#include <string_view>

#include <QApplication>

#include "app/AppIcon.h"
#include "app/CLoaderDlg.h"
#include "core/StandardStreams.h"
#include "core/Version.h"

namespace {

constexpr const char* kHelp =
    "Usage: vantrel [OPTION]...\n"
    "Write a firmware file (Intel HEX or ASC) into a device over a serial line, read every block back to\n"
    "verify it, and take the device out of IAP mode again; a small serial terminal talks to the device.\n"
    "All of it happens in one dialog: the port settings, the log, the progress bar and the terminal.\n"
    "\n"
    "Options:\n"
    "  -h, --help     print this help and exit\n"
    "  --version      print the version and exit\n"
    "\n"
    "Qt's own options work as well, for example -platform NAME or -style NAME.\n"
    "vantrel-cli does the same work without a window.\n";

}  // namespace

int main(int argc, char** argv)
{
    OpenStandardStreams();
    IgnoreBrokenPipes();
    // Answered before Qt starts: they work without a display.
    for (int i = 1; i < argc; ++i) {
        const std::string_view strArg(argv[i]);
        if (strArg == "--help" || strArg == "-h") {
            std::fputs(kHelp, stdout);
            return 0;
        }
        if (strArg == "--version") {
            std::printf("vantrel %s\n", kVantrelVersion);
            return 0;
        }
    }
    QApplication app(argc, argv);
    QApplication::setWindowIcon(AppIcon());
    CLoaderDlg dlg;
    dlg.exec();
    return 0;
}
