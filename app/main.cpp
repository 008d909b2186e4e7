#include "mainwindow.h"

#include <QApplication>
#include <QIcon>
#include <QLoggingCategory>

int main(int argc, char *argv[])
{
    // The worker's slots follow the on_ naming but are connected by hand;
    // the form's connect-by-name would warn about each of them.
    QLoggingCategory::setFilterRules(QStringLiteral("qt.core.qmetaobject.connectslotsbyname=false"));
    QApplication app(argc, argv);
    // Lets the desktop match the window to velvora-recovery.desktop and its icon.
    QGuiApplication::setDesktopFileName(QStringLiteral("velvora-recovery"));
    QApplication::setWindowIcon(QIcon::fromTheme(QStringLiteral("velvora-recovery")));

    MainWindow window;
    window.show();
    return app.exec();
}
