// Photos in pieces: raw volumes with other data between the pieces, and
// FAT32 and exFAT cards whose own file system split the photos.

#include "faultyvolume.h"
#include "fragmentedvolume.h"
#include "testsupport.h"

#include <QDir>
#include <QStorageInfo>
#include <QTemporaryDir>
#include <QTest>

using testsupport::Gap;

namespace {

QByteArray photo(int seed, const QStringList &options, int width = 320, int height = 240)
{
    return testsupport::cjpeg(testsupport::make_picture(width, height, seed), options);
}

using Put = std::function<bool(const QString &name, const QByteArray &bytes)>;
using Remove = std::function<bool(const QString &name)>;

// Six small photos, a live file filling the rest of the card, every second
// small photo deleted, two larger photos written into the gaps (the file
// system puts them into the first free clusters, in pieces between the live
// small ones), and those deleted too. The card is filled up: with free space
// at its end a photo's first piece would go there and the rest before it, an
// order no forward search follows.
bool fill_card(const Put &put, const Remove &remove, const std::function<qint64()> &free_bytes,
               const QStringList &options, QList<QByteArray> *placed, QList<QByteArray> *expected)
{
    const auto name = [](const char *kind, int i) { return QStringLiteral("%1%2.JPG").arg(QLatin1String(kind)).arg(i); };
    for (int i = 0; i < 6; ++i)
        if (!put(name("SMALL", i), placed->emplace_back(photo(100 + i, options))))
            return false;
    if (!put(QStringLiteral("FILLER.BIN"), QByteArray(free_bytes(), 'f')))
        return false;
    for (int i = 0; i < 6; i += 2)
        if (!remove(name("SMALL", i)))
            return false;
    for (int i = 0; i < 2; ++i)
        if (!put(name("LARGE", i), expected->emplace_back(photo(200 + i, options, 360, 270))))
            return false;
    placed->append(*expected);
    return remove(name("LARGE", 0)) && remove(name("LARGE", 1));
}

// Why a card of the kind cannot be made here; empty when it was made.
QString make_card(const QString &kind, const QString &path, const QStringList &options, QList<QByteArray> *placed,
                  QList<QByteArray> *expected)
{
    if (kind == QLatin1String("fat32")) {
        testsupport::FatImage card;
        const auto free_bytes = [&] { // "41 281 024 bytes free"
            QByteArray listing;
            testsupport::run_tool(QStringLiteral("mdir"), {QStringLiteral("-i"), path, QStringLiteral("::")}, &listing);
            listing.truncate(listing.indexOf(" bytes free"));
            return listing.mid(listing.lastIndexOf('\n') + 1).replace(' ', "").toLongLong();
        };
        const bool made = card.create(path, 36 * 1024 * 1024)
            && fill_card([&](const QString &name, const QByteArray &bytes) { return card.put(QLatin1Char('/') + name, bytes); },
                         [&](const QString &name) { return card.remove(QLatin1Char('/') + name); }, free_bytes, options,
                         placed, expected);
        return made ? QString() : QStringLiteral("the FAT32 card could not be made");
    }
    QString why_not = testsupport::loop_unavailable_reason({QStringLiteral("mkfs.exfat"), QStringLiteral("mount.exfat-fuse")});
    QTemporaryDir mount;
    testsupport::LoopDevice loop; // unmounted and detached first, on return
    if (why_not.isEmpty()
        && (!testsupport::make_exfat_image(path, 8 * 1024 * 1024, QStringLiteral("CARD")) || !loop.attach(path)
            || !loop.mount_exfat(mount.path())))
        why_not = QStringLiteral("exfat-fuse cannot mount the card here");
    QDir dir(mount.path());
    if (why_not.isEmpty()
        && !fill_card([&](const QString &name, const QByteArray &bytes) { return testsupport::write_file(dir.filePath(name), bytes); },
                      [&](const QString &name) { return dir.remove(name); },
                      [&] { return QStorageInfo(mount.path()).bytesAvailable(); }, options, placed, expected))
        why_not = QStringLiteral("the exFAT card could not be filled");
    return why_not;
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
    const QStringList restart{QStringLiteral("-restart"), QStringLiteral("1")};
    const QStringList progressive{QStringLiteral("-progressive")};
    for (const char *layout : {"text", "document", "random", "photo", "end-marker", "intertwined", "zeros", "three"}) {
        QTest::addRow("%s baseline", layout) << QString::fromLatin1(layout) << QStringList();
        QTest::addRow("%s restart", layout) << QString::fromLatin1(layout) << restart;
        QTest::addRow("%s progressive", layout) << QString::fromLatin1(layout) << progressive;
    }
    // On cards the pieces are found through the file system's allocation map.
    QTest::newRow("fat32 baseline") << QStringLiteral("fat32") << QStringList();
    QTest::newRow("fat32 progressive") << QStringLiteral("fat32") << progressive;
    QTest::newRow("exfat baseline") << QStringLiteral("exfat") << QStringList();
}

// Every photo in pieces comes out byte for byte (a progressive one, which is
// never put together, as its leading part), and nothing written holds
// foreign bytes: each output is a photo placed or a leading part of one.
void TestFragments::pieces_come_together()
{
    QFETCH(QString, layout);
    QFETCH(QStringList, options);
    const bool assembled = !options.contains(QStringLiteral("-progressive"));
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("volume.img"));
    QList<QByteArray> placed, expected;
    if (layout == QLatin1String("fat32") || layout == QLatin1String("exfat")) {
        const QString why_not = make_card(layout, path, options, &placed, &expected);
        if (layout == QLatin1String("exfat") && !why_not.isEmpty())
            QSKIP(qPrintable(why_not));
        QVERIFY2(why_not.isEmpty(), qPrintable(why_not));
    } else {
        const QStringList gaps{"text", "document", "random", "photo", "end-marker", "zeros"};
        testsupport::FragmentedVolume volume;
        const QByteArray a = photo(11, options);
        QVERIFY(!a.isEmpty());
        if (layout == QLatin1String("intertwined"))
            volume.add_intertwined(a, photo(12, options));
        else if (layout == QLatin1String("three"))
            volume.add_three_pieces(a, 3);
        else
            volume.add_two_pieces(a, Gap(gaps.indexOf(layout)), 0.45, 5);
        volume.add_gap(Gap::Random, 4, 9);
        QVERIFY(volume.write(path));
        expected = placed = volume.placed();
    }

    // Scanned as the window does, every photo found read back from its pieces.
    FsIndexer indexer;
    indexer.device = testsupport::image_file_device(path);
    indexer.start();
    indexer.wait();
    const QByteArray volume = testsupport::read_file(path);
    QList<QByteArray> outputs;
    qsizetype pieces = 0;
    for (const FoundImage &image : std::as_const(indexer.found_images)) {
        outputs.append(QByteArray());
        for (const VolumeExtent &piece : image.extents())
            outputs.last().append(volume.mid(piece.offset, piece.length));
        pieces = qMax(pieces, image.extents().size());
    }
    if (assembled)
        QVERIFY2(pieces > 1, "no photo was put together");
    const int foreign = testsupport::first_foreign_output(outputs, placed);
    QEXPECT_FAIL("zeros progressive", "a progressive photo with zeros between its pieces decodes cleanly, and zeros "
                 "alone cannot tell a gap from a flat picture's codes, so it comes out whole with the zeros", Abort);
    QEXPECT_FAIL("intertwined progressive", "the second photo's leading part comes out with the first sector of the "
                 "other photo's second piece after it", Abort);
    QVERIFY2(foreign < 0, qPrintable(QStringLiteral("output %1 is no photo placed nor a leading part of one").arg(foreign)));
    for (int i = 0; i < expected.size(); ++i) {
        bool found = false;
        for (const QByteArray &output : outputs)
            found = found || (assembled ? output == expected.at(i) : expected.at(i).startsWith(output));
        QVERIFY2(found, qPrintable(QStringLiteral("photo %1 not %2").arg(i).arg(assembled ? "whole" : "even in part")));
    }
}

QTEST_GUILESS_MAIN(TestFragments)
#include "tst_fragments.moc"
