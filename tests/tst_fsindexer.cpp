#include "faultyvolume.h"
#include "fsindexer.h"
#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using testsupport::FaultyImage;
using Failure = volume_platform::Failure;

namespace {

constexpr qint64 mib = 1024 * 1024;

// Everything one run of the worker said, in order.
struct Run
{
    QStringList events;
    QList<qint64> found;
    QList<QImage> thumbnails;
    QList<QPair<qint64, qint64>> progress;
    qint64 unreadable = -1;

    int count(const QString &event) const { return int(events.count(event)); }
    // The events without the found images and without repeats.
    QStringList shape() const
    {
        QStringList out;
        for (const QString &e : events) {
            if (e != QLatin1String("found") && (out.isEmpty() || out.last() != e))
                out.append(e);
        }
        return out;
    }
};

Run run_scan(FsIndexer &indexer)
{
    indexer.found_images.clear();
    Run run;
    QObject context;
    const std::pair<void (FsIndexer::*)(), const char *> plain_signals[] = {
        {&FsIndexer::started, "started"}, {&FsIndexer::indexing_started, "indexing_started"},
        {&FsIndexer::indexing_stopped, "indexing_stopped"}, {&FsIndexer::indexing_done, "indexing_done"},
        {&FsIndexer::scanning_started, "scanning_started"}, {&FsIndexer::scanning_stopped, "scanning_stopped"},
        {&FsIndexer::scanning_done, "scanning_done"}, {&FsIndexer::scanning_error, "scanning_error"}};
    for (const auto &[signal, name] : plain_signals)
        QObject::connect(&indexer, signal, &context, [&run, name = name] { run.events.append(QLatin1String(name)); });
    QObject::connect(&indexer, &FsIndexer::processedItem, &context, [&](int i) {
        run.events.append(QStringLiteral("processedItem"));
        QCOMPARE(i, run.count(QStringLiteral("processedItem")));
    });
    QObject::connect(&indexer, &FsIndexer::scanning_progress, &context, [&](qint64 i, qint64 j) {
        run.events.append(QStringLiteral("progress"));
        run.progress.append({i, j});
    });
    QObject::connect(&indexer, &FsIndexer::scanning_found, &context, [&](qint64 i, const QImage &image) {
        run.events.append(QStringLiteral("found"));
        run.found.append(i);
        run.thumbnails.append(image);
    });
    QObject::connect(&indexer, &FsIndexer::scanning_unreadable, &context, [&](qint64 i) {
        run.events.append(QStringLiteral("unreadable"));
        run.unreadable = i;
    });
    indexer.start();
    [&] { QVERIFY(indexer.wait(120000)); }();
    QCoreApplication::processEvents(); // deliver what the run queued
    return run;
}

RemovableDevice device_for(const QString &image, quint32 bytes_per_sector = 512)
{
    RemovableDevice device;
    device.raw_path = image;
    device.size = QFileInfo(image).size();
    device.bytes_per_sector = bytes_per_sector;
    device.sector_count = device.size / bytes_per_sector;
    return device;
}

QByteArray photo(int seed, int width = 320, int height = 240)
{
    return testsupport::qt_jpeg(testsupport::make_picture(width, height, seed));
}

} // namespace

class TestFsIndexer : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void signal_sequences_data();
    void signal_sequences();
    void stop_right_after_start_is_never_lost();
    void progress_offsets_and_thumbnails();
    void existing_files_are_kept_out();
    void repeats_and_undecodable_streams_are_dropped();
    void faulty_media_data();
    void faulty_media();

private:
    // A volume image: photos at the given offsets, zeros elsewhere.
    QString volume(const QString &name, qint64 size, const QList<QPair<qint64, QByteArray>> &content);

    QTemporaryDir dir;
    QTemporaryDir root; // the card's files, as its mount point shows them
    const QByteArray a = photo(30), b = photo(31);
};

QString TestFsIndexer::volume(const QString &name, qint64 size, const QList<QPair<qint64, QByteArray>> &content)
{
    QByteArray bytes(size, 0);
    for (const auto &[offset, photo] : content)
        bytes.replace(offset, photo.size(), photo);
    const QString path = dir.filePath(name);
    testsupport::write_file(path, bytes);
    return path;
}

void TestFsIndexer::initTestCase()
{
    QVERIFY(testsupport::write_file(root.filePath(QStringLiteral("A.JPG")), a));
    QVERIFY(testsupport::write_file(root.filePath(QStringLiteral("B.JPG")), b));
    volume(QStringLiteral("card.img"), 12 * mib, {{0, a}, {8 * mib + 512, b}});
    volume(QStringLiteral("empty.img"), 0, {});
}

void TestFsIndexer::signal_sequences_data()
{
    QTest::addColumn<QString>("source");
    QTest::addColumn<bool>("index");
    QTest::addColumn<QString>("hook"); // what the test does when the first of these signals comes
    QTest::addColumn<QStringList>("shape");
    QTest::addColumn<int>("found");
    const QStringList indexed{"started", "indexing_started", "processedItem", "indexing_done", "scanning_started"};
    QTest::newRow("raw scan only") << "card.img" << false << ""
                                   << QStringList{"started", "scanning_started", "progress", "scanning_done"} << 2;
    QTest::newRow("existing files indexed") << "card.img" << true << "" << indexed + QStringList{"progress", "scanning_done"} << 0;
    QTest::newRow("stop while indexing: the file under way is entered, the volume not read")
        << "card.img" << true << "stop on item"
        << QStringList{"started", "indexing_started", "processedItem", "indexing_stopped", "scanning_started",
                       "scanning_stopped"}
        << 0;
    QTest::newRow("skip after the first file: indexing done, the raw scan in full")
        << "card.img" << true << "skip on item" << indexed + QStringList{"progress", "scanning_done"} << 1;
    QTest::newRow("stop in the raw scan: after the current block")
        << "card.img" << false << "stop on progress"
        << QStringList{"started", "scanning_started", "progress", "scanning_stopped"} << 1;
    QTest::newRow("no such volume") << "missing.img" << true << "" << indexed + QStringList{"scanning_error"} << 0;
    QTest::newRow("a folder is no volume") << "." << false << ""
                                           << QStringList{"started", "scanning_started", "scanning_error"} << 0;
    QTest::newRow("empty volume") << "empty.img" << false << ""
                                  << QStringList{"started", "scanning_started", "scanning_done"} << 0;
}

void TestFsIndexer::signal_sequences()
{
    QFETCH(QString, source);
    QFETCH(bool, index);
    QFETCH(QString, hook);
    QFETCH(QStringList, shape);
    QFETCH(int, found);
    FsIndexer indexer;
    indexer.device = device_for(dir.filePath(source));
    indexer.set_root_path(root.path());
    indexer.set_index_existing(index);
    if (hook == QLatin1String("stop on item"))
        connect(&indexer, &FsIndexer::processedItem, &indexer, [&indexer] { indexer.stop(); }, Qt::DirectConnection);
    if (hook == QLatin1String("skip on item"))
        connect(&indexer, &FsIndexer::processedItem, &indexer, [&indexer] { indexer.set_index_existing(false); },
                Qt::DirectConnection);
    if (hook == QLatin1String("stop on progress"))
        connect(&indexer, &FsIndexer::scanning_progress, &indexer, [&indexer] { indexer.stop(); }, Qt::DirectConnection);
    for (int round = 0; round < 2; ++round) { // the worker is reused: nothing of one run stays for the next
        const Run run = run_scan(indexer);
        QCOMPARE(run.shape(), shape);
        QCOMPARE(run.found.size(), found);
        QCOMPARE(indexer.found_images.keys(), run.found);
        QCOMPARE(run.count(QStringLiteral("processedItem")), hook.endsWith(QLatin1String("item")) ? 1 : index ? 2 : 0);
        QCOMPARE(run.progress.size(), hook == QLatin1String("stop on progress") ? 1 : run.progress.size());
        QCOMPARE(indexer.error_text().isEmpty(), shape.last() != QLatin1String("scanning_error"));
        indexer.set_index_existing(index);
    }
}

void TestFsIndexer::stop_right_after_start_is_never_lost()
{
    FsIndexer indexer;
    indexer.device = device_for(dir.filePath(QStringLiteral("card.img")));
    QSignalSpy stopped(&indexer, &FsIndexer::scanning_stopped);
    indexer.start();
    indexer.stop();
    QVERIFY(indexer.wait(60000));
    QCOMPARE(stopped.size(), 1);
}

void TestFsIndexer::progress_offsets_and_thumbnails()
{
    const QByteArray portrait = photo(2, 240, 320);
    const QString image = volume(QStringLiteral("two.img"), 9 * mib, {{5 * mib + 512, portrait}, {4096, a}});
    FsIndexer indexer;
    indexer.device = device_for(image);
    Run run = run_scan(indexer);
    QCOMPARE(run.progress, (QList<QPair<qint64, qint64>>{{8192, 18432}, {16384, 18432}, {18432, 18432}}));
    QCOMPARE(run.found, (QList<qint64>{4096, 5 * mib + 512}));
    QCOMPARE(indexer.found_images.value(4096).length, a.size());
    QCOMPARE(indexer.found_images.value(5 * mib + 512).length, portrait.size());
    for (const QImage &thumbnail : run.thumbnails)
        QCOMPARE(thumbnail.size(), QSize(160, 107));
    // every found image comes after the progress of the block it lies in
    QVERIFY(run.events.indexOf(QStringLiteral("found")) > run.events.indexOf(QStringLiteral("progress")));

    indexer.device = device_for(image, 2048); // progress is counted in the device's sectors
    run = run_scan(indexer);
    QCOMPARE(run.progress.first(), (QPair<qint64, qint64>{2048, 4608}));
    QCOMPARE(run.progress.last(), (QPair<qint64, qint64>{4608, 4608}));
}

void TestFsIndexer::existing_files_are_kept_out()
{
    // Eight photos on the volume; the root holds files with some of them under
    // names that are and are not indexed.
    QList<QByteArray> photos;
    QList<QPair<qint64, QByteArray>> content;
    for (int i = 0; i < 8; ++i) {
        photos.append(photo(10 + i));
        content.append({qint64(i) * 65536, photos.last()});
    }
    QTemporaryDir files;
    QDir(files.path()).mkpath(QStringLiteral("DCIM/100CAMERA"));
    QDir(files.path()).mkpath(QStringLiteral(".hidden"));
    const QList<QPair<QString, QByteArray>> named{
        {QStringLiteral("DCIM/100CAMERA/PHOTO.JPG"), photos[0]},
        {QStringLiteral("photo.jpeg"), photos[1]},
        {QStringLiteral("a.JpG"), photos[2]},
        {QStringLiteral("photo.backup.jpg"), photos[3]}, // complete suffix BACKUP.JPG
        {QStringLiteral("photo.jfif"), photos[4]},
        {QStringLiteral(".hidden/HIDDEN.JPG"), photos[5]},
        {QStringLiteral(".secret.jpg"), photos[5]},
        {QStringLiteral("jpg"), photos[6]},
        {QStringLiteral("notes.txt"), QByteArray("text")},
        {QStringLiteral("TRAILER.JPG"), photos[7] + QByteArray(3000, 'T')}, // a trailer after the end-of-image marker
    };
    for (const auto &[name, bytes] : named)
        QVERIFY(testsupport::write_file(files.filePath(name), bytes));
    QVERIFY(QFile::link(files.filePath(QStringLiteral("photo.jfif")), files.filePath(QStringLiteral("LINK.JPG"))));

    FsIndexer indexer;
    indexer.device = device_for(volume(QStringLiteral("index.img"), 1 * mib, content));
    indexer.set_root_path(files.path());
    indexer.set_index_existing(true);
    const Run run = run_scan(indexer);
    QCOMPARE(run.count(QStringLiteral("processedItem")), 8); // everything but the hidden files and the link
    QCOMPARE(run.found, (QList<qint64>{3 * 65536, 4 * 65536, 5 * 65536, 6 * 65536}));
    indexer.set_index_existing(false); // the next run without the index offers them all again
    QCOMPARE(run_scan(indexer).found.size(), 8);
}

void TestFsIndexer::repeats_and_undecodable_streams_are_dropped()
{
    QByteArray broken = photo(41);
    // The marker structure stays, the Huffman tables are ruined: carved, and rejected by the decoder.
    const int dht = broken.indexOf(QByteArray("\xFF\xC4", 2));
    QVERIFY(dht > 0);
    for (int i = dht + 5; i < dht + 25; ++i)
        broken[i] = char(0xEE);
    const QByteArray tiny = testsupport::qt_jpeg(testsupport::make_picture(8, 8, 42));
    FsIndexer indexer;
    indexer.device = device_for(volume(QStringLiteral("dupes.img"), 2 * mib,
                                       {{0, broken}, {65536, a}, {131072, broken}, {196608, a}, {262144, tiny}}));
    const Run run = run_scan(indexer);
    QCOMPARE(run.found, (QList<qint64>{65536, 262144}));
    QCOMPARE(run.thumbnails.last().size(), QSize(160, 107)); // scaled up too
}

void TestFsIndexer::faulty_media_data()
{
    QTest::addColumn<qint64>("size");
    QTest::addColumn<qint64>("bad_from");
    QTest::addColumn<qint64>("bad_to");
    QTest::addColumn<int>("kind");
    QTest::addColumn<QList<qint64>>("found");
    QTest::addColumn<QString>("ending");
    QTest::addColumn<qint64>("unreadable"); // -1: none reported
    // Photo a lies before the bad region in the same block, b across it, c after it (over b's tail,
    // so found behind b's start however b ends).
    const qint64 bad_from = 4 * mib + 64 * 1024, bad_to = bad_from + 3 * 512;
    QTest::newRow("bad sectors are skipped") << 10 * mib << bad_from << bad_to << int(Failure::Io)
                                             << QList<qint64>{4 * mib, 4 * mib + 60 * 1024, bad_to + 1536}
                                             << "scanning_done" << 3 * 512LL; // b as its top part
    QTest::newRow("the device goes away") << 40 * mib << 8 * mib << (1LL << 50) << int(Failure::DeviceGone)
                                          << QList<qint64>{4 * mib, bad_to + 1536} << "scanning_error" << -1LL;
    QTest::newRow("every read fails over 16 MiB") << 40 * mib << 8 * mib << (1LL << 50) << int(Failure::Io)
                                                  << QList<qint64>{4 * mib, bad_to + 1536} << "scanning_error" << 16 * mib;
}

void TestFsIndexer::faulty_media()
{
    QFETCH(qint64, size);
    QFETCH(qint64, bad_from);
    QFETCH(qint64, bad_to);
    QFETCH(int, kind);
    QFETCH(QList<qint64>, found);
    QFETCH(QString, ending);
    QFETCH(qint64, unreadable);
    const QByteArray c = photo(62);
    FsIndexer indexer;
    indexer.device = device_for(volume(QStringLiteral("faulty.img"), size,
                                       {{4 * mib, a}, {4 * mib + 60 * 1024, b}, {4 * mib + 64 * 1024 + 3 * 512 + 1536, c}}));
    indexer.set_volume_opener(FaultyImage::opener({bad_from, bad_to, Failure(kind)}));
    const Run run = run_scan(indexer);
    QList<qint64> offsets = run.found; // a photo's top part is announced once the scan is past it
    std::sort(offsets.begin(), offsets.end());
    QCOMPARE(offsets, found);
    QCOMPARE(run.events.last(), ending);
    QCOMPARE(run.count(ending), 1);
    QCOMPARE(run.unreadable, unreadable);
    if (ending == QLatin1String("scanning_done")) {
        QCOMPARE(run.events.at(run.events.size() - 2), QStringLiteral("unreadable"));
        QCOMPARE(run.progress.last().first, run.progress.last().second); // read to the end
    } else {
        QVERIFY(!indexer.error_text().isEmpty());
        QVERIFY(run.progress.last().first < run.progress.last().second);
    }
}

QTEST_GUILESS_MAIN(TestFsIndexer)
#include "tst_fsindexer.moc"
