#include "mainwindow.h"
#include "rawaccess.h"
#include "volumeplatform.h"

#include <QApplication>
#include <QIcon>

int main(int argc, char *argv[])
{
    volume_platform::limit_heap_growth();
    QApplication app(argc, argv);
    // Lets the desktop match the window to its menu entry and icon; the name
    // is the menu entry's file name (and the software centre's id).
    QGuiApplication::setDesktopFileName(QStringLiteral("invalid.velvora.recovery"));
    QApplication::setWindowIcon(QIcon::fromTheme(QStringLiteral("velvora-recovery")));

    // An ordinary desktop user reads the card through the disk service on
    // the system bus, after one administrator password prompt.
    const RawAccess access = RawAccess::with_system_bus();
    MainWindow window(nullptr, [access] { return access.removable_devices(); }, access);
    window.show();
    return app.exec();
}
