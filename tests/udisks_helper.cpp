// Run by tst_udisks as an unprivileged user: reaches a device node through
// the disk service on the bus whose address it is given, the way the window
// and velvora-scan do with the system bus, and prints what happened as
// key=value lines.
//
//   velvora-udisks-helper probe ADDRESS NODE
//   velvora-udisks-helper scan ADDRESS NODE OUTDIR
//   velvora-udisks-helper window ADDRESS NODE OUTDIR   (the wizard, offscreen)

#include "headlessscan.h"
#include "windowdriver.h"
#include "rawaccess.h"
#include "removabledevice.h"
#include "volumeplatform.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QLabel>
#include <QDBusConnection>
#include <QDBusError>

#include <cstdio>

namespace {

void say(const char *key, const QString &value)
{
    std::printf("%s=%s\n", key, qPrintable(value));
    std::fflush(stdout);
}

// What a plain open of the node gives this user, before any service is asked.
void report_plain_open(const QString &node)
{
    volume_platform::Failure failure = volume_platform::Failure::None;
    const volume_platform::Handle handle = volume_platform::open_read_only(node, &failure);
    if (handle != volume_platform::invalid_handle)
        volume_platform::close(handle);
    say("plain", volume_platform::failure_text(failure));
}

RemovableDevice device_at(const QString &node)
{
    RemovableDevice device;
    device.raw_path = node;
    device.drive = node.mid(5);
    device.identity = volume_platform::identity_of(node);
    return device;
}

int probe(const RawAccess &access, const QString &node)
{
    report_plain_open(node);
    const RemovableDevice device = device_at(node);
    volume_platform::Failure failure = volume_platform::Failure::None;
    const bool available = device.is_available(access, &failure);
    say("available", QString::number(available));
    say("failure", volume_platform::failure_text(failure));
    return 0;
}

int scan(const RawAccess &access, const QString &node, const QString &out_dir)
{
    report_plain_open(node);
    RemovableDevice device = device_at(node);
    volume_platform::Failure failure = volume_platform::Failure::None;
    if (!device.open(access, &failure)) {
        say("failure", volume_platform::failure_text(failure));
        return 1;
    }
    const volume_platform::Geometry geometry = volume_platform::geometry(device.handle);
    device.close();
    device.size = geometry.size;
    device.bytes_per_sector = geometry.bytes_per_sector;
    device.sector_count = geometry.size / qMax<quint32>(geometry.bytes_per_sector, 1);

    HeadlessScan headless(device, QString(), out_dir, access);
    const HeadlessScan::Summary summary = headless.run();
    say("found", QString::number(summary.found));
    say("written", QString::number(summary.written));
    say("failed", QString::number(summary.failed));
    say("source_error", summary.source_error);
    return 0;
}

// The wizard listing through the service, "Next" on the node, and, when the
// scan can run, "Restore..." of every photo into out_dir.
int window(const RawAccess &access, const QString &node, const QString &out_dir)
{
    using namespace windowtest;
    MainWindow window(nullptr, [access] { return access.removable_devices(); }, access);
    ModalAnswerer answers;
    say("listed", QString::number(pick_device(window, node)));
    QCoreApplication::processEvents();
    say("messages", QString::number(answers.seen.size()));
    if (!answers.seen.isEmpty())
        say("message", answers.seen.first().text.replace(QLatin1Char('\n'), QStringLiteral(" | ")));
    if (page_of(window) != scan_page) {
        say("page", QString::number(page_of(window)));
        return 0;
    }
    const QDeadlineTimer deadline(120000);
    while (status_of(window) != QLatin1String("Scanning finished") && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    say("found", QString::number(child<QListWidget>(window, ui::results)->count()));
    answers.choose_directory(out_dir);
    click(window, ui::restore);
    say("page", QString::number(page_of(window)));
    say("written", QString::number(QDir(out_dir).entryList(QDir::Files).size()));
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    if (arguments.size() < 4) {
        std::fputs("usage: velvora-udisks-helper probe|scan|window ADDRESS NODE [OUTDIR]\n", stderr);
        return 2;
    }
    const QDBusConnection bus = QDBusConnection::connectToBus(arguments[2], QStringLiteral("velvora-test-bus"));
    if (!bus.isConnected()) {
        std::fprintf(stderr, "cannot connect to %s: %s\n", qPrintable(arguments[2]),
                     qPrintable(bus.lastError().message()));
        return 2;
    }
    const RawAccess access(bus);
    if (arguments[1] == QLatin1String("probe"))
        return probe(access, arguments[3]);
    if (arguments[1] == QLatin1String("scan") && arguments.size() == 5)
        return scan(access, arguments[3], arguments[4]);
    if (arguments[1] == QLatin1String("window") && arguments.size() == 5)
        return window(access, arguments[3], arguments[4]);
    return 2;
}
