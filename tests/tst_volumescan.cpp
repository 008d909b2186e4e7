// The scan object: its signal sequences, a run and a resumed run, what it
// keeps out, failing cards (bad sectors, a device that goes away, slow
// reads, real sector reads), and its thumbnail queue.

#include "alignedbuffer.h"
#include "blockreader.h"
#include "cameracard.h"
#include "faultyvolume.h"
#include "jpegcarver.h"
#include "jpegcoefficientmemory.h"
#include "carvingvolume.h"
#include "rawvolume.h"
#include "scanrateestimator.h"
#include "testsupport.h"
#include "thumbnailqueue.h"
#include "volumescan.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>


using testsupport::FaultyVolume;

namespace {

constexpr qint64 kib = 1024;
constexpr qint64 mib = 1024 * kib;
constexpr qint64 block = BlockReader::block_size;

// Everything one run of a scan said, in order.
struct Run
{
    QStringList events;
    QList<qint64> found;
    QList<QImage> thumbnails;
    QList<FoundFile> files;
    QList<QPair<qint64, qint64>> progress;
    QString file_system_failure; // why the file system could not be read, when it was said
    ScanSummary summary;

    int count(const QString &event) const { return int(events.count(event)); }
    // The events without the found images and without repeats.
    QStringList shape() const
    {
        QStringList out;
        for (const QString &e : events)
            if (e != QLatin1String("found") && (out.isEmpty() || out.last() != e))
                out.append(e);
        return out;
    }
};

QString outcome_name(ScanSummary::Outcome outcome)
{
    switch (outcome) {
    case ScanSummary::Outcome::Completed:
        return QStringLiteral("completed");
    case ScanSummary::Outcome::Stopped:
        return QStringLiteral("stopped");
    case ScanSummary::Outcome::Failed:
        return QStringLiteral("failed");
    }
    return QString();
}

// Runs the scan to its end; while_running is called right after the start.
Run run_scan(VolumeScan &scan, const std::function<void()> &while_running = {})
{
    Run run;
    QObject context;
    QObject::connect(&scan, &VolumeScan::indexing_started, &context, [&] { run.events.append(QStringLiteral("indexing")); });
    QObject::connect(&scan, &VolumeScan::indexing_progress, &context, [&](int i) {
        run.events.append(QStringLiteral("indexed"));
        QCOMPARE(i, run.count(QStringLiteral("indexed")));
    });
    QObject::connect(&scan, &VolumeScan::indexing_finished, &context, [&](bool completed) {
        run.events.append(completed ? QStringLiteral("indexing_done") : QStringLiteral("indexing_stopped"));
    });
    QObject::connect(&scan, &VolumeScan::raw_scan_started, &context, [&] { run.events.append(QStringLiteral("raw")); });
    QObject::connect(&scan, &VolumeScan::progress, &context, [&](qint64 i, qint64 j) {
        run.events.append(QStringLiteral("progress"));
        run.progress.append({i, j});
    });
    QObject::connect(&scan, &VolumeScan::found, &context, [&](const FoundFile &file) {
        run.events.append(QStringLiteral("found"));
        run.found.append(file.image.offset);
        run.thumbnails.append(file.thumbnail);
        run.files.append(file);
    });
    QObject::connect(&scan, &VolumeScan::file_system_unreadable, &context, [&](const QString &why) {
        run.events.append(QStringLiteral("file_system_unreadable"));
        run.file_system_failure = why;
    });
    QObject::connect(&scan, &VolumeScan::finished, &context, [&](const ScanSummary &summary) {
        run.events.append(outcome_name(summary.outcome));
        run.summary = summary;
    });
    QObject::connect(&scan, &VolumeScan::ended, &context, [&] { run.events.append(QStringLiteral("ended")); });
    [&] { QVERIFY(scan.start()); }();
    if (while_running)
        while_running();
    [&] { QVERIFY(scan.wait(120000)); }();
    QCoreApplication::processEvents(); // deliver what the run queued
    [&] { QCOMPARE(run.events.last(), QStringLiteral("ended")); }();
    run.events.removeLast();
    return run;
}

QByteArray photo(int seed, int width = 320, int height = 240)
{
    return testsupport::qt_jpeg(testsupport::make_picture(width, height, seed));
}

QByteArray volume_with(qint64 size, const QList<QPair<qint64, QByteArray>> &content)
{
    QByteArray bytes(size, 0);
    for (const auto &[offset, photo] : content)
        bytes.replace(offset, photo.size(), photo);
    return bytes;
}

// A tiny photo whose last scan's entropy data is shorter than the carver's
// 64-byte minimum, padded by a comment segment to fill whole sectors: placed
// to end where a gap begins, nothing but the gap follows it.
QByteArray photo_filling_sectors()
{
    QImage picture(16, 16, QImage::Format_RGB32);
    picture.fill(QColor(42, 90, 160));
    const QByteArray jpeg = testsupport::qt_jpeg(picture);
    return testsupport::with_segment_first(jpeg, 0xFE, QByteArray((512 - (jpeg.size() + 4) % 512) % 512, 'x'));
}

// A failing card: its first photo ends where bad sectors begin (or runs
// into them), its second lies 4 KiB after them.
struct Failing
{
    qint64 size = 0, gap_from = 0, gap_length = 0;
    qint64 gone_from = -1; // -1: the device stays
    bool short_reads = false, cut_first = false, second_found = true;
    const char *end = "completed";
    qint64 unreadable = 0;
};

} // namespace

Q_DECLARE_METATYPE(Failing)

class TestVolumeScan : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void signal_sequences_data();
    void signal_sequences();
    void stop_right_after_start_is_never_lost();
    void progress_in_the_devices_sectors();
    void resumed_scan_finds_the_rest_data();
    void resumed_scan_finds_the_rest();
    void what_is_kept_out();
    void failing_cards_data();
    void failing_cards();
    void stop_takes_effect_between_slow_sector_reads();
    void sector_reads_of_a_block_device_bypass_the_cache();
    void thumbnails_in_order_with_streams_beyond_the_memory_budget();
    void speed_and_time_left_data();
    void speed_and_time_left();
    void time_left_within_a_factor_of_two_data();
    void time_left_within_a_factor_of_two();
    void card_file_system_data();
    void card_file_system();

private:
    QTemporaryDir dir;
    QTemporaryDir root; // the card's files, as its mount point shows them
    testsupport::CameraCard camera; // a FAT32 card with live and deleted photos
    QString camera_error;
    const QByteArray a = photo(30), b = photo(31);
};

void TestVolumeScan::initTestCase()
{
    QVERIFY(testsupport::write_file(root.filePath(QStringLiteral("A.JPG")), a));
    QVERIFY(testsupport::write_file(root.filePath(QStringLiteral("B.JPG")), b));
    QVERIFY(testsupport::write_file(dir.filePath(QStringLiteral("card.img")),
                                    volume_with(12 * mib, {{0, a}, {8 * mib + 512, b}})));
    QVERIFY(testsupport::write_file(dir.filePath(QStringLiteral("empty.img")), {}));
    camera.make(testsupport::CameraCard::Fat32, dir.path(), &camera_error);
}

void TestVolumeScan::card_file_system_data()
{
    QTest::addColumn<int>("kind");     // the camera card's
    QTest::addColumn<int>("read_ms");  // every read of the card takes this long
    QTest::addColumn<int>("limit_ms"); // the file system's time limit
    QTest::addColumn<QString>("said"); // what file_system_unreadable says; null when it does not come
    using testsupport::CameraCard;
    QTest::newRow("read: live photos indexed from it, deleted ones named")
        << int(CameraCard::Fat32) << 0 << 20000 << QString();
    QTest::newRow("too slow to read in time: the raw scan finds every photo")
        << int(CameraCard::Fat32) << 150 << 100 << QStringLiteral("The file system reader took too long.");
    QTest::newRow("thousands of live entries on one chain: its bytes read once")
        << int(CameraCard::SharedChain) << 0 << 20000 << QString();
}

// Unmounted, the live photos are indexed through the card's file system;
// when it cannot be read in time the scan goes on raw and says so once.
// However many entries list them, the card's bytes are read a few times at
// most: for its file system, its live photos and the raw scan.
void TestVolumeScan::card_file_system()
{
    QFETCH(int, kind);
    QFETCH(int, read_ms);
    QFETCH(int, limit_ms);
    QFETCH(QString, said);
    if (!camera_error.isEmpty())
        QSKIP(qPrintable(camera_error));
    testsupport::CameraCard crafted;
    if (kind != testsupport::CameraCard::Fat32 && !crafted.make(testsupport::CameraCard::Kind(kind), dir.path(), &camera_error))
        QSKIP(qPrintable(camera_error));
    const testsupport::CameraCard &camera = kind == testsupport::CameraCard::Fat32 ? this->camera : crafted;
    auto *volume = new FaultyVolume(testsupport::read_file(camera.image));
    const auto bytes_read = volume->bytes_read;
    const qint64 card_size = QFileInfo(camera.image).size();
    volume->every_read_ms = read_ms;
    RemovableDevice device;
    ScanOptions options;
    volume->scan_with(device, options);
    options.file_system_time_limit_ms = limit_ms;
    VolumeScan scan(device, options);
    const Run run = run_scan(scan);
    QCOMPARE(run.count(QStringLiteral("file_system_unreadable")), said.isNull() ? 0 : 1);
    QCOMPARE(run.file_system_failure, said);
    const int listed = int(camera.live.size()) + (kind == testsupport::CameraCard::SharedChain ? camera.crafted_entries : 0);
    QCOMPARE(run.count(QStringLiteral("indexed")), said.isNull() ? listed : 0);
    const int deleted = int(camera.named.size() + camera.unnamed.size());
    QCOMPARE(run.found.size(), said.isNull() ? deleted : deleted + int(camera.live.size()));
    QCOMPARE(run.summary.named, said.isNull() ? int(camera.named.size()) : 0);
    QCOMPARE(run.summary.found, run.found.size());
    QCOMPARE_LE(bytes_read->load(), 3 * card_size);
    // each photo once, with the name, folder and times of its entry where the card keeps them
    for (const FoundFile &file : run.files) {
        QCOMPARE(file.image.origin.name, file.facts.origin.name);
        QCOMPARE(file.image.offset, file.facts.offset);
        QCOMPARE(file.image.length, file.facts.length);
        QCOMPARE(file.image.kind, MediaKind::JpegPhoto);
        if (file.image.origin.is_known())
            QVERIFY(file.image.origin.modified.isValid());
    }
}

void TestVolumeScan::signal_sequences_data()
{
    QTest::addColumn<QString>("source");
    QTest::addColumn<bool>("index");
    QTest::addColumn<QString>("hook"); // what the test does when the first of these signals comes
    QTest::addColumn<QStringList>("shape");
    QTest::addColumn<int>("found");
    // a raw volume holds no file system: said once, before the index
    const QStringList indexed{"file_system_unreadable", "indexing", "indexed", "indexing_done", "raw"};
    const QStringList raw{"file_system_unreadable", "raw"};
    QTest::newRow("raw scan only") << "card.img" << false << "" << raw + QStringList{"progress", "completed"} << 2;
    QTest::newRow("existing files indexed") << "card.img" << true << "" << indexed + QStringList{"progress", "completed"} << 0;
    QTest::newRow("stop while indexing: the file under way is entered, the volume not read")
        << "card.img" << true << "stop on item"
        << QStringList{"file_system_unreadable", "indexing", "indexed", "indexing_stopped", "raw", "stopped"} << 0;
    QTest::newRow("skip after the first file: indexing done, the raw scan in full")
        << "card.img" << true << "skip on item" << indexed + QStringList{"progress", "completed"} << 1;
    QTest::newRow("stop in the raw scan: after the current block")
        << "card.img" << false << "stop on progress" << raw + QStringList{"progress", "stopped"} << 1;
    QTest::newRow("no such volume") << "missing.img" << true << "" << indexed.mid(1) + QStringList{"failed"} << 0;
    QTest::newRow("a folder is no volume") << "." << false << "" << QStringList{"raw", "failed"} << 0;
    QTest::newRow("empty volume") << "empty.img" << false << "" << raw + QStringList{"completed"} << 0;
}

void TestVolumeScan::signal_sequences()
{
    QFETCH(QString, source);
    QFETCH(bool, index);
    QFETCH(QString, hook);
    QFETCH(QStringList, shape);
    QFETCH(int, found);
    ScanOptions options;
    options.root_path = root.path();
    options.index_existing = index;
    VolumeScan scan(testsupport::image_file_device(dir.filePath(source)), options);
    if (hook == QLatin1String("stop on item"))
        connect(&scan, &VolumeScan::indexing_progress, &scan, [&scan] { scan.stop(); }, Qt::DirectConnection);
    if (hook == QLatin1String("skip on item"))
        connect(&scan, &VolumeScan::indexing_progress, &scan, [&scan] { scan.skip_existing_files(); },
                Qt::DirectConnection);
    if (hook == QLatin1String("stop on progress"))
        connect(&scan, &VolumeScan::progress, &scan, [&scan] { scan.stop(); }, Qt::DirectConnection);
    const Run run = run_scan(scan);
    QCOMPARE(run.shape(), shape);
    QCOMPARE(run.found.size(), found);
    QCOMPARE(run.summary.found, found);
    QList<qint64> kept;
    for (const FoundImage &image : scan.files_found())
        kept.append(image.offset);
    QCOMPARE(kept, run.found);
    QCOMPARE(run.count(QStringLiteral("indexed")), hook.endsWith(QLatin1String("item")) ? 1 : index ? 2 : 0);
    QCOMPARE(run.progress.size(), hook == QLatin1String("stop on progress") ? 1 : run.progress.size());
    QCOMPARE(run.summary.error.isEmpty(), shape.last() != QLatin1String("failed"));
    // a scan runs once
    QVERIFY(!scan.start());
    QVERIFY(!scan.is_running());
}

void TestVolumeScan::stop_right_after_start_is_never_lost()
{
    VolumeScan scan(testsupport::image_file_device(dir.filePath(QStringLiteral("card.img"))), ScanOptions());
    QCOMPARE(run_scan(scan, [&] { scan.stop(); }).events.last(), QStringLiteral("stopped"));
}

void TestVolumeScan::progress_in_the_devices_sectors()
{
    VolumeScan scan(testsupport::image_file_device(dir.filePath(QStringLiteral("card.img")), 2048), ScanOptions());
    QCOMPARE(run_scan(scan).progress, (QList<QPair<qint64, qint64>>{{2048, 6144}, {4096, 6144}, {6144, 6144}}));
}

void TestVolumeScan::resumed_scan_finds_the_rest_data()
{
    QTest::addColumn<qint64>("straddling"); // where a third photo lies across the first block's end; -1: none
    QTest::addColumn<qint64>("resume_at");
    QTest::newRow("stopped between photos: on from the next block") << qint64(-1) << block;
    QTest::newRow("stopped inside a photo: on from its start") << block - 2048 << block - 2048;
}

// A scan stopped after its first block, then resumed from where it said:
// together they find every photo once, and the second offers none of the
// first's again.
void TestVolumeScan::resumed_scan_finds_the_rest()
{
    QFETCH(qint64, straddling);
    QFETCH(qint64, resume_at);
    const QByteArray c = photo(32, 640, 480);
    QList<QPair<qint64, QByteArray>> content{{0, a}, {8 * mib + 512, b}, {10 * mib, a}};
    if (straddling >= 0)
        content.append({straddling, c});
    const QString image = dir.filePath(QStringLiteral("resume.img"));
    QVERIFY(testsupport::write_file(image, volume_with(12 * mib, content)));
    ScanOptions options;
    options.index_existing = false;
    VolumeScan first(testsupport::image_file_device(image), options);
    connect(&first, &VolumeScan::progress, &first, [&first] { first.stop(); }, Qt::DirectConnection);
    const Run stopped = run_scan(first);
    QCOMPARE(stopped.found, QList<qint64>{0});
    QCOMPARE(first.resume_point().offset, resume_at);

    options.resume = first.resume_point();
    VolumeScan second(testsupport::image_file_device(image), options);
    const Run rest = run_scan(second);
    QCOMPARE(rest.events.last(), QStringLiteral("completed"));
    QList<qint64> expected{8 * mib + 512}; // the repeat of the first photo is not offered again
    if (straddling >= 0)
        expected.prepend(straddling);
    QCOMPARE(rest.found, expected);
    QCOMPARE(rest.progress.first().first, (resume_at + block) / 512);
    QCOMPARE(second.files_found().size(), 1 + expected.size());
    QCOMPARE(second.resume_point().offset, 12 * mib);
}

// Files still on the card (under names that are and are not indexed), a
// repeat, a stream no decoder accepts and a tiny photo. Every file whose last
// suffix is JPG, JPEG, JPE or JFIF is indexed, in hidden folders too.
void TestVolumeScan::what_is_kept_out()
{
    QList<QByteArray> photos;
    QList<QPair<qint64, QByteArray>> content;
    for (int i = 0; i < 11; ++i) {
        photos.append(photo(10 + i));
        content.append({i * 64 * kib, photos.last()});
    }
    QByteArray broken = photo(41); // the marker structure stays, the Huffman tables are ruined
    const int dht = broken.indexOf(QByteArray("\xFF\xC4", 2));
    QVERIFY(dht > 0);
    broken.replace(dht + 5, 20, QByteArray(20, char(0xEE)));
    content += QList<QPair<qint64, QByteArray>>{{11 * 64 * kib, broken}, {12 * 64 * kib, photos[0]}, {13 * 64 * kib, photo(42, 8, 8)}};
    QTemporaryDir files;
    QDir(files.path()).mkpath(QStringLiteral("DCIM/100CAMERA"));
    QDir(files.path()).mkpath(QStringLiteral(".hidden"));
    const QList<QPair<const char *, QByteArray>> named{
        {"DCIM/100CAMERA/PHOTO.JPG", photos[0]}, {"photo.jpeg", photos[1]}, {"a.JpG", photos[2]},
        {"photo.backup.jpg", photos[3]}, {"PXL_20260101_120000.PORTRAIT.jpg", photos[4]}, {"x.jfif", photos[5]},
        {"y.JPE", photos[6]}, {".hidden/HIDDEN.JPG", photos[7]}, {".secret.jpg", photos[8]},
        {"jpg", photos[9]}, {"notes.txt", "text"},
        {"TRAILER.JPG", photos[10] + QByteArray(3000, 'T')}}; // a trailer after the end of image
    for (const auto &[name, bytes] : named)
        QVERIFY(testsupport::write_file(files.filePath(QLatin1String(name)), bytes));
    QVERIFY(QFile::link(files.filePath(QStringLiteral("x.jfif")), files.filePath(QStringLiteral("LINK.JPG"))));
    const QString image = dir.filePath(QStringLiteral("index.img"));
    QVERIFY(testsupport::write_file(image, volume_with(1 * mib, content)));

    ScanOptions options;
    options.root_path = files.path();
    VolumeScan scan(testsupport::image_file_device(image), options);
    const Run run = run_scan(scan);
    QCOMPARE(run.count(QStringLiteral("indexed")), int(named.size())); // everything but the link
    QCOMPARE(run.found, (QList<qint64>{9 * 64 * kib, 13 * 64 * kib}));
    QCOMPARE(run.thumbnails.last().size(), QSize(160, 107)); // the tiny one scaled up too
    options.index_existing = false; // a scan without the index offers them all again, the repeat once
    options.thumbnail_pixel_ratio = 2; // for a high-density screen, in its pixels
    VolumeScan again_scan(testsupport::image_file_device(image), options);
    const Run again = run_scan(again_scan);
    QCOMPARE(again.found.size(), 12);
    QCOMPARE(again.thumbnails.last().size(), QSize(320, 214));
}

void TestVolumeScan::failing_cards_data()
{
    QTest::addColumn<Failing>("card");
    QTest::newRow("bad region in the first block")
        << Failing{.size = 2 * block + mib, .gap_from = mib, .gap_length = 64 * kib, .unreadable = 64 * kib};
    QTest::newRow("bad region in the last, short block")
        << Failing{.size = 2 * block + mib, .gap_from = 2 * block + 256 * kib, .gap_length = 64 * kib, .unreadable = 64 * kib};
    QTest::newRow("short reads, then errors")
        << Failing{.size = 2 * block, .gap_from = 2 * mib, .gap_length = 8 * kib, .short_reads = true, .unreadable = 8 * kib};
    QTest::newRow("a photo running into bad sectors comes out as its top part")
        << Failing{.size = 2 * block, .gap_from = mib, .gap_length = 1536, .cut_first = true, .unreadable = 1536};
    // the block is being read again sector by sector when the card goes
    QTest::newRow("device gone mid-block") << Failing{.size = 3 * block, .gap_from = block + 512 * kib, .gap_length = 4 * kib,
                                                      .gone_from = block + 2 * mib, .end = "failed", .unreadable = 4 * kib};
    QTest::newRow("device gone at a block")
        << Failing{.size = 3 * block, .gap_from = mib, .gap_length = 0, .gone_from = 2 * block, .end = "failed"};
    QTest::newRow("every read fails over 16 MiB: the device is gone")
        << Failing{.size = 8 * block, .gap_from = 2 * block, .gap_length = 5 * block, .second_found = false,
                   .end = "failed", .unreadable = 16 * mib};
}

// The photos before and after the unreadable sectors are found at their
// offsets, and the run ends as the card does.
void TestVolumeScan::failing_cards()
{
    QFETCH(Failing, card);
    const QByteArray first = card.cut_first ? a : photo_filling_sectors();
    const qint64 last_scan = first.lastIndexOf(QByteArray("\xFF\xDA", 2));
    QVERIFY2(card.cut_first || first.size() - last_scan - 2 - ((uchar(first[last_scan + 2]) << 8) | uchar(first[last_scan + 3]))
                 < JpegCarver::entropy_scan_minimum,
             "the photo before the gap must end within the carver's entropy minimum");
    const qint64 first_at = card.cut_first ? card.gap_from - 4 * kib : card.gap_from - first.size();
    const qint64 second_at = card.gap_from + card.gap_length + 4 * kib;
    auto *volume = new FaultyVolume(volume_with(card.size, {{first_at, first}, {second_at, b}}));
    volume->bad_from = card.gap_length > 0 ? card.gap_from : -1;
    volume->bad_to = card.gap_from + card.gap_length;
    volume->gone_from = card.gone_from;
    volume->short_reads = card.short_reads;
    RemovableDevice device;
    ScanOptions options;
    volume->scan_with(device, options);
    VolumeScan scan(device, options);
    const Run run = run_scan(scan);

    QList<qint64> found = run.found; // a photo's top part is announced once the scan is past it
    std::sort(found.begin(), found.end());
    QCOMPARE(found, (card.second_found ? QList<qint64>{first_at, second_at} : QList<qint64>{first_at}));
    const QString end = QLatin1String(card.end);
    QCOMPARE(run.events.last(), end);
    QCOMPARE(run.count(end), 1);
    QCOMPARE(run.summary.unreadable_bytes, card.unreadable);
    QCOMPARE(run.summary.error.isEmpty(), end == QLatin1String("completed"));
    QCOMPARE(run.progress.last().first == run.progress.last().second, end == QLatin1String("completed"));
}

void TestVolumeScan::stop_takes_effect_between_slow_sector_reads()
{
    // the second block fails as a whole, and every failing sector takes 20 ms:
    // reading it sector by sector would take almost three minutes
    auto *volume = new FaultyVolume(volume_with(3 * block, {{64 * kib, a}}));
    volume->bad_from = block;
    volume->bad_to = 2 * block;
    volume->failing_read_ms = 20;
    const auto failed_reads = volume->failed_reads;
    RemovableDevice device;
    ScanOptions options;
    volume->scan_with(device, options);
    VolumeScan scan(device, options);
    QElapsedTimer clock;
    const Run run = run_scan(scan, [&] {
        QTRY_VERIFY_WITH_TIMEOUT(*failed_reads >= 5, 10000);
        clock.start();
        scan.stop();
        QVERIFY(scan.wait(1000));
    });
    QVERIFY2(clock.elapsed() < 1000, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(run.found, QList<qint64>{64 * kib});
    QCOMPARE(run.events.last(), QStringLiteral("stopped"));
    // the failed whole-block read, then one read per failing sector
    QCOMPARE(run.summary.unreadable_bytes, qint64(*failed_reads - 1) * 512);
}

// Direct sector reads of a loop device, the ordinary read where direct I/O
// refuses an offset, and reads at explicit positions.
void TestVolumeScan::sector_reads_of_a_block_device_bypass_the_cache()
{
    QByteArray bytes(4 * mib, '\0');
    for (qsizetype i = 0; i < bytes.size(); ++i)
        bytes[i] = char((i / 512 * 7 + i) & 0xFF);
    const QString image = dir.filePath(QStringLiteral("sectors.img"));
    QVERIFY(testsupport::write_file(image, bytes));
    const QString why_not = testsupport::loop_unavailable_reason();
    if (!why_not.isEmpty())
        QSKIP(qPrintable(why_not));
    testsupport::LoopDevice loop;
    QVERIFY(loop.attach(image, {QStringLiteral("-r")}));
    const std::unique_ptr<RawVolume> volume = RawVolume::open(loop.node);
    QVERIFY(volume);
    const AlignedBuffer buffer(8 * kib);
    for (const qint64 offset : {qint64(0), 3 * 512 + mib, 4 * mib - 512, qint64(100)}) {
        QCOMPARE(volume->read_sector_at(offset, buffer.data(), 512), qint64(512));
        QCOMPARE(QByteArray(buffer.data(), 512), bytes.mid(offset, 512));
    }
    QCOMPARE(volume->read_sector_at(4 * mib, buffer.data(), 512), qint64(0));
    volume->seek(5); // whatever the shared position says
    QCOMPARE(volume->read_at(mib, buffer.data(), 8 * kib), 8 * kib);
    QCOMPARE(QByteArray(buffer.data(), 8 * kib), bytes.mid(mib, 8 * kib));

    // a descriptor that cannot be opened again (one from the disk service) is
    // switched to direct I/O for the read and back again
    const volume_platform::Handle handle = volume_platform::open_read_only(loop.node);
    const auto close = qScopeGuard([handle] { volume_platform::close(handle); });
    QCOMPARE(volume_platform::read_unbuffered_at(handle, 2 * mib, buffer.data(), 512), qint64(512));
    QCOMPARE(QByteArray(buffer.data(), 512), bytes.mid(2 * mib, 512));
    QCOMPARE(volume_platform::read_at(handle, 7, buffer.data() + 1, 600), qint64(600));
    QCOMPARE(QByteArray(buffer.data() + 1, 600), bytes.mid(7, 600));
}

// Progressive photos that together need more coefficient memory than the
// decoders may hold, one that alone needs more than all of it, a sequential
// one and one cut inside its frame header: every result comes back, in order;
// the one no budget can decode comes back without a thumbnail, marked so.
void TestVolumeScan::thumbnails_in_order_with_streams_beyond_the_memory_budget()
{
    const auto progressive = [](const QImage &picture, const QString &sampling = QStringLiteral("2x2,1x1,1x1")) {
        return testsupport::cjpeg(picture, {QStringLiteral("-progressive"), QStringLiteral("-sample"), sampling});
    };
    // A decoder's coefficient memory depends on the picture's size only: plain pictures encode and decode fast.
    const auto plain = [&](int width, int height) {
        QImage picture(width, height, QImage::Format_RGB32);
        picture.fill(Qt::darkCyan);
        return progressive(picture, QStringLiteral("1x1,1x1,1x1"));
    };
    const QByteArray cut = progressive(testsupport::make_picture(640, 480, 3));
    const QList<QByteArray> streams{plain(4096, 2560), photo(2), plain(4096, 2560), plain(5120, 3584), // 60, 60, 105 MiB
                                    cut.left(cut.indexOf(QByteArray("\xFF\xC2", 2)) + 9)};
    QVERIFY(ThumbnailQueue::decoder_memory(streams[3]) > 100 * 1024 * 1024);
    ThumbnailQueue queue;
    for (int i = 0; i < streams.size(); ++i)
        queue.submit(i * mib, streams.at(i).constData(), streams.at(i).size());
    const QList<ThumbnailQueue::Result> results = queue.take_all();
    QCOMPARE(results.size(), streams.size());
    for (int i = 0; i < results.size(); ++i) {
        QCOMPARE(results.at(i).offset, i * mib);
        QCOMPARE(results.at(i).length, streams.at(i).size());
        QCOMPARE(results.at(i).thumbnail.size(), i >= 3 ? QSize(0, 0) : ThumbnailQueue::thumbnail_size);
        QCOMPARE(results.at(i).too_large_to_preview, i == 3);
    }
    // The coefficient buffers are kept for the next decode, within their
    // bound: decoding a photo again takes the buffer its last decode left,
    // zeroed where its scans refine, so the picture comes out the same.
    QVERIFY(JpegCoefficientMemory::held_bytes() <= JpegCoefficientMemory::retained_limit);
    const QByteArray kept = progressive(testsupport::make_picture(1600, 1200, 3), QStringLiteral("1x1,1x1,1x1"));
    const QImage first = ThumbnailQueue::decode(kept).thumbnail;
    const qint64 held = JpegCoefficientMemory::held_bytes();
    QVERIFY(!first.isNull() && held >= ThumbnailQueue::decoder_memory(kept));
    QVERIFY(held <= JpegCoefficientMemory::retained_limit);
    QCOMPARE(ThumbnailQueue::decode(kept).thumbnail, first);
    QCOMPARE(JpegCoefficientMemory::held_bytes(), held);
}

// Samples are (seconds into the scan, MB read by then); the speed is that of
// the last ten seconds after the first three, and none before.
void TestVolumeScan::speed_and_time_left_data()
{
    QTest::addColumn<qint64>("total_mb");
    QTest::addColumn<QList<qint64>>("samples");
    QTest::addColumn<double>("mb_per_s"); // negative: no estimate yet
    QTest::addColumn<qint64>("left"); // negative: none (no speed, or not steady yet)
    QTest::newRow("warming up") << qint64(1000) << QList<qint64>{1, 40, 2, 80} << -1.0 << qint64(-1);
    QList<qint64> slowing; // 100 MB/s for 10 s, then 10 MB/s for 20 s
    for (qint64 s = 1; s <= 30; ++s)
        slowing << s << (s <= 10 ? s * 100 : 1000 + (s - 10) * 10);
    QTest::newRow("a card that slows down") << qint64(3000) << slowing << 10.0 << qint64(180);
    QTest::newRow("blocks seconds apart, at the end") << qint64(1200) << QList<qint64>{15, 600, 22, 900, 30, 1200} << 40.0 << qint64(0);
}

void TestVolumeScan::speed_and_time_left()
{
    QFETCH(qint64, total_mb);
    QFETCH(QList<qint64>, samples);
    QFETCH(double, mb_per_s);
    QFETCH(qint64, left);
    ScanRateEstimator estimator;
    estimator.start(total_mb * 1000000, 0);
    for (int i = 0; i + 1 < samples.size(); i += 2)
        estimator.update(samples.at(i + 1) * 1000000, samples.at(i) * 1000);
    if (mb_per_s >= 0)
        QCOMPARE(estimator.bytes_per_second().value_or(-1e6) / 1e6, mb_per_s);
    QCOMPARE(estimator.seconds_left().value_or(-1), left);
}

// Whole scans at a given speed each second (MB/s), read in blocks of block_ms:
// once a fifth is read, every time left shown is within a factor of two of
// the real one, and one is shown for most of the rest of a steady scan.
void TestVolumeScan::time_left_within_a_factor_of_two_data()
{
    QTest::addColumn<QList<double>>("speeds");
    QTest::addColumn<int>("block_ms");
    QTest::addColumn<double>("shown_share"); // of the updates after a fifth, at least
    QTest::newRow("13 s at 80 MB/s") << QList<double>(13, 80.0) << 50 << 0.6;
    QList<double> cached{400, 400};
    cached += QList<double>(28, 40.0);
    QTest::newRow("a cache, then 40 MB/s") << cached << 100 << 0.5;
    QList<double> slowing(20, 30.0);
    slowing += QList<double>(40, 15.0);
    QTest::newRow("halves its speed a third in") << slowing << 140 << 0.4;
    QList<double> quicker(20, 10.0);
    quicker += QList<double>(40, 40.0);
    QTest::newRow("speeds up a third in") << quicker << 100 << 0.4;
    QList<double> long_cache(3, 300.0);
    long_cache += QList<double>(40, 20.0);
    QTest::newRow("a cache of three seconds") << long_cache << 100 << 0.5;
    QList<double> bursts;
    for (int s = 0; s < 60; ++s)
        bursts << (s % 4 < 2 ? 60.0 : 10.0);
    QTest::newRow("bursts every two seconds") << bursts << 120 << 0.3;
    QTest::newRow("slow blocks, 2 s apart") << QList<double>(120, 2.0) << 2000 << 0.5;
}

void TestVolumeScan::time_left_within_a_factor_of_two()
{
    QFETCH(QList<double>, speeds);
    QFETCH(int, block_ms);
    QFETCH(double, shown_share);
    const auto bytes_at = [&](qint64 ms) { // read by ms into the scan
        double bytes = 0;
        for (int s = 0; s < speeds.size() && s * 1000 < ms; ++s)
            bytes += speeds.at(s) * 1e6 * qMin<qint64>(1000, ms - s * 1000) / 1000.0;
        return qint64(bytes);
    };
    const qint64 end_ms = speeds.size() * 1000, total = bytes_at(end_ms);
    ScanRateEstimator estimator;
    estimator.start(total, 0);
    int updates = 0, shown = 0;
    for (qint64 ms = block_ms; ms < end_ms; ms += block_ms) {
        estimator.update(bytes_at(ms), ms);
        const std::optional<qint64> left = estimator.seconds_left();
        QVERIFY(ms >= ScanRateEstimator::warm_up_ms || !left);
        if (bytes_at(ms) * 5 < total)
            continue;
        ++updates;
        if (!left)
            continue;
        ++shown;
        const double real = (end_ms - ms) / 1000.0;
        QVERIFY2(*left <= 2 * real + 1 && 2 * *left + 1 >= real,
                 qPrintable(QStringLiteral("at %1 ms: %2 s left shown, %3 s real").arg(ms).arg(*left).arg(real)));
    }
    QVERIFY2(shown >= shown_share * updates, qPrintable(QStringLiteral("shown %1 of %2").arg(shown).arg(updates)));
}

QTEST_GUILESS_MAIN(TestVolumeScan)
#include "tst_volumescan.moc"
