#include "fragmentedvolume.h"
#include "fsindexer.h"
#include "testsupport.h"

#include <QFile>
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
    }
    return result;
}

QByteArray photo(int seed, const QStringList &options, int width = 640, int height = 480)
{
    return cjpeg(make_picture(width, height, seed), options);
}

// A card whose own file system split photos: small photos fill it, every
// second one is deleted, larger photos are written into the gaps (FAT puts
// them into the first free clusters, so they come in pieces between the
// small ones) and some of those are deleted too.
bool make_fat_card(const QString &path, const QStringList &options, QList<QByteArray> *placed,
                   QList<QByteArray> *expected)
{
    testsupport::FatImage card;
    if (!card.create(path, 40 * 1024 * 1024))
        return false;
    QList<QByteArray> small;
    for (int i = 0; i < 12; ++i) {
        small.append(photo(100 + i, options, 400, 300));
        if (!card.put(QStringLiteral("/SMALL%1.JPG").arg(i), small.last()))
            return false;
    }
    for (int i = 0; i < 12; i += 2)
        if (!card.remove(QStringLiteral("/SMALL%1.JPG").arg(i)))
            return false;
    for (int i = 0; i < 4; ++i) {
        const QByteArray large = photo(200 + i, options, 640, 480);
        if (!card.put(QStringLiteral("/LARGE%1.JPG").arg(i), large))
            return false;
        placed->append(large);
        if (i % 2 == 0) {
            if (!card.remove(QStringLiteral("/LARGE%1.JPG").arg(i)))
                return false;
            expected->append(large);
        }
    }
    placed->append(small);
    return true;
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
                              QStringLiteral("zeros"),  QStringLiteral("three"),    QStringLiteral("fat32")};
    for (const auto &encoding : encodings)
        for (const QString &layout : layouts)
            QTest::newRow(qPrintable(layout + QLatin1Char(' ') + encoding.first))
                << layout << encoding.second << !encoding.second.contains(QStringLiteral("-progressive"));
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
    const int foreign = testsupport::first_foreign_output(found.outputs, placed);
    QVERIFY2(foreign < 0, qPrintable(QStringLiteral("output %1 of %2 bytes is no photo placed nor a leading part of one")
                                         .arg(foreign)
                                         .arg(foreign < 0 ? 0 : found.outputs.at(foreign).size())));
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
