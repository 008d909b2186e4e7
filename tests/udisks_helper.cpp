// Run by tst_udisks as an unprivileged user whose system bus carries the
// stand-in disk service: the wizard as main() builds it, offscreen, "Next" on
// NODE and, when the scan can run, "Restore..." of every photo into OUTDIR.
// Prints what happened as key=value lines.
//
//   velvora-udisks-helper NODE OUTDIR

#include "windowdriver.h"

#include "rawaccess.h"

#include <QDeadlineTimer>
#include <QDir>

#include <cstdio>

using namespace windowtest;

namespace {

void say(const char *key, const QString &value)
{
    std::printf("%s=%s\n", key, qPrintable(value));
    std::fflush(stdout);
}

void run_window(const QString &node, const QString &out_dir)
{
    const RawAccess access = RawAccess::with_system_bus();
    MainWindow window(nullptr, [access] { return access.removable_devices(); }, access);
    ModalAnswerer answers;
    say("listed", QString::number(pick_device(window, node)));
    QCoreApplication::processEvents();
    say("messages", QString::number(answers.seen.size()));
    if (!answers.seen.isEmpty())
        say("message", answers.seen.first().text.replace(QLatin1Char('\n'), QStringLiteral(" | ")));
    if (page_of(window) == scan_page) {
        const QDeadlineTimer deadline(120000);
        while (status_of(window) != QLatin1String("Scanning finished") && !deadline.hasExpired())
            QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        say("found", QString::number(child<QListWidget>(window, ui::results)->count()));
        answers.choose_directory(out_dir);
        click(window, ui::restore);
    }
    say("page", QString::number(page_of(window)));
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    if (argc != 3) {
        std::fputs("usage: velvora-udisks-helper NODE OUTDIR\n", stderr);
        return 2;
    }
    const QString node = QString::fromLocal8Bit(argv[1]);
    // what a plain open of the node gives this user, before any service is asked
    volume_platform::Failure failure = volume_platform::Failure::None;
    const volume_platform::Handle handle = volume_platform::open_read_only(node, &failure);
    if (handle != volume_platform::invalid_handle)
        volume_platform::close(handle);
    say("plain", volume_platform::failure_text(failure));
    run_window(node, QString::fromLocal8Bit(argv[2]));
    return 0;
}
