// The scan over failing cards: a stop honoured between sector reads, photos
// next to unreadable gaps and before a device goes away kept, and direct
// sector reads of a real block device.

#include "alignedbuffer.h"
#include "faultyvolume.h"
#include "fsindexer.h"
#include "rawvolume.h"
#include "testsupport.h"

#include <QElapsedTimer>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <unistd.h>

using testsupport::FaultyVolume;

namespace {

constexpr qint64 kib = 1024;
constexpr qint64 mib = 1024 * kib;
constexpr qint64 block = FsIndexer::block_size;

// A tiny photo whose last scan's entropy data is shorter than the carver's
// 64-byte minimum, padded by a comment segment so that it fills whole
// sectors: placed to end where a gap begins, nothing but the gap follows it.
QByteArray photo_filling_sectors(int seed)
{
    QImage picture(16, 16, QImage::Format_RGB32);
    picture.fill(QColor(40 + seed, 90, 160));
    QByteArray jpeg = testsupport::qt_jpeg(picture);
    const int after_app0 = 4 + ((uchar(jpeg[4]) << 8) | uchar(jpeg[5]));
    const int padding = int((512 - (jpeg.size() + 4) % 512) % 512);
    QByteArray comment("\xFF\xFE", 2);
    comment.append(char((padding + 2) >> 8)).append(char((padding + 2) & 0xFF)).append(padding, 'x');
    jpeg.insert(after_app0, comment);
    return jpeg;
}

qint64 last_entropy_length(const QByteArray &jpeg)
{
    const qsizetype sos = jpeg.lastIndexOf(QByteArray("\xFF\xDA", 2));
    return jpeg.size() - (sos + 2 + ((uchar(jpeg[sos + 2]) << 8) | uchar(jpeg[sos + 3])));
}

struct Scan
{
    QList<qint64> found;
    QStringList ends;
    qint64 unreadable = 0;
};

// Runs the worker over volume with the signals counted as they come.
class FaultyScan
{
public:
    explicit FaultyScan(FaultyVolume *volume, qint64 size)
    {
        indexer.device.raw_path = QStringLiteral("faulty");
        indexer.device.bytes_per_sector = 512;
        indexer.device.sector_count = size / 512;
        indexer.set_volume_opener([volume](const QString &, volume_platform::Failure *) {
            return std::unique_ptr<VolumeSource>(volume);
        });
    }

    FsIndexer indexer;
    QSignalSpy found{&indexer, &FsIndexer::scanning_found};
    QSignalSpy done{&indexer, &FsIndexer::scanning_done};
    QSignalSpy stopped{&indexer, &FsIndexer::scanning_stopped};
    QSignalSpy error{&indexer, &FsIndexer::scanning_error};
    QSignalSpy unreadable{&indexer, &FsIndexer::scanning_unreadable};

    Scan result()
    {
        Scan scan;
        for (const QList<QVariant> &args : std::as_const(found))
            scan.found.append(args.at(0).toLongLong());
        if (!done.isEmpty())
            scan.ends.append(QStringLiteral("done"));
        if (!stopped.isEmpty())
            scan.ends.append(QStringLiteral("stopped"));
        if (!error.isEmpty())
            scan.ends.append(QStringLiteral("error"));
        if (!unreadable.isEmpty())
            scan.unreadable = unreadable.last().at(0).toLongLong();
        return scan;
    }
};

} // namespace

class TestFailingMedia : public QObject
{
    Q_OBJECT

private slots:
    void stop_takes_effect_between_slow_sector_reads();
    void photos_beside_gaps_are_kept_data();
    void photos_beside_gaps_are_kept();
    void sector_reads_of_a_block_device_bypass_the_cache();
};

void TestFailingMedia::stop_takes_effect_between_slow_sector_reads()
{
    // the second block fails as a whole, and every failing sector takes 20 ms:
    // reading it sector by sector would take almost three minutes
    const QByteArray photo = testsupport::qt_jpeg(testsupport::make_picture(320, 240, 1));
    QByteArray bytes(3 * block, '\0');
    bytes.replace(64 * kib, photo.size(), photo);
    auto *volume = new FaultyVolume(bytes);
    volume->bad_from = block;
    volume->bad_to = 2 * block;
    volume->failing_read_ms = 20;
    const auto failed_reads = volume->failed_reads;
    FaultyScan scan(volume, bytes.size());

    scan.indexer.start();
    QTRY_VERIFY_WITH_TIMEOUT(*failed_reads >= 5, 10000);
    QElapsedTimer clock;
    clock.start();
    scan.indexer.stop();
    QVERIFY(scan.indexer.wait(1000));
    QVERIFY2(clock.elapsed() < 1000, qPrintable(QString::number(clock.elapsed())));
    QCoreApplication::processEvents();

    const Scan result = scan.result();
    QCOMPARE(result.found, QList<qint64>{64 * kib});
    QCOMPARE(result.ends, QStringList{QStringLiteral("stopped")});
    // the failed whole-block read, then one read per failing sector
    QCOMPARE(result.unreadable, qint64(*failed_reads - 1) * 512);
}

void TestFailingMedia::photos_beside_gaps_are_kept_data()
{
    QTest::addColumn<qint64>("size");
    QTest::addColumn<qint64>("gap_from");
    QTest::addColumn<qint64>("gap_length");
    QTest::addColumn<qint64>("gone_from");
    QTest::addColumn<bool>("short_reads");
    QTest::addColumn<QString>("end");

    // a tiny photo ends where the gap begins, a second one follows the gap
    QTest::newRow("bad region in the first block") << 2 * block + mib << mib << 64 * kib << qint64(-1) << false
                                                   << "done";
    QTest::newRow("bad region in the last, short block")
        << 2 * block + mib << 2 * block + 256 * kib << 64 * kib << qint64(-1) << false << "done";
    QTest::newRow("short reads, then errors") << 2 * block << 2 * mib << 8 * kib << qint64(-1) << true << "done";
    // the block is being read again sector by sector when the card goes
    QTest::newRow("device gone mid-block") << 3 * block << block + 512 * kib << 4 * kib << block + 2 * mib << false
                                           << "error";
}

void TestFailingMedia::photos_beside_gaps_are_kept()
{
    QFETCH(qint64, size);
    QFETCH(qint64, gap_from);
    QFETCH(qint64, gap_length);
    QFETCH(qint64, gone_from);
    QFETCH(bool, short_reads);
    QFETCH(QString, end);

    const QByteArray before = photo_filling_sectors(2);
    QVERIFY2(last_entropy_length(before) < JpegCarver::entropy_scan_minimum,
             "the photo before the gap must end within the carver's entropy minimum");
    const QByteArray after = testsupport::qt_jpeg(testsupport::make_picture(320, 240, 3));
    const qint64 before_at = gap_from - before.size();
    const qint64 after_at = gap_from + gap_length + 4 * kib;
    QByteArray bytes(size, '\0');
    bytes.replace(before_at, before.size(), before);
    bytes.replace(after_at, after.size(), after);

    auto *volume = new FaultyVolume(bytes);
    volume->bad_from = gap_from;
    volume->bad_to = gap_from + gap_length;
    volume->gone_from = gone_from;
    volume->short_reads = short_reads;
    FaultyScan scan(volume, size);
    scan.indexer.start();
    QVERIFY(scan.indexer.wait(60000));
    QCoreApplication::processEvents();

    const Scan result = scan.result();
    QCOMPARE(result.found, (QList<qint64>{before_at, after_at}));
    QCOMPARE(result.ends, QStringList{end});
    QCOMPARE(result.unreadable, gap_length);
}

void TestFailingMedia::sector_reads_of_a_block_device_bypass_the_cache()
{
    if (::geteuid() != 0 || !testsupport::missing_tools({QStringLiteral("losetup")}).isEmpty())
        QSKIP("needs root and losetup to attach a loop device");
    QTemporaryDir dir;
    QByteArray bytes(4 * mib, '\0');
    for (qsizetype i = 0; i < bytes.size(); ++i)
        bytes[i] = char((i / 512 * 7 + i) & 0xFF);
    const QString image = dir.filePath(QStringLiteral("card.img"));
    QVERIFY(testsupport::write_file(image, bytes));
    testsupport::LoopDevice loop;
    if (!loop.attach(image, {QStringLiteral("-r")}))
        QSKIP("losetup could not attach an image here");

    const std::unique_ptr<RawVolume> volume = RawVolume::open(loop.node);
    QVERIFY(volume);
    const AlignedBuffer sector(512);
    // an offset direct I/O refuses falls back to the ordinary read
    for (const qint64 offset : {qint64(0), 3 * 512 + mib, 4 * mib - 512, qint64(100)}) {
        QCOMPARE(volume->read_sector_at(offset, sector.data(), 512), qint64(512));
        QCOMPARE(QByteArray(sector.data(), 512), bytes.mid(offset, 512));
    }
    QCOMPARE(volume->read_sector_at(4 * mib, sector.data(), 512), qint64(0));
    // the ordinary path at an explicit position, whatever the shared position says
    volume->seek(5);
    QByteArray whole(8 * kib, '\0');
    QCOMPARE(volume->read_at(mib, whole.data(), whole.size()), whole.size());
    QCOMPARE(whole, bytes.mid(mib, whole.size()));

    // a descriptor that cannot be opened again (one from the disk service) is
    // switched to direct I/O for the read and back again
    const volume_platform::Handle handle = volume_platform::open_read_only(loop.node);
    const auto close = qScopeGuard([handle] { volume_platform::close(handle); });
    QCOMPARE(volume_platform::read_unbuffered_at(handle, 2 * mib, sector.data(), 512), qint64(512));
    QCOMPARE(QByteArray(sector.data(), 512), bytes.mid(2 * mib, 512));
    char unaligned[700];
    QCOMPARE(volume_platform::read_at(handle, 7, unaligned + 1, 600), qint64(600));
    QCOMPARE(QByteArray(unaligned + 1, 600), bytes.mid(7, 600));
}

QTEST_GUILESS_MAIN(TestFailingMedia)
#include "tst_failingmedia.moc"
