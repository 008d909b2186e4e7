// How the results grid copes with a full card's worth of photos. Adds
// entries to the real window the way a scan does: one 160 by 107 thumbnail,
// distinct for every entry, handed to the feed that turns the scan's
// announcements into rows of the results model, after which the event loop
// lays out and paints the grid before the next one. Prints the total GUI
// time, the slowest single add and the memory the grid took per entry, each
// with its target.
//
//   velvora-bench-resultslist [ENTRIES]     (default 10000)

#include "mainwindow.h"
#include "resultsfeed.h"

#include <QApplication>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <QListView>
#include <QPainter>
#include <QStackedWidget>
#include <QTextStream>

#include <cstdio>

namespace {

// Resident set size now in KiB, from the kernel's VmRSS line; -1 where
// that is not available.
qint64 resident_kib()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

// A thumbnail no other entry has: its own colours and shapes.
QImage thumbnail(int n)
{
    QImage image(160, 107, QImage::Format_RGB32);
    image.fill(QColor::fromHsv(n * 37 % 360, 120 + n % 100, 140 + n % 110));
    QPainter painter(&image);
    painter.setPen(Qt::NoPen);
    for (int k = 0; k < 4; ++k) {
        painter.setBrush(QColor::fromHsv((n * 13 + k * 90) % 360, 200, 220));
        painter.drawEllipse(QPoint((n * 7 + k * 41) % 160, (n * 11 + k * 29) % 107), 10 + k * 4, 8 + k * 3);
    }
    painter.end();
    return image;
}

void report(const char *figure, double value, const char *unit, double target)
{
    std::printf("%-34s %10.2f %-3s target <= %g %s: %s\n", figure, value, unit, target, unit,
                value <= target ? "PASS" : "over");
}

} // namespace

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int entries = argc > 1 ? QString::fromLocal8Bit(argv[1]).toInt() : 10000;
    if (entries <= 0) {
        std::fprintf(stderr, "usage: velvora-bench-resultslist [ENTRIES]\n");
        return 2;
    }

    MainWindow window(nullptr, [] { return QMap<QString, RemovableDevice>(); });
    window.show();
    window.findChild<QStackedWidget *>(QStringLiteral("stackedWidget"))->setCurrentIndex(1);
    auto *list = window.findChild<QListView *>(QStringLiteral("listWidget_2"));
    auto *feed = window.findChild<ResultsFeed *>();
    const auto count = [list] { return list->model()->rowCount(); };
    const auto announce = [feed](qint64 offset, const QImage &image) {
        FoundFile file;
        file.image.offset = file.facts.offset = offset;
        file.image.length = file.facts.length = 4096;
        file.thumbnail = image;
        feed->take_found(file);
    };
    QCoreApplication::processEvents();

    // Warm up the style, the fonts and the paint path; the entries after
    // these count.
    for (int n = 0; n < 20; ++n)
        announce(qint64(n) * 512, thumbnail(n));
    QElapsedTimer warm_up;
    warm_up.start();
    while (count() < 20 && warm_up.elapsed() < 5000)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    QCoreApplication::processEvents();

    const qint64 rss_before = resident_kib();
    qint64 total_ns = 0;
    qint64 slot_ns = 0;
    qint64 slowest_ns = 0;
    int slowest_at = 0;
    QElapsedTimer clock;
    for (int n = 0; n < entries; ++n) {
        QImage image = thumbnail(n);
        clock.start();
        announce(qint64(n + 20) * 4096, image);
        image = QImage(); // the scan lets go of its thumbnail once announced
        slot_ns += clock.nsecsElapsed();
        QCoreApplication::processEvents();
        const qint64 ns = clock.nsecsElapsed();
        total_ns += ns;
        if (ns > slowest_ns) {
            slowest_ns = ns;
            slowest_at = n + 1;
        }
    }
    // The last photos enter the grid at once, as at the end of a scan.
    clock.start();
    feed->flush();
    QCoreApplication::processEvents();
    total_ns += clock.nsecsElapsed();
    const qint64 rss_after = resident_kib();

    // Ticking and unticking everything at once, and scrolling to the end.
    auto *select_all = window.findChild<QCheckBox *>(QStringLiteral("checkBox"));
    clock.start();
    select_all->setChecked(false);
    QCoreApplication::processEvents();
    select_all->setChecked(true);
    QCoreApplication::processEvents();
    const double select_all_ms = clock.nsecsElapsed() / 1e6 / 2;
    clock.start();
    list->scrollToBottom();
    list->viewport()->repaint();
    const double scroll_ms = clock.nsecsElapsed() / 1e6;

    std::printf("results grid: %d entries with distinct 160x107 thumbnails (%s)\n", count() - 20,
                qPrintable(QGuiApplication::platformName()));
    report("total GUI time of the adds", total_ns / 1e9, "s", 3);
    report("slowest single add", slowest_ns / 1e6, "ms", 50);
    std::printf("%-34s %10d\n", "  which was entry", slowest_at);
    std::printf("%-34s %10.3f ms\n", "mean add", total_ns / 1e6 / entries);
    std::printf("%-34s %10.3f ms\n", "  of which in the slot", slot_ns / 1e6 / entries);
    if (rss_before >= 0 && rss_after >= 0)
        report("memory added per entry", double(rss_after - rss_before) / entries, "KB", 80);
    else
        std::printf("memory added per entry: not measurable here (no /proc/self/status)\n");
    std::printf("%-34s %10.2f ms\n", "\"Select all\" over every entry", select_all_ms);
    std::printf("%-34s %10.2f ms\n", "scroll to the end and repaint", scroll_ms);
    return 0;
}
