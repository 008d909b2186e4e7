#include "jpegcarver.h"
#include "testsupport.h"

#include <QRandomGenerator>
#include <QTest>

namespace {

struct Carved
{
    qint64 offset;
    QByteArray bytes;
    bool operator==(const Carved &other) const { return offset == other.offset && bytes == other.bytes; }
};

char *toString(const Carved &c)
{
    return QTest::toString(QStringLiteral("stream at %1, %2 bytes").arg(c.offset).arg(c.bytes.size()));
}

QByteArray marker_segment(uchar code, int payload, char fill = 0x20)
{
    QByteArray s;
    s.append(char(0xFF)).append(char(code));
    s.append(char((payload + 2) >> 8)).append(char((payload + 2) & 0xFF));
    s.append(QByteArray(payload, fill));
    return s;
}

// A stream with the marker layout of a real one; its entropy-coded data
// holds no FF. Enough for the carver, which never decodes.
QByteArray synthetic_stream(int entropy_bytes, uchar app = 0xE0, int app_payload = 14)
{
    QByteArray s("\xFF\xD8", 2);
    s += marker_segment(app, app_payload);
    s += marker_segment(0xDB, 65);
    s += QByteArray("\xFF\xDA\x00\x0C", 4) + QByteArray(10, 0x01);
    for (int i = 0; i < entropy_bytes; ++i)
        s.append(char(0x10 + i % 0xE0));
    s += QByteArray("\xFF\xD9", 2);
    return s;
}

// Filler that never holds a start signature at a 512-byte boundary.
QByteArray filler(qint64 size, quint32 seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator random(seed);
    for (qint64 i = 0; i < size; ++i)
        bytes[i] = char(random.bounded(0xFF)); // never FF
    return bytes;
}

void place(QByteArray &volume, qint64 offset, const QByteArray &bytes)
{
    if (volume.size() < offset + bytes.size())
        volume.resize(offset + bytes.size(), 0);
    volume.replace(offset, bytes.size(), bytes);
}

class Recorder
{
public:
    Recorder()
        : carver([this](const char *data, qint64 length, qint64 offset) {
              streams.append({offset, QByteArray(data, length)});
          })
    {
    }
    JpegCarver carver;
    QList<Carved> streams;
};

// Feeds the volume in pieces whose sizes come from next_size.
QList<Carved> carve_in_pieces(const QByteArray &volume, const std::function<qint64()> &next_size)
{
    Recorder r;
    r.carver.reset();
    for (qint64 at = 0; at < volume.size();) {
        const qint64 n = qMin<qint64>(qMax<qint64>(1, next_size()), volume.size() - at);
        r.carver.feed(volume.constData() + at, n);
        at += n;
    }
    return r.streams;
}

QList<Carved> carve_whole(const QByteArray &volume)
{
    return carve_in_pieces(volume, [&] { return qint64(volume.size()); });
}

} // namespace

class TestJpegCarver : public QObject
{
    Q_OBJECT

private slots:
    void worked_example();
    void starts_only_at_boundaries_with_an_app_marker();
    void malformed_structure_abandons_and_the_search_goes_on();
    void real_encoders_streams_are_cut_whole();
    void back_to_back_streams();
    void found_streams_do_not_depend_on_block_cuts();
    void candidate_that_never_ends_is_capped();
    void end_of_volume();
    void unreadable_gap_restarts_the_search();
};

void TestJpegCarver::worked_example()
{
    const QByteArray stream = synthetic_stream(200);
    QCOMPARE(stream.size(), 305);
    QByteArray block(1024, 0);
    block += stream;
    block += filler(4096, 1);

    Recorder r;
    r.carver.reset();
    r.carver.feed(block.constData(), block.size());
    QCOMPARE(r.streams.size(), 1);
    QCOMPARE(r.streams[0].offset, 1024);
    QCOMPARE(r.streams[0].bytes, stream);
    QCOMPARE(r.carver.state(), int(JpegCarver::FindStart));
    // the search went on past the stream: fewer than 512 bytes are held back
    QVERIFY(r.carver.buffered() < 512);
    QCOMPARE(r.carver.position(), block.size());
}

void TestJpegCarver::starts_only_at_boundaries_with_an_app_marker()
{
    const QByteArray jfif = synthetic_stream(100, 0xE0);
    const QByteArray exif = synthetic_stream(100, 0xE1);
    const QByteArray app12 = synthetic_stream(100, 0xEC);
    QByteArray dqt_first = synthetic_stream(100);
    dqt_first[3] = char(0xDB); // FF D8 FF DB: metadata stripped, tables first
    QByteArray lossless_first = synthetic_stream(100);
    lossless_first[3] = char(0xC3); // a lossless frame header never starts a photo

    QByteArray volume = filler(8 * 512, 2);
    place(volume, 0, jfif);
    place(volume, 1 * 512 + 7, exif); // off the boundary
    place(volume, 2 * 512, dqt_first);
    place(volume, 3 * 512, exif);
    place(volume, 4 * 512, app12);
    place(volume, 5 * 512, lossless_first);
    place(volume, 6 * 512 + 256, jfif);
    const QList<Carved> found = carve_whole(volume);
    QCOMPARE(found, (QList<Carved>{{0, jfif}, {2 * 512, dqt_first}, {3 * 512, exif}, {4 * 512, app12}}));

    // a volume of fewer than 512 bytes is never searched
    QCOMPARE(carve_whole(synthetic_stream(60)).size(), 0);
}

void TestJpegCarver::malformed_structure_abandons_and_the_search_goes_on()
{
    const QByteArray good = synthetic_stream(300);
    struct Case
    {
        const char *name;
        QByteArray broken;
    };
    QList<Case> cases;
    for (int field : {0, 1, 2, 3}) {
        QByteArray s = synthetic_stream(300);
        s[4] = char(field >> 8);
        s[5] = char(field); // APP0 length field below 4
        cases.append({"short segment length", s});
    }
    QByteArray not_a_marker = synthetic_stream(300);
    not_a_marker[20] = 0x42; // where the DQT marker's FF must stand
    cases.append({"byte other than FF", not_a_marker});
    QByteArray stuffed = synthetic_stream(300);
    stuffed[21] = 0x00; // FF 00 in the marker state
    cases.append({"FF 00 where a marker must stand", stuffed});

    for (const Case &c : cases) {
        // The broken candidate and a good stream share the last block of the
        // volume: the good one is still found.
        QByteArray volume = filler(4 * 512, 3);
        place(volume, 0, c.broken.left(1024));
        place(volume, 2 * 512, good);
        QCOMPARE(carve_whole(volume), (QList<Carved>{{2 * 512, good}}));
    }

    // A segment length of 4 is the smallest accepted.
    QByteArray minimal = synthetic_stream(300);
    minimal.replace(2, 18, marker_segment(0xE0, 2));
    QByteArray volume = filler(2048, 4);
    place(volume, 512, minimal);
    QCOMPARE(carve_whole(volume), (QList<Carved>{{512, minimal}}));

    // Fill bytes before a marker and restart markers inside the entropy-coded
    // data belong to the stream.
    QByteArray tolerant("\xFF\xD8", 2);
    tolerant += marker_segment(0xE0, 14) + QByteArray("\xFF\xFF\xFF", 3) + marker_segment(0xDB, 65);
    tolerant += QByteArray("\xFF\xDA\x00\x0C", 4) + QByteArray(10, 0x01) + QByteArray(100, 0x33);
    tolerant += QByteArray("\xFF\xD0", 2) + QByteArray(80, 0x44) + QByteArray("\xFF\x00", 2) + QByteArray(40, 0x45);
    tolerant += QByteArray("\xFF\xD1", 2) + QByteArray(80, 0x46) + QByteArray("\xFF\xFF\xD9", 3);
    volume = filler(4096, 5);
    place(volume, 1024, tolerant);
    QCOMPARE(carve_whole(volume), (QList<Carved>{{1024, tolerant}}));
}

void TestJpegCarver::real_encoders_streams_are_cut_whole()
{
    const QStringList missing = testsupport::missing_tools({QStringLiteral("cjpeg"), QStringLiteral("exiftool")});
    if (!missing.isEmpty())
        QSKIP(qPrintable(QStringLiteral("needs %1").arg(missing.join(QStringLiteral(", ")))));

    const QImage picture = testsupport::make_picture(640, 480, 7);
    const QList<QByteArray> photos{
        testsupport::qt_jpeg(picture),
        testsupport::cjpeg(picture, {QStringLiteral("-restart"), QStringLiteral("1")}),
        testsupport::cjpeg(picture, {QStringLiteral("-progressive")}),
        testsupport::with_exif_thumbnail(testsupport::qt_jpeg(picture, 92), picture.scaled(160, 120)),
    };
    QByteArray volume;
    QList<Carved> expected;
    qint64 at = 0;
    for (const QByteArray &photo : photos) {
        QVERIFY(!photo.isEmpty());
        place(volume, at, photo);
        expected.append({at, photo});
        at = (at + photo.size() + 4095) / 4096 * 4096;
    }
    place(volume, at, filler(4096, 6));
    // The EXIF thumbnail's own stream is stepped over with its segment.
    QCOMPARE(carve_whole(volume), expected);
}

void TestJpegCarver::back_to_back_streams()
{
    const QByteArray first = synthetic_stream(700); // 805 bytes
    const QByteArray second = synthetic_stream(90);
    QByteArray volume = filler(8192, 8);
    place(volume, 0, first);
    place(volume, first.size(), second); // right behind, off the boundary
    place(volume, 2048, first);
    place(volume, 2048 + 1024, second); // the first boundary after the end
    QCOMPARE(carve_whole(volume), (QList<Carved>{{0, first}, {2048, first}, {3072, second}}));
}

void TestJpegCarver::found_streams_do_not_depend_on_block_cuts()
{
    const QImage picture = testsupport::make_picture(400, 300, 9);
    QList<QByteArray> photos{testsupport::qt_jpeg(picture), testsupport::qt_jpeg(picture, 40),
                             synthetic_stream(64), synthetic_stream(5000, 0xE1)};
    const QByteArray restarts = testsupport::cjpeg(picture, {QStringLiteral("-restart"), QStringLiteral("1B")});
    if (!restarts.isEmpty())
        photos.append(restarts);

    QByteArray broken = synthetic_stream(3000);
    broken[2000] = char(0xFF);
    broken[2001] = 0x00;
    broken[20] = 0x11; // breaks where the DQT marker must stand

    QRandomGenerator layout(10);
    QByteArray volume;
    QList<Carved> expected;
    qint64 at = 0;
    for (int round = 0; round < 3; ++round) {
        for (const QByteArray &photo : photos) {
            place(volume, at, filler(512 * (1 + layout.bounded(4)), quint32(at)));
            at = volume.size();
            const bool spoil = layout.bounded(3) == 0;
            place(volume, at, spoil ? broken : photo);
            if (!spoil)
                expected.append({at, photo});
            at = (volume.size() + 511) / 512 * 512;
        }
    }
    const QByteArray last = synthetic_stream(70, 0xE0, 600);
    place(volume, at, last); // FF D9 are the last two bytes of the volume
    expected.append({at, last});

    const QList<Carved> whole = carve_whole(volume);
    QCOMPARE(whole, expected);
    for (quint32 seed = 1; seed <= 12; ++seed) {
        QRandomGenerator cuts(seed);
        const qint64 largest = seed % 3 == 0 ? 8 : seed % 3 == 1 ? 700 : 70000;
        const QList<Carved> pieces = carve_in_pieces(volume, [&] { return 1 + qint64(cuts.bounded(largest)); });
        QCOMPARE(pieces, whole);
    }
}

void TestJpegCarver::candidate_that_never_ends_is_capped()
{
    constexpr qint64 mib = 1024 * 1024;
    const QByteArray photo = synthetic_stream(1000);
    QByteArray endless = synthetic_stream(0).chopped(2);

    // A candidate whose entropy data never ends is given up once the buffer
    // is over the cap, and the search goes on after it.
    QByteArray volume = endless + QByteArray(56 * mib, 0x22);
    place(volume, 56 * mib, photo);
    const QList<Carved> found = carve_in_pieces(volume, [] { return 4 * mib; });
    QCOMPARE(found, (QList<Carved>{{56 * mib, photo}}));

    // A stream whose end arrives in the block that carries the buffer past
    // the cap is still completed.
    QByteArray long_stream = endless + QByteArray(51 * mib, 0x23) + QByteArray("\xFF\xD9", 2);
    QByteArray volume2 = long_stream + filler(4096, 11);
    const QList<Carved> long_found = carve_in_pieces(volume2, [] { return 4 * mib; });
    QCOMPARE(long_found.size(), 1);
    QCOMPARE(long_found[0].bytes.size(), long_stream.size());
}

void TestJpegCarver::end_of_volume()
{
    // Entropy data beginning 64 bytes before the end: completed, with FF D9
    // the last two bytes of the volume.
    const QByteArray enough = synthetic_stream(50, 0xE0, 600);
    QByteArray volume = filler(1024, 12);
    place(volume, 1024, enough);
    QCOMPARE(carve_whole(volume), (QList<Carved>{{1024, enough}}));
    QCOMPARE(carve_in_pieces(volume, [] { return qint64(3); }).size(), 1);

    // Fewer than 64: never completed, however the volume is cut.
    const QByteArray too_short = synthetic_stream(49, 0xE0, 600);
    volume = filler(1024, 13);
    place(volume, 1024, too_short);
    QCOMPARE(carve_whole(volume).size(), 0);
    QCOMPARE(carve_in_pieces(volume, [] { return qint64(5); }).size(), 0);

    // A candidate still open at the end of the volume is not announced.
    volume = filler(1024, 14);
    place(volume, 1024, synthetic_stream(4000).chopped(1));
    QCOMPARE(carve_whole(volume).size(), 0);
    // Nor is a stream in the last, incomplete sector.
    volume = filler(1024, 14);
    place(volume, 1024, synthetic_stream(62));
    QCOMPARE(carve_whole(volume).size(), 0);
}

void TestJpegCarver::unreadable_gap_restarts_the_search()
{
    const QByteArray photo = synthetic_stream(3000);
    Recorder r;
    r.carver.reset();
    // A candidate interrupted by unreadable sectors is dropped ...
    QByteArray before = filler(1024, 15);
    place(before, 512, photo.left(400));
    r.carver.feed(before.constData(), before.size());
    r.carver.skip_unreadable(2048);
    QCOMPARE(r.carver.position(), 1024 + 2048);
    // ... and a stream after the gap is found at its true volume offset.
    const QByteArray after = photo + filler(1024, 17);
    r.carver.feed(after.constData(), after.size());
    QCOMPARE(r.streams, (QList<Carved>{{3072, photo}}));
}

QTEST_GUILESS_MAIN(TestJpegCarver)
#include "tst_jpegcarver.moc"
