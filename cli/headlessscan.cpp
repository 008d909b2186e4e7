#include "headlessscan.h"

#include <QDir>
#include <QEventLoop>
#include <QTimer>

#include <cstdio>

namespace {

// Without a root folder the live files come from the file system itself.
ScanOptions scan_options(const QString &root_path, const RawAccess &access, const QList<MediaKind> &kinds,
                         ScanOptions::FoundHandler handler)
{
    ScanOptions options;
    options.root_path = root_path;
    options.kinds = kinds;
    options.open_volume = access.volume_opener();
    options.found_handler = std::move(handler);
    return options;
}

} // namespace

HeadlessScan::HeadlessScan(const RemovableDevice &device, const QString &root_path, const QString &out_dir,
                           const RawAccess &access, const QList<MediaKind> &kinds, QObject *parent)
    : QObject(parent)
    , device(device)
    , access(access)
    , root_path(root_path)
    , out_dir(out_dir)
    , recovery(device.raw_path)
    , scan(device, scan_options(root_path, access, kinds,
                                [this](const FoundImage &image, const QByteArray &bytes, const PhotoFacts &facts) {
                                    write_photo(image, bytes, facts);
                                }))
    , live_progress(volume_platform::stderr_is_terminal())
{
    connect(&scan, &VolumeScan::indexing_started, this, &HeadlessScan::on_indexing_started);
    connect(&scan, &VolumeScan::indexing_progress, this, &HeadlessScan::on_processed);
    connect(&scan, &VolumeScan::raw_scan_started, this, &HeadlessScan::on_scanning_started);
    connect(&scan, &VolumeScan::progress, this, [this](qint64 done, qint64 total) {
        sectors_total.store(total, std::memory_order_relaxed);
        sectors_read.store(done, std::memory_order_release);
    }, Qt::DirectConnection);
    connect(&scan, &VolumeScan::found, this, &HeadlessScan::on_found);
    connect(&scan, &VolumeScan::finished, this, &HeadlessScan::on_finished);
    // What the results lack when the card's file system fails them, said as it happens.
    const auto note = [this](const QString &text) {
        end_progress_line();
        std::fprintf(stderr, "velvora-scan: %s\n", qPrintable(text));
    };
    // Said when a file system is there but cannot be used; a raw image has none to speak of.
    connect(&scan, &VolumeScan::file_system_unreadable, this, [this, note](const QString &why) {
        if (why.isEmpty())
            return;
        const QString unsorted = this->root_path.isEmpty()
            ? QStringLiteral(", and photos still on it as files are written too")
            : QString();
        note(QStringLiteral("the file system of %1 could not be read: %2 Photos come back without their "
                            "original names%3.")
                 .arg(this->device.raw_path, why, unsorted));
    });
    connect(&scan, &VolumeScan::existing_files_incomplete, this, note);
}

HeadlessScan::~HeadlessScan()
{
    scan.stop();
    scan.wait();
}

RecoverySession::Refusal HeadlessScan::open_output()
{
    return recovery.open_folder(out_dir, true);
}

HeadlessScan::Summary HeadlessScan::run()
{
    QEventLoop loop;
    // ended() is queued behind every signal of the run, so nothing is missed
    connect(&scan, &VolumeScan::ended, &loop, &QEventLoop::quit);
    QTimer interrupt_poll;
    connect(&interrupt_poll, &QTimer::timeout, this, &HeadlessScan::check_interrupt);
    interrupt_poll.start(50);
    redraw_clock.start();
    scan.start();
    check_interrupt();
    loop.exec();
    // a stop that cut the last video short may come after the last poll
    check_interrupt();
    refresh_progress();
    end_progress_line();
    sync_written();

    summary.counts = recovery.counts();
    // sectors that failed only when a file was copied are unreadable too
    summary.unreadable_bytes += summary.counts.unreadable_in_copies;
    summary.skipped = photos_skipped;
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
    rate.start(device.sector_count * qMax<quint32>(device.bytes_per_sector, 1), 0);
    show_progress(QStringLiteral("Scanning"), true);
}

void HeadlessScan::on_progress(qint64 sectors_done, qint64 sectors_total)
{
    last_done = sectors_done;
    last_total = sectors_total;
    if (!live_progress)
        return;
    const double fraction = sectors_total > 0 ? double(sectors_done) / double(sectors_total) : 0.0;
    rate.update(sectors_done * qMax<quint32>(device.bytes_per_sector, 1), scan_clock.elapsed());
    const std::optional<double> speed = rate.bytes_per_second();
    const std::optional<qint64> remaining = rate.seconds_left();
    QString left = QStringLiteral("--:--");
    if (remaining)
        left = QStringLiteral("%1:%2").arg(*remaining / 60).arg(*remaining % 60, 2, 10, QLatin1Char('0'));
    show_progress(QStringLiteral("Scanning %1%  %2 MB/s  %3 photos  %4 left")
                      .arg(fraction * 100.0, 0, 'f', 2)
                      .arg(speed ? QString::number(*speed / 1e6, 'f', 1) : QStringLiteral("--"))
                      .arg(arrivals.size())
                      .arg(left),
                  sectors_done >= sectors_total);
}

void HeadlessScan::on_found(const FoundFile &file)
{
    arrivals.append(file.image.offset);
    // thumbnails are still being decoded after the last block was read; keep
    // the final line's photo count true
    if (last_total > 0 && last_done >= last_total)
        on_progress(last_done, last_total);
}

void HeadlessScan::on_finished(const ScanSummary &scan_summary)
{
    summary.unreadable_bytes = scan_summary.unreadable_bytes;
    if (scan_summary.outcome == ScanSummary::Outcome::Failed) {
        summary.source_failed = true;
        summary.source_error = scan_summary.error;
    }
}

void HeadlessScan::refresh_progress()
{
    const qint64 done = sectors_read.load(std::memory_order_acquire);
    if (done != last_done && scan_clock.isValid()) // the scan's start is shown first
        on_progress(done, sectors_total.load(std::memory_order_relaxed));
}

void HeadlessScan::check_interrupt()
{
    refresh_progress();
    if (!summary.interrupted && volume_platform::interrupted()) {
        summary.interrupted = true;
        scan.stop();
    }
}

// Runs on the worker thread, before the photo is announced.
void HeadlessScan::write_photo(const FoundImage &image, const QByteArray &stream, const PhotoFacts &facts)
{
    // Every photo is named as it is found, chosen or not: a photo has the same name whatever was chosen.
    recovery.name_of(image);
    // A JPEG photo's EXIF date was read by the scan from the same bytes;
    // the writer gives it to the file as its time.
    const std::optional<QDateTime> taken = image.kind == MediaKind::JpegPhoto && !stream.isEmpty()
        ? std::optional<QDateTime>(facts.exif.date_taken())
        : std::nullopt;
    const bool by_day = filter.since.isValid() || filter.until.isValid();
    const QDateTime date = by_day
        ? PhotoFilter::date_of(taken ? *taken : ExifInfo(stream).date_taken(), image.origin.modified)
        : QDateTime();
    if (!filter.accepts(image.length, date.date(), PhotoFilter::kind_of(image.kind))) {
        ++photos_skipped;
        return;
    }
    const bool by_place = stream.isEmpty() && image.length > 0;
    report_failure(by_place ? copy_from_source(image) : recovery.write(image, stream, taken));
    if (recovery.unsynced() >= sync_batch || recovery.unsynced_bytes() >= sync_bytes)
        sync_written();
}

// A file too long to hold (a video) is read from the source in chunks as it
// is written, and checked against the CRC-32 the scan took; sectors that
// cannot be read are zeros (and counted), a stop fails the file.
PhotoWriter::Result HeadlessScan::copy_from_source(const FoundImage &image)
{
    if (!source)
        source.emplace(device.raw_path, access);
    // A stop does not wait for the rest of a video of gigabytes: that file
    // fails. Photos are finished, as those with their bytes in hand are.
    if (image.kind != MediaKind::Video)
        return recovery.copy(image, source->handle());
    return recovery.copy(image, source->handle(), [] { return !volume_platform::interrupted(); });
}

void HeadlessScan::sync_written()
{
    for (const PhotoWriter::Result &result : recovery.sync()) {
        report_failure(result);
        if (result.outcome != PhotoWriter::Outcome::Failed && result.unreadable_bytes > 0)
            std::fprintf(stderr, "velvora-scan: %s: %lld bytes could not be read from the card and are written as zeros\n",
                         qPrintable(result.name), static_cast<long long>(result.unreadable_bytes));
    }
}

void HeadlessScan::report_failure(const PhotoWriter::Result &result)
{
    if (result.outcome == PhotoWriter::Outcome::Failed)
        std::fprintf(stderr, "velvora-scan: %s: %s\n", qPrintable(result.asked),
                     qPrintable(PhotoWriter::failure_text(result.failure)));
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
