#include "mainframe.h"
#include "trelvaneapp.h"

#include <QApplication>
#include <QIcon>

#include <cstdio>
#include <cstring>

namespace {

const char kUsage[] =
    "Usage: trelvane [FILE.set]\n"
    "\n"
    "The Trelvane data gateway's desktop program. Opens FILE.set, or a new\n"
    "document without one. Everything after the program name is one file name\n"
    "(spaces included); write ./--help to open a file of that name.\n"
    "\n"
    "Options:\n"
    "  -h, --help       show this help\n"
    "  -V, --version    show the version\n";

// Help and version answer on standard output without a display. They count
// only as the one and only argument: anything else is the file to open.
bool AnswerInfoOption(int argc, char* argv[], int* pnExit)
{
    if (argc != 2)
        return false;
    const char* pszArg = argv[1];
    if (!std::strcmp(pszArg, "-h") || !std::strcmp(pszArg, "--help")) {
        std::fputs(kUsage, stdout);
    } else if (!std::strcmp(pszArg, "-V") || !std::strcmp(pszArg, "--version")) {
        std::printf("trelvane %s\n", TRELVANE_VERSION);
    } else {
        return false;
    }
    *pnExit = 0;
    return true;
}

} // namespace

int main(int argc, char* argv[])
{
    if (int nExit = 0; AnswerInfoOption(argc, argv, &nExit))
        return nExit;
    // Otherwise the program takes a file name and no options. Qt sees the
    // program's name alone, so that a file called "-reverse" or "-style" is
    // opened instead of being taken as one of Qt's own options; Qt's settings
    // stay available through its environment variables (QT_QPA_PLATFORM,
    // QT_STYLE_OVERRIDE, ...).
    int nQtArgc = argc > 0 ? 1 : 0;
    QApplication app(nQtArgc, argv);
    QApplication::setApplicationName(QStringLiteral("trelvane"));
    QApplication::setDesktopFileName(QStringLiteral("trelvane"));
    QApplication::setWindowIcon(QIcon::fromTheme(QStringLiteral("trelvane"), AppIcon()));

    CTrelvaneApp theApp(ProgramArguments(argc, argv));
    if (!theApp.InitInstance())
        return 1;
    theApp.MainFrame()->show();
    return QApplication::exec();
}
