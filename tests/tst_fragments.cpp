// Photos in pieces: raw volumes with other data between the pieces, and
// FAT32 and exFAT cards whose own file system split the photos.

#include "fragmentedvolume.h"
#include "fsindexer.h"
#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QStorageInfo>
#include <QTemporaryDir>
#include <QTest>

using testsupport::FragmentedVolume;
using testsupport::Gap;

namespace {

QByteArray photo(int seed, const QStringList &options, int width = 320, int height = 240)
{
    return testsupport::cjpeg(testsupport::make_picture(width, height, seed), options);
}

using Files = QList<QPair<QString, QByteArray>>;

// Writes (in the order given), removes and measures the files of a card.
struct CardFiles
{
    std::function<bool(const Files &)> put;
    std::function<bool(const QStringList &)> remove;
    std::function<qint64()> free_bytes;
};

// Small photos, a live file filling the rest of the card, every second small
// photo deleted, larger photos written into the gaps (the file system puts
// them into the first free clusters, in pieces between the live small ones),
// and those deleted too. The card is filled up: with free space at its end
// a photo's first piece would go there and the rest before it, an order no
// forward search follows.
bool fill_card(const CardFiles &card, const QStringList &options, QList<QByteArray> *placed,
               QList<QByteArray> *expected)
{
    Files small, large;
    for (int i = 0; i < 6; ++i)
        small.append({QStringLiteral("SMALL%1.JPG").arg(i), photo(100 + i, options)});
    for (int i = 0; i < 2; ++i)
        large.append({QStringLiteral("LARGE%1.JPG").arg(i), photo(200 + i, options, 360, 270)});
    for (const auto &[name, bytes] : small + large)
        (name.startsWith(QLatin1String("LARGE")) ? expected : placed)->append(bytes);
    placed->append(*expected);
    if (!card.put(small))
        return false;
    const qint64 free_bytes = card.free_bytes();
    return free_bytes > 0 && card.put({{QStringLiteral("FILLER.BIN"), QByteArray(free_bytes, 'f')}})
        && card.remove({small[0].first, small[2].first, small[4].first}) && card.put(large)
        && card.remove({large[0].first, large[1].first});
}

// Why a card of the kind cannot be made here; empty when it was made.
QString make_card(const QString &kind, const QString &path, const QStringList &options, QList<QByteArray> *placed,
                  QList<QByteArray> *expected)
{
    if (kind == QLatin1String("fat32")) {
        testsupport::FatImage card;
        QTemporaryDir files;
        const QStringList image{QStringLiteral("-i"), path};
        const CardFiles tools{
            [&](const Files &put) {
                QStringList sources;
                for (const auto &[name, bytes] : put) {
                    sources.append(files.filePath(name));
                    testsupport::write_file(sources.last(), bytes);
                }
                return testsupport::run_tool(QStringLiteral("mcopy"), image + sources + QStringList{QStringLiteral("::/")});
            },
            [&](const QStringList &names) {
                QStringList targets;
                for (const QString &name : names)
                    targets.append(QStringLiteral("::/") + name);
                return testsupport::run_tool(QStringLiteral("mdel"), image + targets);
            },
            [&] { // "41 281 024 bytes free"
                QByteArray listing;
                testsupport::run_tool(QStringLiteral("mdir"), image + QStringList{QStringLiteral("::")}, &listing);
                const QByteArray line = listing.left(listing.indexOf(" bytes free"));
                return line.mid(line.lastIndexOf('\n') + 1).replace(' ', "").toLongLong();
            }};
        return card.create(path, 36 * 1024 * 1024) && fill_card(tools, options, placed, expected)
                   ? QString()
                   : QStringLiteral("the FAT32 card could not be made");
    }
    const QString why_not = testsupport::loop_unavailable_reason({QStringLiteral("mkfs.exfat"),
                                                                  QStringLiteral("mount.exfat-fuse")});
    if (!why_not.isEmpty())
        return why_not;
    testsupport::LoopDevice loop;
    QTemporaryDir mount;
    if (!testsupport::make_exfat_image(path, 8 * 1024 * 1024, QStringLiteral("CARD")) || !loop.attach(path)
        || !loop.mount_exfat(mount.path()))
        return QStringLiteral("exfat-fuse cannot mount the card here");
    const QDir dir(mount.path());
    const CardFiles files{[&](const Files &put) {
                              bool written = true;
                              for (const auto &[name, bytes] : put)
                                  written = written && testsupport::write_file(dir.filePath(name), bytes);
                              return written;
                          },
                          [&](const QStringList &names) {
                              bool removed = true;
                              for (const QString &name : names)
                                  removed = removed && QFile::remove(dir.filePath(name));
                              return removed;
                          },
                          [&] { return QStorageInfo(mount.path()).bytesAvailable(); }};
    const bool filled = fill_card(files, options, placed, expected);
    loop.unmount();
    loop.detach();
    return filled ? QString() : QStringLiteral("the exFAT card could not be filled");
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
    for (const char *layout : {"text", "document", "random", "photo", "end-marker", "intertwined", "zeros", "three",
                               "fat32"}) {
        QTest::addRow("%s baseline", layout) << QString::fromLatin1(layout) << QStringList();
        QTest::addRow("%s restart", layout) << QString::fromLatin1(layout) << restart;
        QTest::addRow("%s progressive", layout) << QString::fromLatin1(layout) << progressive;
    }
    // The other file system: the same pieces, found through its own allocation map.
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
    QList<QByteArray> placed;
    QList<QByteArray> expected;
    if (layout == QLatin1String("fat32") || layout == QLatin1String("exfat")) {
        const QString why_not = make_card(layout, path, options, &placed, &expected);
        if (layout == QLatin1String("exfat") && !why_not.isEmpty())
            QSKIP(qPrintable(why_not));
        QVERIFY2(why_not.isEmpty(), qPrintable(why_not));
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

    // Scanned as the window does, every photo found read back from its pieces.
    FsIndexer indexer;
    const QByteArray volume = testsupport::read_file(path);
    indexer.device.raw_path = path;
    indexer.device.size = volume.size();
    indexer.device.bytes_per_sector = 512;
    indexer.device.sector_count = volume.size() / 512;
    indexer.start();
    indexer.wait();
    QList<QByteArray> outputs;
    int pieces = 0;
    for (const FoundImage &image : std::as_const(indexer.found_images)) {
        outputs.append(QByteArray());
        for (const VolumeExtent &piece : image.extents())
            outputs.last().append(volume.mid(piece.offset, piece.length));
        pieces = qMax(pieces, int(image.extents().size()));
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
