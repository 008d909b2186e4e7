#include "fragmentedvolume.h"
#include "fsindexer.h"
#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QStorageInfo>
#include <QTemporaryDir>
#include <QTest>

using testsupport::cjpeg;
using testsupport::FragmentedVolume;
using testsupport::Gap;
using testsupport::make_picture;

namespace {

struct Scan
{
    QList<QByteArray> outputs;
    int partial = 0;
    int assembled = 0;
};

// Scans the image file as the window does and reads every photo found back
// from its pieces.
Scan scan(const QString &path)
{
    FsIndexer indexer;
    const QByteArray volume = testsupport::read_file(path);
    indexer.device.raw_path = path;
    indexer.device.size = volume.size();
    indexer.device.bytes_per_sector = 512;
    indexer.device.sector_count = volume.size() / 512;
    indexer.set_index_existing(false);
    indexer.start();
    indexer.wait();
    Scan result;
    for (const FoundImage &image : std::as_const(indexer.found_images)) {
        QByteArray bytes;
        for (const VolumeExtent &piece : image.extents())
            bytes.append(volume.mid(piece.offset, piece.length));
        result.outputs.append(bytes);
        result.partial += image.partial ? 1 : 0;
        result.assembled += image.extents().size() > 1 ? 1 : 0;
    }
    return result;
}

QByteArray photo(int seed, const QStringList &options, int width = 640, int height = 480)
{
    return cjpeg(make_picture(width, height, seed), options);
}

// The free bytes mdir reports on a FAT card image; -1 when it cannot say.
qint64 fat_free_bytes(const QString &image)
{
    QByteArray listing;
    if (!testsupport::run_tool(QStringLiteral("mdir"), {QStringLiteral("-i"), image, QStringLiteral("::")}, &listing))
        return -1;
    for (const QByteArray &line : listing.split('\n'))
        if (line.contains("bytes free")) // "41 281 024 bytes free"
            return line.left(line.indexOf("bytes")).replace(' ', "").toLongLong();
    return -1;
}

constexpr int small_photos = 10;
constexpr int large_photos = 3;
// The card is filled up entirely: with free space left at its end the file
// system would put a photo's first piece there and the rest into the gaps
// before it, an order no search that goes forward follows.
constexpr qint64 slack_left = 0;

// A card whose own file system split photos (each in two or three pieces):
// small photos, then a live file
// filling the card but for a little, every second small photo deleted, larger
// photos written into the gaps (the file system puts them into the first free
// clusters, so they come in pieces between the small ones), and some of
// those deleted too.
bool make_fat_card(const QString &path, const QStringList &options, QList<QByteArray> *placed,
                   QList<QByteArray> *expected)
{
    testsupport::FatImage card;
    if (!card.create(path, 40 * 1024 * 1024))
        return false;
    QList<QByteArray> small;
    for (int i = 0; i < small_photos; ++i) {
        small.append(photo(100 + i, options, 640, 480));
        if (!card.put(QStringLiteral("/SMALL%1.JPG").arg(i), small.last()))
            return false;
    }
    const qint64 free_bytes = fat_free_bytes(path);
    if (free_bytes <= 0 || !card.put(QStringLiteral("/FILLER.BIN"), QByteArray(free_bytes - slack_left, 'f')))
        return false;
    for (int i = 0; i < small_photos; i += 2)
        if (!card.remove(QStringLiteral("/SMALL%1.JPG").arg(i)))
            return false;
    for (int i = 0; i < large_photos; ++i) {
        placed->append(photo(200 + i, options, 720, 540));
        if (!card.put(QStringLiteral("/LARGE%1.JPG").arg(i), placed->last()))
            return false;
    }
    for (int i = 0; i < large_photos; i += 2) {
        if (!card.remove(QStringLiteral("/LARGE%1.JPG").arg(i)))
            return false;
        expected->append(placed->at(i));
    }
    placed->append(small);
    return true;
}

// The same on exFAT, written through a loop device and exfat-fuse; returns
// why it cannot be made here, empty when it was.
QString make_exfat_card(const QString &path, const QStringList &options, QList<QByteArray> *placed,
                        QList<QByteArray> *expected)
{
    const QStringList missing = testsupport::missing_tools(
        {QStringLiteral("mkfs.exfat"), QStringLiteral("mount.exfat-fuse"), QStringLiteral("losetup")});
    if (!missing.isEmpty())
        return QStringLiteral("missing tools: %1").arg(missing.join(QLatin1Char(' ')));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || !file.resize(48 * 1024 * 1024))
        return QStringLiteral("cannot make the image");
    file.close();
    if (!testsupport::run_tool(QStringLiteral("mkfs.exfat"), {QStringLiteral("-c"), QStringLiteral("4K"), path}))
        return QStringLiteral("mkfs.exfat failed");
    testsupport::LoopDevice loop;
    if (!loop.attach(path))
        return QStringLiteral("cannot attach a loop device (needs root)");
    QTemporaryDir mount;
    if (!loop.mount_exfat(mount.path()))
        return QStringLiteral("exfat-fuse cannot mount here (needs FUSE)");
    const auto put = [&](const QString &name, const QByteArray &bytes) {
        return testsupport::write_file(QDir(mount.path()).filePath(name), bytes);
    };
    QList<QByteArray> small;
    for (int i = 0; i < small_photos; ++i) {
        small.append(photo(300 + i, options, 640, 480));
        put(QStringLiteral("SMALL%1.JPG").arg(i), small.last());
    }
    const qint64 free_bytes = QStorageInfo(mount.path()).bytesAvailable();
    if (free_bytes <= 0 || !put(QStringLiteral("FILLER.BIN"), QByteArray(free_bytes - slack_left, 'f')))
        return QStringLiteral("cannot fill the card");
    for (int i = 0; i < small_photos; i += 2)
        QFile::remove(QDir(mount.path()).filePath(QStringLiteral("SMALL%1.JPG").arg(i)));
    for (int i = 0; i < large_photos; ++i) {
        placed->append(photo(400 + i, options, 720, 540));
        put(QStringLiteral("LARGE%1.JPG").arg(i), placed->last());
    }
    for (int i = 0; i < large_photos; i += 2) {
        QFile::remove(QDir(mount.path()).filePath(QStringLiteral("LARGE%1.JPG").arg(i)));
        expected->append(placed->at(i));
    }
    placed->append(small);
    loop.unmount();
    loop.detach();
    return {};
}

} // namespace

class TestFragments : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void pieces_come_together_data();
    void pieces_come_together();
};

void TestFragments::initTestCase()
{
    const QStringList missing = testsupport::missing_tools({QStringLiteral("cjpeg"), QStringLiteral("mkfs.fat"),
                                                            QStringLiteral("mcopy")});
    if (!missing.isEmpty())
        QSKIP(qPrintable(QStringLiteral("missing tools: %1").arg(missing.join(QLatin1Char(' ')))));
}

void TestFragments::pieces_come_together_data()
{
    QTest::addColumn<QString>("layout");
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<bool>("assembled"); // false: only the leading part can be expected

    const QList<QPair<QString, QStringList>> encodings{
        {QStringLiteral("baseline"), {}},
        {QStringLiteral("restart"), {QStringLiteral("-restart"), QStringLiteral("1")}},
        {QStringLiteral("progressive"), {QStringLiteral("-progressive")}},
    };
    const QStringList layouts{QStringLiteral("text"),   QStringLiteral("document"), QStringLiteral("random"),
                              QStringLiteral("photo"),  QStringLiteral("end-marker"), QStringLiteral("intertwined"),
                              QStringLiteral("zeros"),  QStringLiteral("three"),    QStringLiteral("fat32"),
                              QStringLiteral("exfat")};
    for (const auto &encoding : encodings)
        for (const QString &layout : layouts)
            QTest::newRow(qPrintable(layout + QLatin1Char(' ') + encoding.first))
                << layout << encoding.second << true;
}

// Every photo in pieces comes out byte for byte, and nothing written holds
// foreign bytes: each output is a photo placed or a leading part of one.
void TestFragments::pieces_come_together()
{
    QFETCH(QString, layout);
    QFETCH(QStringList, options);
    QFETCH(bool, assembled);

    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("volume.img"));
    QList<QByteArray> placed;
    QList<QByteArray> expected;
    if (layout == QLatin1String("fat32")) {
        QVERIFY(make_fat_card(path, options, &placed, &expected));
    } else if (layout == QLatin1String("exfat")) {
        const QString why_not = make_exfat_card(path, options, &placed, &expected);
        if (!why_not.isEmpty())
            QSKIP(qPrintable(why_not));
    } else {
        static const QMap<QString, Gap> gaps{{QStringLiteral("text"), Gap::Text},
                                             {QStringLiteral("document"), Gap::Document},
                                             {QStringLiteral("random"), Gap::Random},
                                             {QStringLiteral("photo"), Gap::WholePhoto},
                                             {QStringLiteral("end-marker"), Gap::EndMarkerSector},
                                             {QStringLiteral("zeros"), Gap::Zeros}};
        FragmentedVolume volume;
        const QByteArray a = photo(11, options);
        QVERIFY(!a.isEmpty());
        if (layout == QLatin1String("intertwined"))
            volume.add_intertwined(a, photo(12, options));
        else if (layout == QLatin1String("three"))
            volume.add_three_pieces(a, 3);
        else
            volume.add_two_pieces(a, gaps.value(layout), 0.45, 5);
        volume.add_gap(Gap::Random, 4, 9);
        QVERIFY(volume.write(path));
        placed = volume.placed();
        expected = placed;
    }

    const Scan found = scan(path);
    if (assembled)
        QVERIFY2(found.assembled > 0, "no photo was in pieces");
    const int foreign = testsupport::first_foreign_output(found.outputs, placed);
    const bool zeros_in_progressive = layout == QLatin1String("zeros") && !assembled;
    if (zeros_in_progressive)
        QEXPECT_FAIL("", "a progressive photo with zeros between its pieces decodes cleanly, and zeros alone "
                         "cannot tell a gap from a flat picture's codes, so it comes out whole with the zeros",
                     Continue);
    QVERIFY2(foreign < 0, qPrintable(QStringLiteral("output %1 of %2 bytes is no photo placed nor a leading part of one")
                                         .arg(foreign)
                                         .arg(foreign < 0 ? 0 : found.outputs.at(foreign).size())));
    if (zeros_in_progressive)
        return;
    for (int i = 0; i < expected.size(); ++i) {
        if (assembled) {
            QVERIFY2(found.outputs.contains(expected.at(i)), qPrintable(QStringLiteral("photo %1 not whole").arg(i)));
        } else {
            bool leading_part = false;
            for (const QByteArray &output : found.outputs)
                leading_part = leading_part || expected.at(i).startsWith(output);
            QVERIFY2(leading_part, qPrintable(QStringLiteral("photo %1 not even in part").arg(i)));
        }
    }
}

QTEST_GUILESS_MAIN(TestFragments)
#include "tst_fragments.moc"
