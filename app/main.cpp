#include "mainframe.h"
#include "trelvaneapp.h"

#include <QApplication>
#include <QIcon>

int main(int argc, char* argv[])
{
    // The program takes a file name and no options. Qt sees the program's
    // name alone, so that a file called "-reverse" or "-style" is opened
    // instead of being taken as one of Qt's own options; Qt's settings stay
    // available through its environment variables (QT_QPA_PLATFORM,
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
