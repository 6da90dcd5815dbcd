// Extracts one archive the way a package upgrade does: Extract runs Count's header pass
// and then the extracting pass, the same two passes as bsdtar -tf followed by -xf.
// Usage: extract_bench <archive> <target folder>. Exit status 0 when both succeed.

#include "extractor.h"
#include "texts/strtab.h"

#include <QCoreApplication>

#include <clocale>
#include <cstdio>

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s <archive> <target folder>\n", argv[0]);
        return 2;
    }
    std::setlocale(LC_ALL, "");
    // The adapter is a QObject; give it the application object it has in the launcher.
    QCoreApplication app(argc, argv);
    StrTable::InitStrTable();

    Extractor extractor;
    extractor.SetSource(argv[1]);
    extractor.SetTarget(argv[2]);
    if (extractor.Extract() != 0) {
        std::fprintf(stderr, "Extract failed\n");
        return 1;
    }
    return 0;
}
