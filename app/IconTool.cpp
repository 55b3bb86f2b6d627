// Build step: writes the program's icon as PNG files for installation.
// Usage: vantrel_icon SIZE FILE [SIZE FILE ...]
#include <cstdio>
#include <cstdlib>

#include <QString>

#include "app/AppIcon.h"

int main(int argc, char** argv)
{
    if (argc < 3 || argc % 2 != 1) {
        std::fprintf(stderr, "usage: %s SIZE FILE [SIZE FILE ...]\n", argv[0]);
        return 2;
    }
    for (int i = 1; i + 1 < argc; i += 2) {
        const int nSize = std::atoi(argv[i]);
        if (nSize <= 0 || !DrawAppIcon(nSize).save(QString::fromLocal8Bit(argv[i + 1]), "PNG")) {
            std::fprintf(stderr, "%s: cannot write %s\n", argv[0], argv[i + 1]);
            return 1;
        }
    }
    return 0;
}
