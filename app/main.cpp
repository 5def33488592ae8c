#include "mainframe.h"
#include "trelvaneapp.h"

#include <QApplication>
#include <QIcon>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("trelvane"));
    QApplication::setDesktopFileName(QStringLiteral("trelvane"));
    QApplication::setWindowIcon(QIcon::fromTheme(QStringLiteral("trelvane"), AppIcon()));

    CTrelvaneApp theApp(QApplication::arguments());
    if (!theApp.InitInstance())
        return 1;
    theApp.MainFrame()->show();
    return QApplication::exec();
}
