#include "fsindexer.h"
#include "rawvolume.h"
#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

namespace {

constexpr qint64 mib = 1024 * 1024;

// A real image file whose reads fail over one region, as a card with bad
// sectors does: any request touching the region fails as a whole.
class FaultyVolume : public VolumeSource
{
public:
    FaultyVolume(std::unique_ptr<RawVolume> inner, qint64 bad_from, qint64 bad_to, volume_platform::Failure kind)
        : inner(std::move(inner)), bad_from(bad_from), bad_to(bad_to), kind(kind)
    {
    }
    qint64 read(char *buffer, qint64 count) override
    {
        if (position < bad_to && position + count > bad_from) {
            failure = kind;
            return -1;
        }
        const qint64 n = inner->read(buffer, count);
        failure = inner->last_failure();
        if (n > 0)
            position += n;
        return n;
    }
    bool seek(qint64 offset) override
    {
        position = offset;
        return inner->seek(offset);
    }
    volume_platform::Failure last_failure() const override { return failure; }

private:
    std::unique_ptr<RawVolume> inner;
    qint64 position = 0;
    qint64 bad_from;
    qint64 bad_to;
    volume_platform::Failure kind;
    volume_platform::Failure failure = volume_platform::Failure::None;
};

// Everything one run of the worker said, in order.
struct Run
{
    QStringList events;
    QList<qint64> found;
    QList<QImage> thumbnails;
    QList<QPair<qint64, qint64>> progress;
    qint64 unreadable = -1;

    int count(const QString &event) const { return int(events.count(event)); }
    // The events without the repeated ones, for comparing sequences.
    QStringList shape() const
    {
        QStringList out;
        for (const QString &e : events) {
            if (out.isEmpty() || out.last() != e)
                out.append(e);
        }
        return out;
    }
};

Run run_scan(FsIndexer &indexer)
{
    Run run;
    QObject context;
    const auto log = [&](const char *name) { return [&run, name] { run.events.append(QLatin1String(name)); }; };
    QObject::connect(&indexer, &FsIndexer::processedItem, &context, [&](int i) {
        run.events.append(QStringLiteral("processedItem"));
        QCOMPARE(i, run.count(QStringLiteral("processedItem")));
    });
    QObject::connect(&indexer, &FsIndexer::started, &context, log("started"));
    QObject::connect(&indexer, &FsIndexer::indexing_started, &context, log("indexing_started"));
    QObject::connect(&indexer, &FsIndexer::indexing_stopped, &context, log("indexing_stopped"));
    QObject::connect(&indexer, &FsIndexer::indexing_done, &context, log("indexing_done"));
    QObject::connect(&indexer, &FsIndexer::scanning_started, &context, log("scanning_started"));
    QObject::connect(&indexer, &FsIndexer::scanning_stopped, &context, log("scanning_stopped"));
    QObject::connect(&indexer, &FsIndexer::scanning_done, &context, log("scanning_done"));
    QObject::connect(&indexer, &FsIndexer::scanning_error, &context, log("scanning_error"));
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

// A volume image: photos at the given offsets, zeros elsewhere.
QString make_volume(const QTemporaryDir &dir, const QString &name, qint64 size,
                    const QList<QPair<qint64, QByteArray>> &content)
{
    QByteArray volume(size, 0);
    for (const auto &[offset, bytes] : content)
        volume.replace(offset, bytes.size(), bytes);
    const QString path = dir.filePath(name);
    testsupport::write_file(path, volume);
    return path;
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
    void raw_scan_without_index();
    void index_phase_keeps_existing_files_out();
    void stop_and_skip();
    void volume_that_cannot_be_read();
    void acceptance_drops_repeats_and_undecodable_streams();
    void second_scan_starts_afresh();
    void unreadable_sectors_are_skipped();
    void device_that_goes_away();

private:
    QTemporaryDir dir;
};

void TestFsIndexer::raw_scan_without_index()
{
    const QByteArray a = photo(1), b = photo(2, 240, 320); // one portrait
    const QString image = make_volume(dir, QStringLiteral("two.img"), 9 * mib, {{5 * mib + 512, b}, {4096, a}});
    FsIndexer indexer;
    indexer.device = device_for(image);
    indexer.set_index_existing(false);
    Run run = run_scan(indexer);

    QCOMPARE(run.events.first(), QStringLiteral("started"));
    QCOMPARE(run.count(QStringLiteral("indexing_started")) + run.count(QStringLiteral("processedItem")), 0);
    QCOMPARE(run.events.at(1), QStringLiteral("scanning_started"));
    QCOMPARE(run.events.last(), QStringLiteral("scanning_done"));
    QCOMPARE(run.progress, (QList<QPair<qint64, qint64>>{{8192, 18432}, {16384, 18432}, {18432, 18432}}));
    QCOMPARE(run.found, (QList<qint64>{4096, 5 * mib + 512}));
    QCOMPARE(indexer.found_images.size(), 2);
    QCOMPARE(indexer.found_images.value(4096).length, a.size());
    QCOMPARE(indexer.found_images.value(5 * mib + 512).length, b.size());
    for (const QImage &thumbnail : run.thumbnails)
        QCOMPARE(thumbnail.size(), QSize(160, 107));
    // every found image comes after the progress of the block it lies in
    QVERIFY(run.events.indexOf(QStringLiteral("found")) > run.events.indexOf(QStringLiteral("progress")));

    // Progress is counted in the device's sectors.
    indexer.device = device_for(image, 2048);
    indexer.found_images.clear();
    run = run_scan(indexer);
    QCOMPARE(run.progress.first(), (QPair<qint64, qint64>{2048, 4608}));
    QCOMPARE(run.progress.last(), (QPair<qint64, qint64>{4608, 4608}));

    // An empty volume: straight from the start of the scan to its end.
    indexer.device = device_for(make_volume(dir, QStringLiteral("empty.img"), 0, {}));
    run = run_scan(indexer);
    QCOMPARE(run.events, (QStringList{"started", "scanning_started", "scanning_done"}));
}

void TestFsIndexer::index_phase_keeps_existing_files_out()
{
    // The volume holds eight photos; the root holds files with some of them
    // under names that are and are not indexed.
    QList<QByteArray> photos;
    QList<QPair<qint64, QByteArray>> content;
    for (int i = 0; i < 8; ++i) {
        photos.append(photo(10 + i));
        content.append({qint64(i) * 65536, photos.last()});
    }
    // A photo whose file carries a trailer after its end-of-image marker.
    const QByteArray with_trailer = photos[7] + QByteArray(3000, 'T');
    const QString image = make_volume(dir, QStringLiteral("index.img"), 1 * mib, content);

    QTemporaryDir root;
    QDir(root.path()).mkpath(QStringLiteral("DCIM/100CAMERA"));
    QDir(root.path()).mkpath(QStringLiteral(".hidden"));
    const QList<QPair<QString, QByteArray>> files{
        {QStringLiteral("DCIM/100CAMERA/PHOTO.JPG"), photos[0]},
        {QStringLiteral("photo.jpeg"), photos[1]},
        {QStringLiteral("a.JpG"), photos[2]},
        {QStringLiteral("photo.backup.jpg"), photos[3]}, // complete suffix BACKUP.JPG
        {QStringLiteral("photo.jfif"), photos[4]},
        {QStringLiteral(".hidden/HIDDEN.JPG"), photos[5]},
        {QStringLiteral(".secret.jpg"), photos[5]},
        {QStringLiteral("jpg"), photos[6]},
        {QStringLiteral("notes.txt"), QByteArray("text")},
        {QStringLiteral("TRAILER.JPG"), with_trailer},
    };
    for (const auto &[name, bytes] : files)
        QVERIFY(testsupport::write_file(root.filePath(name), bytes));
    QVERIFY(QFile::link(root.filePath(QStringLiteral("photo.jfif")), root.filePath(QStringLiteral("LINK.JPG"))));

    FsIndexer indexer;
    indexer.device = device_for(image);
    indexer.set_root_path(root.path());
    indexer.set_index_existing(true);
    const Run run = run_scan(indexer);

    QCOMPARE(run.shape(), (QStringList{"started", "indexing_started", "processedItem", "indexing_done",
                                       "scanning_started", "progress", "found", "scanning_done"}));
    // Listed: everything but the hidden files and the link.
    QCOMPARE(run.count(QStringLiteral("processedItem")), 8);
    // Offered: the photos whose files were not indexed.
    QCOMPARE(run.found, (QList<qint64>{3 * 65536, 4 * 65536, 5 * 65536, 6 * 65536}));

    // An empty root: the phase ends at once.
    QTemporaryDir empty_root;
    indexer.set_root_path(empty_root.path());
    indexer.found_images.clear();
    const Run empty = run_scan(indexer);
    QCOMPARE(empty.events.mid(0, 4),
             (QStringList{"started", "indexing_started", "indexing_done", "scanning_started"}));
    QCOMPARE(empty.found.size(), 8);
}

void TestFsIndexer::stop_and_skip()
{
    const QByteArray a = photo(30), b = photo(31);
    const QString image = make_volume(dir, QStringLiteral("stop.img"), 12 * mib, {{0, a}, {8 * mib, b}});
    QTemporaryDir root;
    QVERIFY(testsupport::write_file(root.filePath(QStringLiteral("A.JPG")), a));
    QVERIFY(testsupport::write_file(root.filePath(QStringLiteral("B.JPG")), b));

    FsIndexer indexer;
    indexer.device = device_for(image);
    indexer.set_root_path(root.path());

    // Stop while the first file is examined: it is still entered, the phase
    // ends stopped and the volume is opened but not read.
    indexer.set_index_existing(true);
    QMetaObject::Connection stop = connect(&indexer, &FsIndexer::processedItem, &indexer,
                                           [&indexer] { indexer.stop(); }, Qt::DirectConnection);
    Run run = run_scan(indexer);
    disconnect(stop);
    QCOMPARE(run.events, (QStringList{"started", "indexing_started", "processedItem", "indexing_stopped",
                                      "scanning_started", "scanning_stopped"}));

    // Skip after the first file: the phase ends done, the raw scan runs in
    // full, and only the photo whose file was reached is kept out.
    indexer.set_index_existing(true);
    indexer.found_images.clear();
    QMetaObject::Connection skip = connect(&indexer, &FsIndexer::processedItem, &indexer,
                                           [&indexer] { indexer.set_index_existing(false); }, Qt::DirectConnection);
    run = run_scan(indexer);
    disconnect(skip);
    QCOMPARE(run.count(QStringLiteral("processedItem")), 1);
    QVERIFY(run.events.contains(QStringLiteral("indexing_done")));
    QCOMPARE(run.events.last(), QStringLiteral("scanning_done"));
    QCOMPARE(run.progress.size(), 3);
    QCOMPARE(run.found.size(), 1);

    // Stop during the raw scan: it ends after the current block, stopped.
    indexer.set_index_existing(false);
    indexer.found_images.clear();
    QMetaObject::Connection halt = connect(&indexer, &FsIndexer::scanning_progress, &indexer,
                                           [&indexer] { indexer.stop(); }, Qt::DirectConnection);
    run = run_scan(indexer);
    disconnect(halt);
    QCOMPARE(run.progress.size(), 1);
    QCOMPARE(run.found, (QList<qint64>{0}));
    QCOMPARE(run.events.last(), QStringLiteral("scanning_stopped"));

    // A stop right after start() is never lost: at most the block under way
    // is read.
    indexer.found_images.clear();
    QSignalSpy stopped(&indexer, &FsIndexer::scanning_stopped);
    indexer.start();
    indexer.stop();
    QVERIFY(indexer.wait(60000));
    QCOMPARE(stopped.size(), 1);
}

void TestFsIndexer::volume_that_cannot_be_read()
{
    FsIndexer indexer;
    indexer.device = device_for(dir.filePath(QStringLiteral("no-such-card.img")));
    QTemporaryDir root;
    indexer.set_root_path(root.path());
    indexer.set_index_existing(true);
    const Run run = run_scan(indexer);
    QCOMPARE(run.events, (QStringList{"started", "indexing_started", "indexing_done", "scanning_started",
                                      "scanning_error"}));
    QVERIFY(!indexer.error_text().isEmpty());

    indexer.device = device_for(dir.path()); // a folder is no volume
    indexer.set_index_existing(false);
    QCOMPARE(run_scan(indexer).events.last(), QStringLiteral("scanning_error"));
}

void TestFsIndexer::acceptance_drops_repeats_and_undecodable_streams()
{
    const QByteArray a = photo(40);
    QByteArray broken = photo(41);
    // Keep the marker structure but ruin the Huffman tables: the stream is
    // carved, and the decoder rejects it.
    const int dht = broken.indexOf(QByteArray("\xFF\xC4", 2));
    QVERIFY(dht > 0);
    for (int i = dht + 5; i < dht + 25; ++i)
        broken[i] = char(0xEE);
    QVERIFY(testsupport::qt_jpeg(QImage::fromData(broken)).isEmpty());

    const QByteArray tiny = testsupport::qt_jpeg(testsupport::make_picture(8, 8, 42));
    const QString image = make_volume(dir, QStringLiteral("dupes.img"), 2 * mib,
                                      {{0, broken}, {65536, a}, {131072, broken}, {196608, a}, {262144, tiny}});
    FsIndexer indexer;
    indexer.device = device_for(image);
    const Run run = run_scan(indexer);
    QCOMPARE(run.found, (QList<qint64>{65536, 262144}));
    QCOMPARE(indexer.found_images.keys(), run.found);
    QCOMPARE(run.thumbnails.last().size(), QSize(160, 107)); // scaled up too
}

void TestFsIndexer::second_scan_starts_afresh()
{
    const QByteArray a = photo(50);
    const QString image = make_volume(dir, QStringLiteral("again.img"), 1 * mib, {{8192, a}});
    QTemporaryDir root;
    QVERIFY(testsupport::write_file(root.filePath(QStringLiteral("A.JPG")), a));

    FsIndexer indexer;
    indexer.device = device_for(image);
    indexer.set_index_existing(false);
    QCOMPARE(run_scan(indexer).found.size(), 1);
    // The stream found by the first scan is not remembered by the second...
    indexer.found_images.clear();
    QCOMPARE(run_scan(indexer).found.size(), 1);
    QCOMPARE(indexer.found_images.size(), 1);
    // ...and a scan with the file indexed drops it, also after one without.
    indexer.found_images.clear();
    indexer.set_root_path(root.path());
    indexer.set_index_existing(true);
    QCOMPARE(run_scan(indexer).found.size(), 0);
    indexer.set_index_existing(false);
    QCOMPARE(run_scan(indexer).found.size(), 1);
}

void TestFsIndexer::unreadable_sectors_are_skipped()
{
    const QByteArray a = photo(60), b = photo(61), c = photo(62);
    // b straddles the bad region, a lies before it in the same block, c after it.
    const qint64 bad_from = 4 * mib + 64 * 1024, bad_to = bad_from + 3 * 512;
    const QString image = make_volume(dir, QStringLiteral("bad.img"), 10 * mib,
                                      {{4 * mib, a}, {bad_from - 4096, b}, {bad_to + 1536, c}});
    FsIndexer indexer;
    indexer.device = device_for(image);
    indexer.set_volume_opener([&](const QString &path, volume_platform::Failure *failure) {
        std::unique_ptr<VolumeSource> volume;
        if (auto raw = RawVolume::open(path, failure))
            volume = std::make_unique<FaultyVolume>(std::move(raw), bad_from, bad_to, volume_platform::Failure::Io);
        return volume;
    });
    const Run run = run_scan(indexer);
    // b comes out as the part before the bad sectors, once the scan is past them.
    QList<qint64> found = run.found;
    std::sort(found.begin(), found.end());
    QCOMPARE(found, (QList<qint64>{4 * mib, bad_from - 4096, ((bad_to + 1536) + 511) / 512 * 512}));
    QVERIFY(indexer.found_images.value(bad_from - 4096).partial);
    const qint64 top_part = indexer.found_images.value(bad_from - 4096).length;
    QVERIFY(top_part > 0 && top_part <= 4096);
    QVERIFY(b.startsWith(testsupport::read_file(image).mid(bad_from - 4096, top_part)));
    QCOMPARE(run.unreadable, 3 * 512);
    QCOMPARE(run.progress.last().first, run.progress.last().second); // read to the end
    QCOMPARE(run.events.mid(run.events.size() - 2), (QStringList{"unreadable", "scanning_done"}));
}

void TestFsIndexer::device_that_goes_away()
{
    const QByteArray a = photo(70);
    const QString image = make_volume(dir, QStringLiteral("gone.img"), 40 * mib, {{4096, a}});
    FsIndexer indexer;
    indexer.device = device_for(image);
    for (const auto &[kind, from] : {QPair<volume_platform::Failure, qint64>{volume_platform::Failure::DeviceGone, 8 * mib},
                                     {volume_platform::Failure::Io, 8 * mib}}) {
        indexer.set_volume_opener([kind, from](const QString &path, volume_platform::Failure *failure) {
            std::unique_ptr<VolumeSource> volume;
            if (auto raw = RawVolume::open(path, failure))
                volume = std::make_unique<FaultyVolume>(std::move(raw), from, 1LL << 50, kind);
            return volume;
        });
        indexer.found_images.clear();
        const Run run = run_scan(indexer);
        // The photo read before is kept; the run ends in an error, not "done".
        QCOMPARE(run.found, (QList<qint64>{4096}));
        QCOMPARE(run.events.last(), QStringLiteral("scanning_error"));
        QVERIFY(!run.events.contains(QStringLiteral("scanning_done")));
        QVERIFY(!indexer.error_text().isEmpty());
        QVERIFY(run.progress.last().first < run.progress.last().second);
    }
}

QTEST_GUILESS_MAIN(TestFsIndexer)
#include "tst_fsindexer.moc"
