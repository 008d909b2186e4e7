// Carving: whole photos on volumes laid out as used cards are, at any block
// cuts and end to end (through the worker with a file still on the card, and
// through velvora-scan), and photos in pieces on raw volumes with other data
// between the pieces and on FAT32 and exFAT cards whose file system split them.

#include "faultyvolume.h"
#include "fragmentsearch.h"
#include "fragmentedvolume.h"
#include "jpegcarver.h"
#include "jpegentropywalker.h"
#include "jpegshapes.h"
#include "testsupport.h"
#include "volumescan.h"

#include <QDir>
#include <QElapsedTimer>
#include <QPainter>
#include <QProcess>
#include <QRandomGenerator>
#include <QStorageInfo>
#include <QTemporaryDir>
#include <QTest>

#include <zlib.h>

using testsupport::CarvingVolume;
using Placed = CarvingVolume::Placed;
using testsupport::Gap;
using Streams = QList<Placed>;

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
// bytes are solved so that its CRC-32 equals the original's: CRC-32 is
// affine in the message bits, so flipping bits adds fixed vectors.
QByteArray with_same_crc_longer(const QByteArray &photo)
{
    QByteArray forged = testsupport::with_segment_first(photo, 0xFE, QByteArray(4, 0));
    const auto flip = [&](int bit) { forged[6 + bit / 8] = char(forged[6 + bit / 8] ^ (1 << (bit % 8))); };
    const quint32 base = crc_of(forged);
    quint64 rows[32]; // low half: the CRC change; high half: the bits flipped for it
    for (int i = 0; i < 32; ++i) {
        flip(i);
        rows[i] = (crc_of(forged) ^ base) | (quint64(1) << (32 + i));
        flip(i);
    }
    for (int col = 0; col < 32; ++col) { // Gauss-Jordan over GF(2)
        const auto pivot = std::find_if(rows + col, rows + 32, [col](quint64 r) { return r >> col & 1; });
        if (pivot == rows + 32)
            return {};
        std::swap(rows[col], *pivot);
        for (int r = 0; r < 32; ++r)
            if (r != col && (rows[r] >> col & 1))
                rows[r] ^= rows[col];
    }
    const quint32 need = base ^ crc_of(photo);
    quint64 bits = 0;
    for (int col = 0; col < 32; ++col)
        if (need >> col & 1)
            bits ^= rows[col] >> 32;
    for (int i = 0; i < 32; ++i)
        if (bits >> i & 1)
            flip(i);
    return forged;
}

// What the carver made of a volume: the streams, and the candidates it gave
// up with their bytes as far as their structure was sound.
struct Carving
{
    Streams streams;
    Streams given_up;
    QList<JpegCarver::GiveUp> why;
};

Carving carve(const QByteArray &volume, const std::function<qint64()> &next_size)
{
    Carving out;
    JpegCarver carver([&](const char *data, qint64 length, qint64 offset) {
        out.streams.append({offset, QByteArray(data, length)});
    });
    carver.set_give_up_handler([&](const char *data, qint64 sound, qint64 offset, JpegCarver::GiveUp why) {
        out.given_up.append({offset, QByteArray(data, sound)});
        out.why.append(why);
    });
    for (qint64 at = 0; at < volume.size();) {
        const qint64 n = qMin<qint64>(qMax<qint64>(1, next_size()), volume.size() - at);
        carver.feed(volume.constData() + at, n);
        at += n;
    }
    carver.finish();
    return out;
}

// A stream with the marker layout of a real one (APPn, DQT, a scan); its
// entropy-coded data holds no FF. Enough for the carver, which never decodes.
QByteArray synthetic_stream(int entropy_bytes, uchar app = 0xE0, int app_payload = 14)
{
    QByteArray s = QByteArray("\xFF\xD8\xFF\xDA\x00\x0C", 6) + QByteArray(10, 0x01);
    for (int i = 0; i < entropy_bytes; ++i)
        s.append(char(0x10 + i % 0xE0));
    s = testsupport::with_segment_first(s + "\xFF\xD9", 0xDB, QByteArray(65, 0x20));
    return testsupport::with_segment_first(s, app, QByteArray(app_payload, 0x20));
}

// Random bytes without FF: never a marker, never a start.
QByteArray noise(qint64 size, quint32 seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator random(seed);
    for (char &c : bytes)
        c = char(random.bounded(0xFF));
    return bytes;
}

// A volume of noise with the streams placed at their offsets.
QByteArray volume_of(qint64 size, const Streams &content, quint32 seed = 1)
{
    QByteArray volume = noise(size, seed);
    for (const Placed &c : content) {
        volume.resize(qMax(volume.size(), c.offset + c.bytes.size()));
        volume.replace(c.offset, c.bytes.size(), c.bytes);
    }
    return volume;
}

// Real photos of every kind the cases need, each of a different picture.
struct Photos
{
    QByteArray a, b, c, exif, restarts;
    QList<QPair<const char *, QByteArray>> first_segments;
    // Legal streams of unusual shape, from real encoders or with marker
    // shapes spliced in: each must come back whole.
    QList<QPair<const char *, QByteArray>> unusual;

    Photos()
    {
        int seed = 100;
        const auto picture = [&seed] { return testsupport::make_picture(320, 240, seed++); };
        a = testsupport::qt_jpeg(picture());
        b = testsupport::qt_jpeg(picture());
        c = testsupport::qt_jpeg(picture(), 70);
        exif = testsupport::with_exif_thumbnail(testsupport::qt_jpeg(picture()), picture().scaled(160, 120));
        restarts = testsupport::cjpeg(picture(), {QStringLiteral("-restart"), QStringLiteral("1")});
        const QByteArray plain = testsupport::cjpeg(picture());
        const QByteArray progressive = testsupport::cjpeg(picture(), {QStringLiteral("-progressive")});
        using testsupport::with_existing_segment_first;
        using testsupport::with_segment_first;
        first_segments = {
            {"DB", with_existing_segment_first(plain, 0xDB)},
            {"E2", with_segment_first(plain, 0xE2, QByteArray("velvora colour\0", 15))},
            {"ED", with_segment_first(plain, 0xED, QByteArray("Photoshop 3.0\0", 14))},
            {"EE", with_segment_first(plain, 0xEE, QByteArray("Adobe\0\x64\0\0\0\0\1", 12))},
            {"FE", with_segment_first(plain, 0xFE, "saved by an editor")},
            {"C4", with_existing_segment_first(plain, 0xC4)},
            {"DD", with_segment_first(plain, 0xDD, QByteArray(2, 0))},
            {"C0", with_existing_segment_first(plain, 0xC0)},
            {"C2", with_existing_segment_first(progressive, 0xC2)},
        };
        using testsupport::with_bytes_before;
        const auto encoded = [&](const QStringList &options) { return testsupport::cjpeg(picture(), options); };
        unusual = {
            {"empty APP0 first", with_segment_first(plain, 0xE0, {})},
            {"empty APP5", with_bytes_before(plain, 0xDB, QByteArray::fromHex("FFE50002"))},
            {"fill bytes", with_bytes_before(with_bytes_before(plain, 0xC4, "\xFF\xFF"), 0xD9, "\xFF\xFF\xFF")},
            {"comment after the frame header", with_bytes_before(plain, 0xDA, QByteArray::fromHex("FFFE0005") + "gap")},
            {"restart markers every MCU", encoded({QStringLiteral("-restart"), QStringLiteral("1B")})},
            {"progressive, tables between scans", progressive},
            {"arithmetic coding", encoded({QStringLiteral("-arithmetic")})},
            {"arithmetic progressive", encoded({QStringLiteral("-arithmetic"), QStringLiteral("-progressive")})},
            {"grayscale", encoded({QStringLiteral("-grayscale")})},
            {"grayscale by Qt", testsupport::qt_jpeg(picture().convertToFormat(QImage::Format_Grayscale8))},
            {"progressive by Qt", testsupport::qt_jpeg(picture(), 90, true)},
            {"CMYK", testsupport::cmyk_jpeg(picture())},
        };
    }
};

const Photos &photos()
{
    static const Photos made;
    return made;
}

// The real-photo cases, each a small volume of its own: a photo (true) or
// other bytes (false) at each sector boundary.
QList<QPair<QString, CarvingVolume>> cases()
{
    const Photos &p = photos();
    const auto volume = [](std::initializer_list<QPair<bool, QByteArray>> parts) {
        CarvingVolume v;
        for (const auto &[photo, bytes] : parts)
            photo ? v.add_photo(bytes) : v.add_bytes(bytes);
        return v;
    };
    const auto broken_header = [](const char *app_and_length, quint32 seed, int size) {
        const QByteArray head = QByteArray("\xFF\xD8\xFF", 3) + QByteArray::fromHex(app_and_length);
        return head + noise(size - head.size(), seed);
    };
    using testsupport::gap_bytes;
    QList<QPair<QString, CarvingVolume>> out{
        {"photo after a sector starting FF D8", volume({{false, gap_bytes(Gap::Text, 3)}, {false, broken_header("E0", 1, 1024)},
                                                        {true, p.a}, {false, gap_bytes(Gap::Random, 8, 2)}})},
        {"truncated photo then a whole one",
         volume({{false, p.a.left(p.a.size() * 3 / 5)}, {true, p.b}, {false, gap_bytes(Gap::Zeros, 4)}})},
        {"truncated photo, zeros, a whole one", volume({{false, p.restarts.left(p.restarts.size() / 2)},
                                                        {false, gap_bytes(Gap::Zeros, 20)}, {true, p.exif},
                                                        {false, gap_bytes(Gap::Text, 4, 3)}})},
        {"whole photo between two pieces of another",
         volume({{false, p.a.left(p.a.size() * 9 / 20)}, {true, p.c}, {false, p.a.mid(p.a.size() * 9 / 20)},
                 {false, gap_bytes(Gap::Random, 4, 4)}})},
        {"photo inside a segment a broken candidate skips", // APP1 of 65520 bytes
         volume({{false, broken_header("E1FFF0", 5, 600)}, {true, p.b}, {false, gap_bytes(Gap::Random, 160, 6)}})}};
    for (const auto &[code, photo] : p.first_segments)
        out.append({QStringLiteral("first segment %1").arg(QLatin1String(code)),
                    volume({{false, gap_bytes(Gap::Text, 2, 7)}, {true, photo}, {false, gap_bytes(Gap::Random, 4, 8)}})});
    for (const auto &[shape, photo] : p.unusual)
        out.append({QStringLiteral("legal, %1").arg(QLatin1String(shape)),
                    volume({{false, gap_bytes(Gap::Document, 3, 9)}, {true, photo}, {false, gap_bytes(Gap::Random, 2, 10)}})});
    return out;
}

// The picture with its bottom rows near black, as a night shot's foreground.
QImage with_dark_bottom(QImage picture, int rows)
{
    QPainter(&picture).fillRect(0, picture.height() - rows, picture.width(), rows, QColor(7, 6, 9));
    return picture;
}

// Every file a scan found, in the order announced: where its pieces lie and
// whether it is partial.
QStringList found_layout(const VolumeScan &scan)
{
    QStringList layout;
    for (const FoundImage &image : scan.files_found()) {
        QString line = image.partial ? QStringLiteral("partial") : QStringLiteral("whole");
        for (const VolumeExtent &piece : image.extents())
            line += QStringLiteral(" %1+%2").arg(piece.offset).arg(piece.length);
        layout.append(line);
    }
    return layout;
}

QByteArray cjpeg_photo(int seed, const QStringList &options, int width = 320, int height = 240)
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
// order no forward search follows. many: sixteen small photos and one large
// one across most of their eight gaps.
bool fill_card(const Put &put, const Remove &remove, const std::function<qint64()> &free_bytes,
               const QStringList &options, QList<QByteArray> *placed, QList<QByteArray> *expected, bool many = false)
{
    const auto name = [](const char *kind, int i) { return QStringLiteral("%1%2.JPG").arg(QLatin1String(kind)).arg(i); };
    const int smalls = many ? 16 : 6;
    for (int i = 0; i < smalls; ++i)
        if (!put(name("SMALL", i), placed->emplace_back(cjpeg_photo(100 + i, options))))
            return false;
    if (!put(QStringLiteral("FILLER.BIN"), QByteArray(free_bytes(), 'f')))
        return false;
    for (int i = 0; i < smalls; i += 2)
        if (!remove(name("SMALL", i)))
            return false;
    const int larges = many ? 1 : 2;
    for (int i = 0; i < larges; ++i)
        if (!put(name("LARGE", i), expected->emplace_back(many ? cjpeg_photo(200, options, 960, 720)
                                                                : cjpeg_photo(200 + i, options, 360, 270))))
            return false;
    placed->append(*expected);
    for (int i = 0; i < larges; ++i)
        if (!remove(name("LARGE", i)))
            return false;
    return true;
}

// Two photos of the same size and tables: A in two pieces around a live
// file, which is then deleted, and B written after it with its first piece
// further on and its second (the driver wraps round to the first free
// clusters) in the live file's place: A1 B2 A2 .. B1, both deleted. Along the
// free space A's first piece runs on into B's data first, and B's start lies
// further on, so B is not found yet when A is followed.
bool interleave_card(const Put &put, const Remove &remove, const std::function<qint64()> &free_bytes,
                     const QStringList &options, QList<QByteArray> *placed, QList<QByteArray> *expected)
{
    const QByteArray a = cjpeg_photo(300, options, 640, 480), b = cjpeg_photo(301, options, 640, 480);
    constexpr qint64 cut = 24 * 1024;
    const auto filler = [](qint64 size) { return QByteArray(size, 'f'); };
    const bool ok = put(QStringLiteral("Y1.BIN"), filler(cut)) && put(QStringLiteral("S.BIN"), filler(b.size() - cut))
        && put(QStringLiteral("Y2.BIN"), filler(a.size() - cut)) && put(QStringLiteral("V.BIN"), filler(4096))
        && put(QStringLiteral("X1.BIN"), filler(cut)) && put(QStringLiteral("REST.BIN"), filler(free_bytes()))
        && remove(QStringLiteral("Y1.BIN")) && remove(QStringLiteral("Y2.BIN")) && put(QStringLiteral("A.JPG"), a)
        && remove(QStringLiteral("X1.BIN")) && remove(QStringLiteral("S.BIN")) && put(QStringLiteral("B.JPG"), b)
        && remove(QStringLiteral("A.JPG")) && remove(QStringLiteral("B.JPG"));
    *placed << a << b;
    *expected << a; // B's second piece lies before its first: only its top part can come back
    return ok;
}

// Why a card of the kind cannot be made here; empty when it was made.
QString make_card(const QString &kind, const QString &path, const QStringList &options, QList<QByteArray> *placed,
                  QList<QByteArray> *expected)
{
    if (kind.startsWith(QLatin1String("fat32"))) {
        testsupport::FatImage card;
        const auto free_bytes = [&] { // "41 281 024 bytes free"
            QByteArray listing;
            testsupport::run_tool(QStringLiteral("mdir"), {QStringLiteral("-i"), path, QStringLiteral("::")}, &listing);
            listing.truncate(listing.indexOf(" bytes free"));
            return listing.mid(listing.lastIndexOf('\n') + 1).replace(' ', "").toLongLong();
        };
        const Put put = [&](const QString &name, const QByteArray &bytes) { return card.put(QLatin1Char('/') + name, bytes); };
        const Remove remove = [&](const QString &name) { return card.remove(QLatin1Char('/') + name); };
        const bool made = card.create(path, 36 * 1024 * 1024)
            && (kind == QLatin1String("fat32 interleaved")
                    ? interleave_card(put, remove, free_bytes, options, placed, expected)
                    : fill_card(put, remove, free_bytes, options, placed, expected));
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
                      [&] { return QStorageInfo(mount.path()).bytesAvailable(); }, options, placed, expected,
                      kind == QLatin1String("exfat many")))
        why_not = QStringLiteral("the exFAT card could not be filled");
    return why_not;
}

// A photo's header up to and with its first scan's header, claiming
// width x height, then tail: a header as a damaged card may hold one.
QByteArray claiming(const QByteArray &photo, int width, int height, const QByteArray &tail)
{
    const qint64 scan = FragmentSearch::first_scan_at(photo);
    QByteArray header = photo.left(scan + 2 + (uchar(photo[scan + 2]) << 8 | uchar(photo[scan + 3])));
    const qsizetype frame = qMax(header.indexOf("\xFF\xC0"), header.indexOf("\xFF\xC2"));
    const char size[4] = {char(height >> 8), char(height), char(width >> 8), char(width)};
    return header.replace(frame + 5, 4, size, 4) + tail;
}

// Two frame headers of four components each, and a scan listing the first
// scan_components of their eight.
QByteArray two_frames(const QByteArray &photo, int scan_components)
{
    const QByteArray frame = QByteArray::fromHex("FFC00014080040004004011100021101031101041101");
    QByteArray scan = QByteArray::fromHex("FFDA") + char(0) + char(6 + 2 * scan_components) + char(scan_components);
    for (int c = 0; c < scan_components; ++c)
        scan += QByteArray(1, char(1 + c % 4)) + '\0';
    const QByteArray head = photo.left(FragmentSearch::first_scan_at(photo)).replace("\xFF\xC0", "\xFF\xFE");
    return head + frame + frame + scan + QByteArray::fromHex("003F00") + noise(300, 9) + "\xFF\xD9";
}

// The first DC table given the all-ones code of eight bits, which libjpeg refuses.
QByteArray with_all_ones_code(QByteArray photo)
{
    const qsizetype table = photo.indexOf(QByteArray::fromHex("FFC4")) + 4; // class and id 00, then the counts
    if (photo.mid(table, 17) != QByteArray::fromHex("0000010501010101010100000000000000"))
        return {};
    return photo.replace(table + 8, 2, QByteArray::fromHex("0200"));
}

} // namespace

Q_DECLARE_METATYPE(Streams)

class TestCarving : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void finds_the_streams_however_the_volume_is_cut_data();
    void finds_the_streams_however_the_volume_is_cut();
    void candidate_that_never_ends_is_capped();
    void reused_card_scanned_end_to_end();
    void decoder_warnings_stay_off_the_terminal();
    void pieces_come_together_data();
    void pieces_come_together();
    void hostile_streams_between_photos_data();
    void hostile_streams_between_photos();
    void stop_ends_a_fragment_search();
};

void TestCarving::initTestCase()
{
    const QStringList missing = testsupport::missing_tools(
        {QStringLiteral("cjpeg"), QStringLiteral("exiftool"), QStringLiteral("mkfs.fat"), QStringLiteral("mcopy")});
    if (!missing.isEmpty())
        QSKIP(qPrintable(QStringLiteral("needs %1").arg(missing.join(QStringLiteral(", ")))));
    QVERIFY(!photos().exif.isEmpty());
    for (const auto &[code, photo] : photos().first_segments) {
        QVERIFY2(photo.size() > 4 && photo[3] == QByteArray::fromHex(code)[0], code);
        QVERIFY2(!QImage::fromData(photo, "JPEG").isNull(), code);
    }
    for (const auto &[shape, photo] : photos().unusual)
        QVERIFY2(!QImage::fromData(photo, "JPEG").isNull(), shape);
}

void TestCarving::finds_the_streams_however_the_volume_is_cut_data()
{
    QTest::addColumn<QByteArray>("volume");
    QTest::addColumn<Streams>("expected");
    const auto row = [](const char *name, const QByteArray &volume, const Streams &expected) {
        QTest::newRow(name) << volume << expected;
    };
    const QByteArray good = synthetic_stream(300);
    QByteArray lossless = synthetic_stream(100);
    lossless[3] = char(0xC3); // a lossless frame header: no photo starts so
    row("FF D8 FF C3 is no start", volume_of(2048, {{512, lossless}}), {});

    // A broken candidate shares the last block with a good stream, which is still found.
    const auto broken_row = [&](const char *name, int at, char value) {
        QByteArray broken = synthetic_stream(300);
        broken[at] = value;
        row(name, volume_of(2048, {{0, broken.left(1024)}, {1024, good}}), {{1024, good}});
    };
    for (const char *name : {"DQT length 0", "DQT length 1"})
        broken_row(name, 23, char(name[11] - '0')); // a table libjpeg must read, too short to hold one
    broken_row("APP0 cut short by its length", 5, 2); // empty, so its payload stands where a marker must
    broken_row("byte other than FF where a marker must stand", 20, 0x42);
    broken_row("FF 00 where a marker must stand", 21, 0x00);
    const QByteArray minimal = testsupport::with_segment_first(synthetic_stream(300).remove(2, 18), 0xE0, "  ");
    row("segment length 4", volume_of(2048, {{512, minimal}}), {{512, minimal}});
    const QByteArray empty = testsupport::with_segment_first(synthetic_stream(300).remove(2, 18), 0xE0, {});
    row("segment length 2, an empty segment", volume_of(2048, {{512, empty}}), {{512, empty}});

    // Fill bytes before a marker, restart markers and stuffed bytes in the entropy-coded data.
    QByteArray tolerant = synthetic_stream(0).chopped(2).insert(20, "\xFF\xFF") + QByteArray(100, 0x33) + "\xFF\xD0"
        + QByteArray(80, 0x44) + QByteArray("\xFF\x00", 2) + QByteArray(40, 0x45) + "\xFF\xD1" + QByteArray(80, 0x46)
        + "\xFF\xFF\xD9";
    row("fill bytes, restart markers, stuffing", volume_of(4096, {{1024, tolerant}}), {{1024, tolerant}});
    tolerant.insert(20, QByteArray("\xFF\xD8", 2));
    row("second FF D8 in the marker state ends the candidate", volume_of(4096, {{1024, tolerant}}), {});

    const QByteArray first = synthetic_stream(700, 0xEC), second = synthetic_stream(90, 0xE1);
    row("back to back, at boundaries and not off them",
        volume_of(8192, {{0, first}, {805, second}, {2048, first}, {3072, second}, {3600, second}}),
        {{0, first}, {2048, first}, {3072, second}});
    const QByteArray last = synthetic_stream(62), long_last = synthetic_stream(70, 0xE0, 600);
    row("in the last, incomplete sector", volume_of(1024, {{1024, last}}), {{1024, last}});
    row("FF D9 the volume's last bytes", volume_of(1024, {{1024, long_last}}), {{1024, long_last}});
    for (const auto &[name, volume] : cases())
        row(qPrintable(name), volume.bytes(), volume.whole_photos());
}

// The same streams and the same given-up candidates however the volume is
// cut into blocks, down to single bytes; no whole photo is given up.
void TestCarving::finds_the_streams_however_the_volume_is_cut()
{
    QFETCH(QByteArray, volume);
    QFETCH(Streams, expected);
    const Carving whole = carve(volume, [&] { return volume.size(); });
    QCOMPARE(whole.streams, expected);
    for (const Placed &broken : whole.given_up)
        for (const Placed &photo : expected)
            QVERIFY(broken.offset != photo.offset);
    for (quint32 seed = 1; seed <= 6; ++seed) {
        QRandomGenerator cuts(seed);
        const qint64 largest = QList<qint64>{3, 9, 700, 70000}.at(seed % 4);
        const Carving cut = carve(volume, [&] { return 1 + qint64(cuts.bounded(largest)); });
        QCOMPARE(cut.streams, whole.streams);
        QCOMPARE(cut.given_up, whole.given_up);
    }
}

// Given up once the buffer is over the cap; the search goes on behind it.
void TestCarving::candidate_that_never_ends_is_capped()
{
    constexpr qint64 mib = 1024 * 1024;
    const QByteArray photo = synthetic_stream(1000);
    QByteArray volume = synthetic_stream(0).chopped(2) + QByteArray(56 * mib, 0x22);
    volume.replace(56 * mib, photo.size(), photo);
    const Carving carved = carve(volume, [] { return 4 * mib; });
    QCOMPARE(carved.streams, (Streams{{56 * mib, photo}}));
    QCOMPARE(carved.why, QList<JpegCarver::GiveUp>{JpegCarver::GiveUp::OverCap});
}

// All the cases on one card, with a deleted photo whose CRC-32 equals that
// of a longer file still on the card: every deleted whole photo is offered
// once, decoded, and the file still present is not.
void TestCarving::reused_card_scanned_end_to_end()
{
    const QByteArray deleted = photos().c;
    const QByteArray present = with_same_crc_longer(deleted);
    QCOMPARE(crc_of(present), crc_of(deleted));
    QVERIFY(present.size() != deleted.size());

    CarvingVolume card;
    for (const auto &[name, volume] : cases()) {
        card.add_bytes(testsupport::gap_bytes(Gap::Random, 3, quint32(card.bytes().size())));
        card.add_volume(volume);
    }
    card.add_photo(present);
    card.add_photo(deleted);

    QTemporaryDir dir, root;
    const QString image = dir.filePath(QStringLiteral("card.img"));
    QVERIFY(testsupport::write_file(image, card.bytes()));
    QVERIFY(testsupport::write_file(root.filePath(QStringLiteral("DSC_0001.JPG")), present));
    ScanOptions options;
    options.root_path = root.path();
    options.fragment_search = false; // photos cut short come out as their top part (see pieces_come_together)
    VolumeScan scan(testsupport::image_file_device(image), options);
    int thumbnails = 0;
    connect(&scan, &VolumeScan::found, &scan,
            [&](const FoundFile &file) { thumbnails += file.thumbnail.isNull() ? 0 : 1; }, Qt::DirectConnection);
    scan.start();
    QVERIFY(scan.wait(60000));

    QList<QPair<qint64, QByteArray>> expected, found;
    QList<QByteArray> seen{present};
    for (const Placed &photo : card.whole_photos()) {
        if (!seen.contains(photo.bytes))
            expected.append({photo.offset, photo.bytes});
        seen.append(photo.bytes);
    }
    for (const FoundImage &image : scan.files_found()) {
        if (!image.partial)
            found.append({image.offset, card.bytes().mid(image.offset, image.length)});
        QCOMPARE(image.crc, crc_of(card.bytes().mid(image.offset, image.length)));
    }
    QCOMPARE(found, expected);
    QCOMPARE(thumbnails, scan.files_found().size());
}

// A damaged photo makes the decoder complain; velvora-scan says only its
// summary. Decoded to its last row all the same, the photo comes out whole,
// counted as damaged.
void TestCarving::decoder_warnings_stay_off_the_terminal()
{
    QByteArray damaged = photos().a;
    damaged.replace(damaged.size() - 40, 2, "\xFF\xD3"); // a stray restart marker in the entropy-coded data
    QTemporaryDir dir;
    const QString image = dir.filePath(QStringLiteral("card.img"));
    QVERIFY(testsupport::write_file(image, testsupport::gap_bytes(Gap::Text, 4) + damaged + QByteArray(2048, 0)));
    QProcess scan;
    scan.start(QStringLiteral(VELVORA_SCAN_PATH), {image, dir.filePath(QStringLiteral("out"))});
    QVERIFY(scan.waitForFinished(30000));
    QCOMPARE(scan.exitCode(), 0);
    QCOMPARE(scan.readAllStandardOutput(), QByteArray("found=1 written=1 failed=0 unreadable_bytes=0 renamed=0 partial=0 present=0 named=0 damaged=1 skipped=0 videos=0 heic=0\n"));
    QCOMPARE(scan.readAllStandardError(), QByteArray());
    // named as what it is; scanned again, it is found there
    QCOMPARE(testsupport::entries_of(dir.filePath(QStringLiteral("out"))), QStringList{QStringLiteral("IMAGE_0001.JPG")});
    QCOMPARE(testsupport::read_file(dir.filePath(QStringLiteral("out/IMAGE_0001.JPG"))), damaged);
    scan.start(QStringLiteral(VELVORA_SCAN_PATH), {image, dir.filePath(QStringLiteral("out"))});
    QVERIFY(scan.waitForFinished(30000));
    QCOMPARE(scan.readAllStandardOutput(), QByteArray("found=1 written=0 failed=0 unreadable_bytes=0 renamed=0 partial=0 present=1 named=0 damaged=1 skipped=0 videos=0 heic=0\n"));
}

void TestCarving::pieces_come_together_data()
{
    QTest::addColumn<QString>("layout");
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<bool>("whole"); // else its top part is enough
    const QStringList restart{QStringLiteral("-restart"), QStringLiteral("1")};
    const QStringList progressive{QStringLiteral("-progressive")};
    for (const char *layout : {"text", "document", "random", "photo", "end-marker", "intertwined", "zeros", "three"}) {
        QTest::addRow("%s baseline", layout) << QString::fromLatin1(layout) << QStringList() << true;
        QTest::addRow("%s restart", layout) << QString::fromLatin1(layout) << restart << true;
        QTest::addRow("%s progressive", layout) << QString::fromLatin1(layout) << progressive << true;
    }
    for (const char *layout : {"text", "random", "three"}) // SCANS: a scan of each component in turn
        QTest::addRow("%s non-interleaved", layout) << QString::fromLatin1(layout) << QStringList{"-scans", "SCANS"} << true;
    // A last piece of a few hundred bytes in a dark bottom row: other data
    // joined there decodes and shows no seam either, so only the top part is sure.
    QTest::newRow("end-marker, tiny last piece, dark bottom baseline") << QStringLiteral("dark end") << QStringList() << false;
    QTest::newRow("end-marker, tiny last piece, dark bottom restart") << QStringLiteral("dark end") << restart << false;
    // A last piece of a few KiB, all of it in a flat dark area: it proves
    // nothing at its join either, however long it is.
    QTest::newRow("end-marker, last piece in a flat area baseline") << QStringLiteral("dark half") << QStringList() << false;
    QTest::newRow("end-marker, last piece in a flat area restart") << QStringLiteral("dark half") << restart << false;
    // The picture has an edge of its own along the row of blocks below the join.
    QTest::newRow("end-marker, an edge below the join baseline") << QStringLiteral("edge below") << QStringList() << true;
    // First pieces of forty sectors: every continuation inside the other
    // photo's first piece reads on to that photo's next scan header.
    QTest::newRow("intertwined, long first pieces progressive") << QStringLiteral("intertwined long") << progressive << true;
    // Zeros between the pieces of a progressive photo decode without a
    // warning when its later scans cross them.
    // Without the search a progressive photo's top part ends before another
    // photo's bytes, though the decoder meets them only at their next marker.
    QTest::newRow("intertwined, top part only progressive") << QStringLiteral("intertwined top part") << progressive << false;
    // Two photos of one size and coding cut at the same point, the second
    // one's stream running on through the first one's last piece to its
    // end-of-image marker: it decodes to its end, but is in pieces, not
    // damaged in place. Its data goes wrong just past a sector boundary, or
    // ends a few dozen blocks short of its frame.
    QTest::newRow("intertwined alike, wrong just past a sector boundary baseline")
        << QStringLiteral("intertwined alike 774 522 1022 0.35 top part") << QStringList() << false;
    QTest::newRow("intertwined alike, blocks short of the frame baseline")
        << QStringLiteral("intertwined alike 654 862 1062 0.6 top part") << QStringList() << false;
    QTest::newRow("intertwined alike progressive") << QStringLiteral("intertwined alike 878 1074 1054 0.55") << progressive << false;
    QTest::newRow("zeros, late break progressive") << QStringLiteral("zeros late") << progressive << true;
    // More than the search's window of bytes after a photo in pieces, behind
    // a photo slow to decode: the same files in the same order whether the
    // validators lag behind the read or the read behind them.
    QTest::newRow("at any pace baseline") << QStringLiteral("paced") << QStringList() << true;
    // On cards the pieces are found through the file system's allocation map.
    QTest::newRow("fat32 baseline") << QStringLiteral("fat32") << QStringList() << true;
    QTest::newRow("fat32 progressive") << QStringLiteral("fat32") << progressive << true;
    // Along the free space a photo first meets another's data of the same
    // size and tables, which decodes as its own would: the path goes round it.
    QTest::newRow("fat32 interleaved baseline") << QStringLiteral("fat32 interleaved") << QStringList() << true;
    QTest::newRow("exfat baseline") << QStringLiteral("exfat") << QStringList() << true;
    // Followed along the free clusters however many pieces the file system made.
    QTest::newRow("exfat many pieces") << QStringLiteral("exfat many") << QStringList() << true;
}

// Every photo in pieces comes out byte for byte, baseline or progressive,
// and nothing written holds foreign bytes: each output is a photo placed or
// a leading part of one.
void TestCarving::pieces_come_together()
{
    QFETCH(QString, layout);
    QFETCH(QStringList, options);
    QFETCH(bool, whole);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("volume.img"));
    QVERIFY(testsupport::write_file(dir.filePath(QStringLiteral("SCANS")), "0;\n1;\n2;\n"));
    options.replaceInStrings(QStringLiteral("SCANS"), dir.filePath(QStringLiteral("SCANS")));
    QList<QByteArray> placed, expected;
    if (layout.startsWith(QLatin1String("fat32")) || layout.startsWith(QLatin1String("exfat"))) {
        const QString why_not = make_card(layout, path, options, &placed, &expected);
        if (layout.startsWith(QLatin1String("exfat")) && !why_not.isEmpty())
            QSKIP(qPrintable(why_not));
        QVERIFY2(why_not.isEmpty(), qPrintable(why_not));
    } else {
        const QStringList gaps{"text", "document", "random", "photo", "end-marker", "zeros"};
        testsupport::FragmentedVolume volume;
        const QByteArray a = cjpeg_photo(11, options);
        QVERIFY(!a.isEmpty());
        if (layout == QLatin1String("dark end")) {
            const QByteArray dark = testsupport::cjpeg(with_dark_bottom(testsupport::make_picture(640, 480, 13), 40), options);
            volume.add_two_pieces(dark, Gap::EndMarkerSector, 1.0 - 700.0 / dark.size());
        } else if (layout == QLatin1String("dark half")) {
            const QByteArray dark = testsupport::cjpeg(with_dark_bottom(testsupport::make_picture(640, 960, 13), 560), options);
            volume.add_two_pieces(dark, Gap::EndMarkerSector, 1.0 - 3000.0 / dark.size());
        } else if (layout == QLatin1String("edge below")) {
            volume.add_two_pieces(cjpeg_photo(1020, options, 1580, 1100), Gap::EndMarkerSector, 0.2, 1020);
        } else if (layout == QLatin1String("intertwined long")) {
            volume.add_intertwined(cjpeg_photo(1014, options, 998, 734), cjpeg_photo(6014, options, 998, 734), 0.3);
        } else if (layout == QLatin1String("zeros late")) {
            volume.add_two_pieces(cjpeg_photo(1029, options, 1453, 949), Gap::Zeros, 0.74, 1029);
        } else if (layout == QLatin1String("paced")) {
            volume.add_photo(cjpeg_photo(1040, {QStringLiteral("-progressive")}, 4000, 3000));
            volume.add_two_pieces(a, Gap::Text, 0.45, 5);
            volume.add_gap(Gap::Random, int(FragmentSearch::default_window / testsupport::FragmentedVolume::sector) + 16384, 7);
            volume.add_photo(cjpeg_photo(1041, options));
            volume.add_two_pieces(cjpeg_photo(12, options), Gap::Random, 0.45, 6);
        } else if (layout.startsWith(QLatin1String("intertwined alike"))) {
            const QStringList shape = layout.split(QLatin1Char(' '));
            const int width = shape.at(2).toInt(), height = shape.at(3).toInt(), seed = shape.at(4).toInt();
            volume.add_intertwined(cjpeg_photo(seed, options, width, height), cjpeg_photo(seed + 5000, options, width, height),
                                   shape.at(5).toDouble());
        } else if (layout.startsWith(QLatin1String("intertwined")))
            volume.add_intertwined(a, cjpeg_photo(12, options));
        else if (layout == QLatin1String("three"))
            volume.add_three_pieces(a, 3);
        else
            volume.add_two_pieces(a, Gap(gaps.indexOf(layout)), 0.45, 5);
        volume.add_gap(Gap::Random, 4, 9);
        QVERIFY(volume.write(path));
        expected = placed = volume.placed();
    }

    // Scanned as the window does, every photo found read back from its pieces.
    ScanOptions scan_options;
    scan_options.fragment_search = !layout.endsWith(QLatin1String("top part"));
    VolumeScan scan(testsupport::image_file_device(path), scan_options);
    scan.start();
    scan.wait();
    const QByteArray volume = testsupport::read_file(path);
    QList<QByteArray> outputs;
    qsizetype pieces = 0;
    for (const FoundImage &image : scan.files_found()) {
        outputs.append(QByteArray());
        for (const VolumeExtent &piece : image.extents())
            outputs.last().append(volume.mid(piece.offset, piece.length));
        pieces = qMax(pieces, image.extents().size());
    }
    const int foreign = testsupport::first_foreign_output(outputs, placed);
    QVERIFY2(foreign < 0, qPrintable(QStringLiteral("output %1 is no photo placed nor a leading part of one").arg(foreign)));
    if (!whole) { // its top part, and nothing more
        QVERIFY(std::any_of(outputs.begin(), outputs.end(), [&](const QByteArray &out) {
            return out.size() < expected.first().size() && expected.first().startsWith(out);
        }));
        QVERIFY(!outputs.contains(expected.first()));
        return;
    }
    QVERIFY2(pieces > (layout == QLatin1String("exfat many") ? 3 : 1), qPrintable(QStringLiteral("%1 pieces at most").arg(pieces)));
    for (int i = 0; i < expected.size(); ++i)
        QVERIFY2(outputs.contains(expected.at(i)), qPrintable(QStringLiteral("photo %1 not whole").arg(i)));
    if (layout == QLatin1String("paced")) { // again from a slow card, where the read lags behind
        auto *slow = new testsupport::FaultyVolume(volume);
        slow->every_read_ms = 40;
        RemovableDevice device;
        slow->scan_with(device, scan_options); // the scan owns it
        VolumeScan again(device, scan_options);
        again.start();
        QVERIFY(again.wait(120000));
        QCOMPARE(found_layout(again), found_layout(scan));
    }
}

void TestCarving::hostile_streams_between_photos_data()
{
    QTest::addColumn<QByteArray>("stream");
    QTest::addColumn<int>("walker"); // 0: refuses its header, 1: follows it to its end, -1: either
    QTest::addColumn<bool>("offered"); // the stream is offered whole, as a photo
    const QByteArray baseline = cjpeg_photo(21, {}), progressive = cjpeg_photo(22, {QStringLiteral("-progressive")});
    const QByteArray few = noise(20, 5) + "\xFF\xD9", zeros = QByteArray(17 * 1024 * 1024, 0);
    QTest::newRow("16384 x 16384 baseline, a few bytes") << claiming(baseline, 16384, 16384, few) << 0 << false;
    QTest::newRow("16384 x 16384 progressive, a few bytes") << claiming(progressive, 16384, 16384, few) << 0 << false;
    QTest::newRow("65500 x 65500 baseline, 17 MiB of zeros") << claiming(baseline, 65500, 65500, zeros) << 0 << false;
    QTest::newRow("65500 x 65500 progressive, 17 MiB of zeros") << claiming(progressive, 65500, 65500, zeros) << 0 << false;
    QTest::newRow("12000 x 12000 baseline, 40 MiB of zeros") << claiming(baseline, 12000, 12000, zeros.repeated(2) + zeros.left(6 << 20)) << -1 << false;
    QTest::newRow("more blocks than its bytes can code") << claiming(progressive, 12000, 12000, few) << -1 << false;
    QTest::newRow("blocks its bytes can code, too many to decode")
        << claiming(progressive, 12000, 12000, noise(1024 * 1024, 6) + "\xFF\xD9") << -1 << true;
    QTest::newRow("two frame headers") << two_frames(baseline, 4) << 0 << false;
    QTest::newRow("two frame headers, eight scan components") << two_frames(baseline, 8) << 0 << false;
    QTest::newRow("a Huffman table with the all-ones code") << with_all_ones_code(baseline) << 0 << false;
    QByteArray flipped = photos().a;
    flipped[flipped.indexOf("\xFF\xC0") + 5] = char(flipped[flipped.indexOf("\xFF\xC0") + 5] ^ 0x20); // height + 8192
    QTest::newRow("a photo whose height has one bit flipped") << flipped << -1 << false;
    // Damaged as failing cards leave photos: none costs the photos around it.
    using testsupport::Damage;
    QTest::newRow("a table byte changed, baseline") << testsupport::damaged(baseline, Damage::BrokenHeader, 3) << -1 << false;
    QTest::newRow("a table byte changed, progressive") << testsupport::damaged(progressive, Damage::BrokenHeader, 4) << -1 << false;
    QTest::newRow("cut short, random bytes after, progressive") << testsupport::damaged(progressive, Damage::CutShort, 5) << -1 << false;
    QTest::newRow("bytes changed throughout, baseline") << testsupport::damaged(baseline, Damage::Mutated, 6) << -1 << false;
    QTemporaryDir dir;
    const QString scans = dir.filePath(QStringLiteral("scans"));
    QVERIFY(testsupport::write_file(scans, "0;\n1;\n2;\n"));
    QTest::newRow("a photo whose components have a scan each") << cjpeg_photo(23, {QStringLiteral("-scans"), scans}) << 1 << true;
}

// A crafted stream between real photos costs none of them, keeps the scan's
// memory bounded and takes no more than one candidate's time; the walker
// refuses what libjpeg would refuse and follows what it would decode; a
// frame its bytes could code but no budget can decode is still offered.
void TestCarving::hostile_streams_between_photos()
{
    QFETCH(QByteArray, stream);
    QFETCH(int, walker);
    QFETCH(bool, offered);
    QVERIFY(!stream.isEmpty());
    JpegEntropyWalker walking;
    const auto *bytes = reinterpret_cast<const uchar *>(stream.constData());
    if (walker == 0)
        QVERIFY(!walking.parse_header(bytes, stream.size()));
    if (walker == 1) {
        QVERIFY(walking.parse_header(bytes, stream.size()));
        JpegEntropyWalker::State state = walking.start_state();
        QCOMPARE(walking.walk(state, bytes, stream.size()), JpegEntropyWalker::Outcome::Finished);
        QCOMPARE(state.pos, stream.size());
    }

    CarvingVolume card;
    card.add_photo(photos().a);
    offered ? card.add_photo(stream) : card.add_bytes(stream); // too large to decode: offered without a thumbnail
    card.add_photo(photos().restarts);
    card.add_photo(photos().b);
    QTemporaryDir dir;
    const QString image = dir.filePath(QStringLiteral("card.img"));
    QVERIFY(testsupport::write_file(image, card.bytes()));
    VolumeScan scan(testsupport::image_file_device(image), ScanOptions());
    const testsupport::PeakMemory memory;
    QElapsedTimer clock;
    clock.start();
    scan.start();
    QVERIFY(scan.wait(120000));
    qInfo("scan: %lld ms, peak memory grew by %.1f MiB", clock.elapsed(), memory.growth_mib());
    for (const Placed &photo : card.whole_photos()) {
        const auto at = std::find_if(scan.files_found().cbegin(), scan.files_found().cend(),
                                     [&](const FoundImage &image) { return image.offset == photo.offset; });
        const FoundImage found = at == scan.files_found().cend() ? FoundImage() : *at;
        QVERIFY2(!found.partial && found.length == photo.bytes.size(),
                 qPrintable(QStringLiteral("the photo at %1 is lost").arg(photo.offset)));
        QCOMPARE(card.bytes().mid(found.offset, found.length), photo.bytes);
    }
    if (memory.why_not().isEmpty())
        QVERIFY2(memory.growth_mib() < 160, qPrintable(QString::number(memory.growth_mib())));
    else
        qInfo("memory not checked: %s", qPrintable(memory.why_not()));
}

// The first half of a photo, then 40 MiB that could all be its data: the
// search for its second piece has every sector to try when Stop comes.
void TestCarving::stop_ends_a_fragment_search()
{
    const QByteArray half = photos().a.left(photos().a.size() / 2 / 512 * 512);
    auto *volume = new testsupport::FaultyVolume(QByteArray(512, 0) + half + noise(40 * 1024 * 1024, 3));
    const std::shared_ptr<QSemaphore> reading_again = volume->reading_again;
    RemovableDevice device;
    ScanOptions options;
    volume->scan_with(device, options); // the scan owns the volume
    VolumeScan scan(device, options);
    scan.start();
    QVERIFY(reading_again->tryAcquire(1, 60000));
    QThread::msleep(200);
    QVERIFY(scan.is_running());
    QElapsedTimer clock;
    clock.start();
    scan.stop();
    QVERIFY(scan.wait(30000));
    qInfo("the worker ended %lld ms after the stop", clock.elapsed());
    QVERIFY(clock.elapsed() < 1500); // the target is 0.5 s; the search's own budget is 3 s
}

QTEST_GUILESS_MAIN(TestCarving)
#include "tst_carving.moc"
