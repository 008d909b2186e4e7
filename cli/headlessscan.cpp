#include "headlessscan.h"

#include <QDir>
#include <QEventLoop>

HeadlessScan::HeadlessScan(const RemovableDevice &device, const QString &root_path, const QString &out_dir,
                           const RawAccess &access, QObject *parent)
    : QObject(parent)
    , device(device)
    , access(access)
    , root_path(root_path)
    , out_dir(out_dir)
    , live_progress(volume_platform::stderr_is_terminal())
{
    indexer.set_volume_opener(access.volume_opener());
    connect(&indexer, &FsIndexer::indexing_started, this, &HeadlessScan::on_indexing_started);
    connect(&indexer, &FsIndexer::processedItem, this, &HeadlessScan::on_processed);
    connect(&indexer, &FsIndexer::scanning_started, this, &HeadlessScan::on_scanning_started);
    connect(&indexer, &FsIndexer::scanning_progress, this, &HeadlessScan::on_progress);
    connect(&indexer, &FsIndexer::scanning_found, this, &HeadlessScan::on_found);
    connect(&indexer, &FsIndexer::scanning_unreadable, this, &HeadlessScan::on_unreadable);
    connect(&indexer, &FsIndexer::scanning_error, this, &HeadlessScan::on_error);
}

HeadlessScan::Summary HeadlessScan::run()
{
    indexer.known_crcs.clear();
    indexer.found_images.clear();
    indexer.device = device;
    const bool index = !root_path.isEmpty();
    if (index)
        indexer.set_root_path(root_path);
    indexer.set_index_existing(index);

    QEventLoop loop;
    // finished() is queued behind every signal of the run, so nothing is missed
    connect(&indexer, &QThread::finished, &loop, &QEventLoop::quit);
    redraw_clock.start();
    indexer.start();
    loop.exec();
    end_progress_line();

    summary.found = int(arrivals.size());
    write_photos();
    return summary;
}

void HeadlessScan::on_indexing_started()
{
    show_progress(QStringLiteral("Indexing existing files"), true);
}

void HeadlessScan::on_processed(int count)
{
    files_indexed = count;
    show_progress(QStringLiteral("Indexing existing files: %1").arg(count));
}

void HeadlessScan::on_scanning_started()
{
    scan_clock.start();
    show_progress(QStringLiteral("Scanning"), true);
}

void HeadlessScan::on_progress(qint64 sectors_done, qint64 sectors_total)
{
    last_done = sectors_done;
    last_total = sectors_total;
    if (!live_progress)
        return;
    const double fraction = sectors_total > 0 ? double(sectors_done) / double(sectors_total) : 0.0;
    const double seconds = qMax<qint64>(scan_clock.elapsed(), 1) / 1000.0;
    const double bytes = double(sectors_done) * double(qMax<quint32>(device.bytes_per_sector, 1));
    const double rate = bytes / seconds;
    QString left = QStringLiteral("--:--");
    if (fraction > 0.0 && fraction <= 1.0) {
        const qint64 remaining = qint64(seconds * (1.0 - fraction) / fraction);
        left = QStringLiteral("%1:%2").arg(remaining / 60).arg(remaining % 60, 2, 10, QLatin1Char('0'));
    }
    show_progress(QStringLiteral("Scanning %1%  %2 MB/s  %3 photos  %4 left")
                      .arg(fraction * 100.0, 0, 'f', 2)
                      .arg(rate / 1e6, 0, 'f', 1)
                      .arg(arrivals.size())
                      .arg(left),
                  sectors_done >= sectors_total);
}

void HeadlessScan::on_found(qint64 offset)
{
    arrivals.append(offset);
    // thumbnails are still being decoded after the last block was read; keep
    // the final line's photo count true
    if (last_total > 0 && last_done >= last_total)
        on_progress(last_done, last_total);
}

void HeadlessScan::on_unreadable(qint64 bytes)
{
    summary.unreadable_bytes = bytes;
}

void HeadlessScan::on_error()
{
    summary.source_failed = true;
    summary.source_error = indexer.error_text();
}

void HeadlessScan::write_photos()
{
    if (arrivals.isEmpty())
        return;
    if (!device.open(access)) {
        summary.failed = int(arrivals.size());
        return;
    }
    const QDir dir(out_dir);
    int number = 0;
    for (const qint64 offset : std::as_const(arrivals)) {
        const QString name = QString::asprintf("IMAGE_%04d.JPG", ++number);
        const FoundImage found = indexer.found_images.value(offset);
        if (found.partial)
            ++summary.partial;
        if (device.copy_extents_to_file(dir.filePath(name), found.extents()))
            ++summary.written;
        else
            ++summary.failed;
    }
    device.close();
}

void HeadlessScan::show_progress(const QString &line, bool force)
{
    if (!live_progress || (!force && redraw_clock.elapsed() < 100))
        return;
    redraw_clock.restart();
    std::fprintf(stderr, "\r%-72s", qPrintable(line));
    std::fflush(stderr);
    progress_shown = true;
}

void HeadlessScan::end_progress_line()
{
    if (!progress_shown)
        return;
    std::fprintf(stderr, "\n");
    progress_shown = false;
}
