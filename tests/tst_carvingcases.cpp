#include "carvingvolume.h"
#include "fsindexer.h"
#include "jpegcarver.h"
#include "testsupport.h"

#include <QDir>
#include <QImage>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

#include <zlib.h>

using testsupport::CarvingVolume;
using Placed = CarvingVolume::Placed;
using Filler = CarvingVolume::Filler;

Q_DECLARE_METATYPE(CarvingVolume)

namespace testsupport {

char *toString(const CarvingVolume::Placed &p)
{
    return QTest::toString(QStringLiteral("stream at %1, %2 bytes").arg(p.offset).arg(p.bytes.size()));
}

} // namespace testsupport

namespace {

quint32 crc_of(const QByteArray &bytes)
{
    return quint32(crc32_z(0, reinterpret_cast<const Bytef *>(bytes.constData()), size_t(bytes.size())));
}

// The photo with a comment segment after its start of image whose four
// bytes are chosen so that its CRC-32 equals the original's: CRC-32 is
// affine in the message bits, so the 32 bits solve a linear system.
QByteArray with_same_crc_longer(const QByteArray &photo)
{
    QByteArray forged = testsupport::with_segment_first(photo, 0xFE, QByteArray(4, 0));
    const qint64 field = 6;
    const quint32 base = crc_of(forged);
    quint32 basis[32] = {};
    quint32 combination[32] = {};
    for (int i = 0; i < 32; ++i) {
        QByteArray flipped = forged;
        flipped[field + i / 8] = char(flipped[field + i / 8] ^ (1 << (i % 8)));
        quint32 v = crc_of(flipped) ^ base;
        quint32 m = 1u << i;
        for (int b = 31; b >= 0 && v; --b) {
            if (!(v >> b & 1))
                continue;
            if (!basis[b]) {
                basis[b] = v;
                combination[b] = m;
                break;
            }
            v ^= basis[b];
            m ^= combination[b];
        }
    }
    quint32 need = base ^ crc_of(photo);
    quint32 bits = 0;
    for (int b = 31; b >= 0; --b) {
        if (need >> b & 1) {
            if (!basis[b])
                return {};
            need ^= basis[b];
            bits ^= combination[b];
        }
    }
    for (int i = 0; i < 32; ++i) {
        if (bits >> i & 1)
            forged[field + i / 8] = char(forged[field + i / 8] ^ (1 << (i % 8)));
    }
    return forged;
}

// What the carver made of a volume: the streams, and the candidates it gave
// up with their bytes as far as their structure was sound.
struct Carving
{
    QList<Placed> streams;
    QList<Placed> given_up;
};

Carving carve(const QByteArray &volume, const std::function<qint64()> &next_size)
{
    Carving out;
    JpegCarver carver([&](const char *data, qint64 length, qint64 offset) {
        out.streams.append({offset, QByteArray(data, length)});
    });
    carver.set_give_up_handler([&](const char *data, qint64 sound, qint64 offset, JpegCarver::GiveUp) {
        out.given_up.append({offset, QByteArray(data, sound)});
    });
    for (qint64 at = 0; at < volume.size();) {
        const qint64 n = qMin<qint64>(qMax<qint64>(1, next_size()), volume.size() - at);
        carver.feed(volume.constData() + at, n);
        at += n;
    }
    carver.finish();
    return out;
}

// Real photos of every kind the cases need, each of a different picture.
struct Photos
{
    QByteArray a, b, c, exif, restarts;
    QList<QPair<const char *, QByteArray>> first_segments;
    bool complete = false;

    Photos()
    {
        int seed = 0;
        const auto picture = [&seed] { return testsupport::make_picture(320, 240, 100 + seed++); };
        a = testsupport::qt_jpeg(picture());
        b = testsupport::qt_jpeg(picture());
        c = testsupport::qt_jpeg(picture(), 70);
        exif = testsupport::with_exif_thumbnail(testsupport::qt_jpeg(picture()), picture().scaled(160, 120));
        restarts = testsupport::cjpeg(picture(), {QStringLiteral("-restart"), QStringLiteral("1")});
        // exiftool is slow to start: two stripped photos serve every first segment.
        const QByteArray plain = testsupport::stripped_of_metadata(testsupport::cjpeg(picture()));
        const QByteArray progressive =
            testsupport::stripped_of_metadata(testsupport::cjpeg(picture(), {QStringLiteral("-progressive")}));
        using testsupport::with_existing_segment_first;
        using testsupport::with_segment_first;
        first_segments = {
            {"DB", plain},
            {"E2", with_segment_first(plain, 0xE2, QByteArray("velvora colour\0", 15))},
            {"ED", with_segment_first(plain, 0xED, QByteArray("Photoshop 3.0\0", 14))},
            {"EE", with_segment_first(plain, 0xEE, QByteArray("Adobe\0\x64\0\0\0\0\1", 12))},
            {"FE", with_segment_first(plain, 0xFE, "saved by an editor")},
            {"C4", with_existing_segment_first(plain, 0xC4)},
            {"DD", with_segment_first(plain, 0xDD, QByteArray(2, 0))},
            {"C0", with_existing_segment_first(plain, 0xC0)},
            {"C2", with_existing_segment_first(progressive, 0xC2)},
        };
        complete = !restarts.isEmpty() && !exif.isEmpty();
        for (const auto &[code, photo] : first_segments)
            complete = complete && photo.size() > 4 && photo[3] == QByteArray::fromHex(code)[0];
    }
};

const Photos &photos()
{
    static const Photos made;
    return made;
}

QByteArray broken_header(const char *app_and_length, quint32 seed, int size)
{
    QByteArray bytes = QByteArray("\xFF\xD8\xFF", 3) + QByteArray::fromHex(app_and_length);
    QByteArray noise(size - bytes.size(), Qt::Uninitialized);
    QRandomGenerator random(seed);
    for (char &c : noise)
        c = char(random.bounded(0xFF)); // no FF: never a marker
    return bytes + noise;
}

// Each case a small volume of its own.
QList<QPair<QString, CarvingVolume>> cases()
{
    const Photos &p = photos();
    QList<QPair<QString, CarvingVolume>> out;
    const auto add = [&](const QString &name, const std::function<void(CarvingVolume &)> &build) {
        CarvingVolume volume;
        build(volume);
        out.append({name, volume});
    };
    add(QStringLiteral("photo after a sector starting FF D8"), [&](CarvingVolume &v) {
        v.add_filler(Filler::Text, 3);
        v.add_bytes(broken_header("E0", 1, 1024));
        v.add_photo(p.a);
        v.add_filler(Filler::Random, 8, 2);
    });
    add(QStringLiteral("truncated photo then a whole one"), [&](CarvingVolume &v) {
        v.add_photo_piece(p.a, 0, p.a.size() * 3 / 5);
        v.add_photo(p.b);
        v.add_filler(Filler::Zeros, 4);
    });
    add(QStringLiteral("truncated photo, zeros, a whole one"), [&](CarvingVolume &v) {
        v.add_photo_piece(p.restarts, 0, p.restarts.size() / 2);
        v.add_filler(Filler::Zeros, 20);
        v.add_photo(p.exif);
        v.add_filler(Filler::Text, 4, 3);
    });
    add(QStringLiteral("whole photo between two pieces of another"), [&](CarvingVolume &v) {
        v.add_photo_piece(p.a, 0, p.a.size() * 9 / 20);
        v.add_photo(p.c);
        v.add_photo_piece(p.a, p.a.size() * 9 / 20, p.a.size());
        v.add_filler(Filler::Random, 4, 4);
    });
    add(QStringLiteral("photo inside a segment a broken candidate skips"), [&](CarvingVolume &v) {
        v.add_bytes(broken_header("E1FFF0", 5, 600)); // APP1 of 65520 bytes
        v.add_photo(p.b);
        v.add_filler(Filler::Random, 160, 6);
    });
    for (const auto &[code, photo] : p.first_segments) {
        const QByteArray jpeg = photo;
        add(QStringLiteral("first segment %1").arg(QLatin1String(code)), [&](CarvingVolume &v) {
            v.add_filler(Filler::Text, 2, 7);
            v.add_photo(jpeg);
            v.add_filler(Filler::Random, 4, 8);
        });
    }
    return out;
}

} // namespace

class TestCarvingCases : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void every_whole_photo_comes_out_at_any_block_cuts_data();
    void every_whole_photo_comes_out_at_any_block_cuts();
    void reused_card_scanned_end_to_end();
    void decoder_warnings_stay_off_the_terminal();
};

void TestCarvingCases::initTestCase()
{
    const QStringList missing = testsupport::missing_tools({QStringLiteral("cjpeg"), QStringLiteral("exiftool")});
    if (!missing.isEmpty())
        QSKIP(qPrintable(QStringLiteral("needs %1").arg(missing.join(QStringLiteral(", ")))));
    for (const auto &[code, photo] : photos().first_segments) {
        QVERIFY2(photo.size() > 4 && photo[3] == QByteArray::fromHex(code)[0], code);
        QVERIFY2(!QImage::fromData(photo, "JPEG").isNull(), code);
    }
    QVERIFY(photos().complete);
}

void TestCarvingCases::every_whole_photo_comes_out_at_any_block_cuts_data()
{
    QTest::addColumn<CarvingVolume>("volume");
    for (const auto &[name, volume] : cases())
        QTest::newRow(qPrintable(name)) << volume;
}

void TestCarvingCases::every_whole_photo_comes_out_at_any_block_cuts()
{
    QFETCH(CarvingVolume, volume);
    const QByteArray bytes = volume.bytes();
    const Carving whole = carve(bytes, [&] { return bytes.size(); });
    QCOMPARE(whole.streams, volume.whole_photos());
    for (const Placed &broken : whole.given_up) {
        for (const Placed &photo : volume.whole_photos())
            QVERIFY(broken.offset != photo.offset);
    }
    for (quint32 seed = 1; seed <= 6; ++seed) {
        QRandomGenerator cuts(seed);
        const qint64 largest = seed % 3 == 0 ? 9 : seed % 3 == 1 ? 700 : 70000;
        const Carving cut = carve(bytes, [&] { return 1 + qint64(cuts.bounded(largest)); });
        QCOMPARE(cut.streams, whole.streams);
        QCOMPARE(cut.given_up, whole.given_up);
    }
}

// All the cases on one card, with a deleted photo whose CRC-32 equals that
// of a longer file still on the card: every deleted whole photo is offered,
// decoded, and the file still present is not.
void TestCarvingCases::reused_card_scanned_end_to_end()
{
    const QByteArray deleted = photos().c;
    const QByteArray present = with_same_crc_longer(deleted);
    QCOMPARE(crc_of(present), crc_of(deleted));
    QVERIFY(present.size() != deleted.size());

    CarvingVolume card;
    for (const auto &[name, volume] : cases()) {
        Q_UNUSED(name);
        card.add_filler(Filler::Random, 3, quint32(card.bytes().size()));
        card.add_volume(volume);
    }
    card.add_photo(present);
    card.add_photo(deleted);

    QTemporaryDir dir;
    const QString image = dir.filePath(QStringLiteral("card.img"));
    QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("root")));
    QVERIFY(testsupport::write_file(image, card.bytes()));
    QVERIFY(testsupport::write_file(dir.filePath(QStringLiteral("root/DSC_0001.JPG")), present));

    FsIndexer indexer;
    indexer.device.raw_path = image;
    indexer.device.bytes_per_sector = 512;
    indexer.device.sector_count = card.bytes().size() / 512;
    indexer.set_root_path(dir.filePath(QStringLiteral("root")));
    indexer.set_index_existing(true);
    int thumbnails = 0;
    connect(&indexer, &FsIndexer::scanning_found, &indexer,
            [&](qint64, const QImage &thumbnail) { thumbnails += thumbnail.isNull() ? 0 : 1; },
            Qt::DirectConnection);
    indexer.start();
    QVERIFY(indexer.wait(60000));

    // Every whole photo once, at its first place, but the one still present.
    QList<FoundImage> expected;
    QList<QByteArray> seen{present};
    for (const Placed &photo : card.whole_photos()) {
        if (seen.contains(photo.bytes))
            continue;
        seen.append(photo.bytes);
        expected.append({photo.offset, photo.bytes.size(), crc_of(photo.bytes), {}, false});
    }
    // Photos cut short come out as their top part besides, and a photo in
    // two pieces put together (tst_fragments checks both); they are not
    // whole ones.
    QList<FoundImage> found;
    for (const FoundImage &image : std::as_const(indexer.found_images))
        if (!image.partial && image.extents().size() == 1)
            found.append(image);
    QCOMPARE(found.size(), expected.size());
    for (int i = 0; i < found.size(); ++i) {
        QCOMPARE(found[i].offset, expected[i].offset);
        QCOMPARE(found[i].length, expected[i].length);
        QCOMPARE(found[i].crc, expected[i].crc);
    }
    QCOMPARE(thumbnails, indexer.found_images.size());
}

// A damaged photo makes the decoder complain; velvora-scan says only its
// summary, with the photo counted as one of which only the top part came out.
void TestCarvingCases::decoder_warnings_stay_off_the_terminal()
{
    const QByteArray photo = photos().a;
    QByteArray damaged = photo;
    damaged.replace(photo.size() - 40, 2, "\xFF\xD3"); // a stray restart marker in the entropy-coded data
    QVERIFY(!QImage::fromData(damaged, "JPEG").isNull());
    CarvingVolume card;
    card.add_filler(Filler::Text, 4);
    card.add_photo(damaged);
    card.add_filler(Filler::Zeros, 4);

    QTemporaryDir dir;
    const QString image = dir.filePath(QStringLiteral("card.img"));
    QVERIFY(testsupport::write_file(image, card.bytes()));
    QProcess scan;
    scan.start(QStringLiteral(VELVORA_SCAN_PATH), {image, dir.filePath(QStringLiteral("out"))});
    QVERIFY(scan.waitForFinished(30000));
    QCOMPARE(scan.exitCode(), 0);
    QCOMPARE(scan.readAllStandardOutput(), QByteArray("found=1 written=1 failed=0 unreadable_bytes=0 renamed=0 partial=1\n"));
    QCOMPARE(scan.readAllStandardError(), QByteArray());
}

QTEST_GUILESS_MAIN(TestCarvingCases)
#include "tst_carvingcases.moc"
