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
using Streams = QList<Carved>;

char *toString(const Carved &c)
{
    return QTest::toString(QStringLiteral("stream at %1, %2 bytes").arg(c.offset).arg(c.bytes.size()));
}

QByteArray marker_segment(uchar code, int payload)
{
    return QByteArray("\xFF", 1) + char(code) + char((payload + 2) >> 8) + char((payload + 2) & 0xFF)
        + QByteArray(payload, 0x20);
}

// A stream with the marker layout of a real one; its entropy-coded data
// holds no FF. Enough for the carver, which never decodes.
QByteArray synthetic_stream(int entropy_bytes, uchar app = 0xE0, int app_payload = 14)
{
    QByteArray s = QByteArray("\xFF\xD8", 2) + marker_segment(app, app_payload) + marker_segment(0xDB, 65);
    s += QByteArray("\xFF\xDA\x00\x0C", 4) + QByteArray(10, 0x01);
    for (int i = 0; i < entropy_bytes; ++i)
        s.append(char(0x10 + i % 0xE0));
    return s + QByteArray("\xFF\xD9", 2);
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

// A volume of filler with the given streams placed in it.
QByteArray volume_of(qint64 size, const QList<Carved> &content, quint32 seed = 1)
{
    QByteArray volume = filler(size, seed);
    for (const Carved &c : content)
        place(volume, c.offset, c.bytes);
    return volume;
}

// Feeds the volume in pieces whose sizes come from next_size.
Streams carve_in_pieces(const QByteArray &volume, const std::function<qint64()> &next_size)
{
    Streams streams;
    JpegCarver carver([&streams](const char *data, qint64 length, qint64 offset) {
        streams.append({offset, QByteArray(data, length)});
    });
    carver.reset();
    for (qint64 at = 0; at < volume.size();) {
        const qint64 n = qMin<qint64>(qMax<qint64>(1, next_size()), volume.size() - at);
        carver.feed(volume.constData() + at, n);
        at += n;
    }
    return streams;
}

Streams carve_whole(const QByteArray &volume)
{
    return carve_in_pieces(volume, [&] { return qint64(volume.size()); });
}

// Streams from real encoders, and broken candidates, spread over a volume at
// random 512-byte boundaries.
void add_random_layout_row()
{
    const QImage picture = testsupport::make_picture(400, 300, 9);
    QList<QByteArray> photos{testsupport::qt_jpeg(picture), testsupport::qt_jpeg(picture, 40),
                             synthetic_stream(64), synthetic_stream(5000, 0xE1),
                             testsupport::cjpeg(picture, {QStringLiteral("-restart"), QStringLiteral("1B")})};
    QByteArray broken = synthetic_stream(3000);
    broken[2000] = char(0xFF);
    broken[2001] = 0x00;
    broken[20] = 0x11; // breaks where the DQT marker must stand
    QRandomGenerator layout(10);
    QByteArray volume;
    Streams expected;
    for (int round = 0; round < 3; ++round) {
        for (const QByteArray &photo : photos) {
            place(volume, volume.size(), filler(512 * (1 + layout.bounded(4)), quint32(volume.size())));
            const bool spoil = layout.bounded(3) == 0;
            if (!spoil)
                expected.append({volume.size(), photo});
            place(volume, volume.size(), spoil ? broken : photo);
            volume.resize((volume.size() + 511) / 512 * 512, 0);
        }
    }
    const QByteArray last = synthetic_stream(70, 0xE0, 600);
    expected.append({volume.size(), last});
    place(volume, volume.size(), last); // FF D9 are the last two bytes of the volume
    QTest::newRow("random layout, FF D9 last") << (photos.last().isEmpty() ? QByteArray() : volume) << expected;
}

} // namespace

Q_DECLARE_METATYPE(Streams)

class TestJpegCarver : public QObject
{
    Q_OBJECT

private slots:
    void finds_the_streams_however_the_volume_is_cut_data();
    void finds_the_streams_however_the_volume_is_cut();
    void candidate_that_never_ends_is_capped();
    void unreadable_gap_restarts_the_search();
};

void TestJpegCarver::finds_the_streams_however_the_volume_is_cut_data()
{
    QTest::addColumn<QByteArray>("volume");
    QTest::addColumn<Streams>("expected");
    const auto row = [](const char *name, const QByteArray &volume, const Streams &expected) {
        QTest::newRow(name) << volume << expected;
    };
    const QByteArray jfif = synthetic_stream(100, 0xE0), exif = synthetic_stream(100, 0xE1);
    const QByteArray app12 = synthetic_stream(100, 0xEC);
    const QByteArray good = synthetic_stream(300);

    row("at a boundary, filler after", volume_of(5425, {{1024, good}}), {{1024, good}});
    row("APP markers at boundaries, not off them",
        volume_of(4096, {{0, jfif}, {519, exif}, {1536, exif}, {2048, app12}, {3328, jfif}}),
        {{0, jfif}, {1536, exif}, {2048, app12}});
    QByteArray dqt_first = synthetic_stream(100);
    dqt_first[3] = char(0xDB);
    row("FF D8 FF DB is a start", volume_of(2048, {{512, dqt_first}}), {{512, dqt_first}});
    QByteArray lossless = synthetic_stream(100);
    lossless[3] = char(0xC3); // a lossless frame header: no photo starts so
    row("FF D8 FF C3 is no start", volume_of(2048, {{512, lossless}}), {});
    row("volume under 512 bytes", synthetic_stream(60), {});

    // A broken candidate shares the last block with a good stream, which is still found.
    const auto broken_row = [&](const char *name, int at, char value) {
        QByteArray broken = synthetic_stream(300);
        broken[at] = value;
        row(name, volume_of(2048, {{0, broken.left(1024)}, {1024, good}}), {{1024, good}});
    };
    for (const char *name : {"segment length 0", "segment length 1", "segment length 2", "segment length 3"})
        broken_row(name, 5, char(name[15] - '0')); // APP0 length field below 4
    broken_row("byte other than FF where a marker must stand", 20, 0x42);
    broken_row("FF 00 where a marker must stand", 21, 0x00);
    QByteArray minimal = synthetic_stream(300);
    minimal.replace(2, 18, marker_segment(0xE0, 2));
    row("segment length 4, the smallest", volume_of(2048, {{512, minimal}}), {{512, minimal}});

    // Fill bytes before a marker, restart markers and stuffed bytes in the entropy-coded data.
    QByteArray tolerant = QByteArray("\xFF\xD8", 2) + marker_segment(0xE0, 14) + QByteArray("\xFF\xFF", 2)
        + marker_segment(0xDB, 65) + QByteArray("\xFF\xDA\x00\x0C", 4) + QByteArray(10, 0x01)
        + QByteArray(100, 0x33) + QByteArray("\xFF\xD0", 2) + QByteArray(80, 0x44) + QByteArray("\xFF\x00", 2)
        + QByteArray(40, 0x45) + QByteArray("\xFF\xD1", 2) + QByteArray(80, 0x46) + QByteArray("\xFF\xFF\xD9", 3);
    row("fill bytes, restart markers, stuffing", volume_of(4096, {{1024, tolerant}}), {{1024, tolerant}});
    tolerant.insert(20, QByteArray("\xFF\xD8", 2));
    row("second FF D8 in the marker state ends the candidate", volume_of(4096, {{1024, tolerant}}), {});

    const QByteArray first = synthetic_stream(700), second = synthetic_stream(90);
    row("back to back", volume_of(8192, {{0, first}, {805, second}, {2048, first}, {3072, second}}),
        {{0, first}, {2048, first}, {3072, second}});

    // The 64-byte minimum before an entropy scan counts from the end of the scan header.
    const QByteArray enough = synthetic_stream(50, 0xE0, 600), too_short = synthetic_stream(49, 0xE0, 600);
    row("64 entropy bytes to the volume's end", volume_of(1024, {{1024, enough}}), {{1024, enough}});
    row("63 entropy bytes to the volume's end", volume_of(1024, {{1024, too_short}}), {});
    row("open at the volume's end", volume_of(1024, {{1024, synthetic_stream(4000).chopped(1)}}), {});
    row("in the last, incomplete sector", volume_of(1024, {{1024, synthetic_stream(62)}}), {});

    add_random_layout_row();
}

void TestJpegCarver::finds_the_streams_however_the_volume_is_cut()
{
    QFETCH(QByteArray, volume);
    QFETCH(Streams, expected);
    if (volume.isEmpty())
        QSKIP("needs cjpeg (run scripts/setup-debian.sh)");
    QCOMPARE(carve_whole(volume), expected);
    for (quint32 seed = 1; seed <= 4; ++seed) {
        QRandomGenerator cuts(seed);
        const qint64 largest = QList<qint64>{3, 8, 700, 70000}.at(seed % 4);
        QCOMPARE(carve_in_pieces(volume, [&] { return 1 + qint64(cuts.bounded(largest)); }), expected);
    }
}

void TestJpegCarver::candidate_that_never_ends_is_capped()
{
    constexpr qint64 mib = 1024 * 1024;
    const QByteArray photo = synthetic_stream(1000);
    const QByteArray endless = synthetic_stream(0).chopped(2);
    const auto in_blocks = [] { return 4 * mib; };

    // Given up once the buffer is over the cap; the search goes on after it.
    QByteArray volume = endless + QByteArray(56 * mib, 0x22);
    place(volume, 56 * mib, photo);
    QCOMPARE(carve_in_pieces(volume, in_blocks), (Streams{{56 * mib, photo}}));

    // A stream whose end comes in the block that carries the buffer past the cap is completed.
    const QByteArray long_stream = endless + QByteArray(51 * mib, 0x23) + QByteArray("\xFF\xD9", 2);
    QCOMPARE(carve_in_pieces(long_stream + filler(4096, 11), in_blocks), (Streams{{0, long_stream}}));
}

void TestJpegCarver::unreadable_gap_restarts_the_search()
{
    const QByteArray photo = synthetic_stream(3000);
    Streams streams;
    JpegCarver carver([&streams](const char *data, qint64 length, qint64 offset) {
        streams.append({offset, QByteArray(data, length)});
    });
    carver.reset();
    // A candidate interrupted by unreadable sectors is dropped...
    const QByteArray before = volume_of(1024, {{512, photo.left(400)}}, 15);
    carver.feed(before.constData(), before.size());
    carver.skip_unreadable(2048);
    // ...and a stream after the gap is found at its true volume offset.
    const QByteArray after = photo + filler(1024, 17);
    carver.feed(after.constData(), after.size());
    QCOMPARE(streams, (Streams{{3072, photo}}));
}

QTEST_GUILESS_MAIN(TestJpegCarver)
#include "tst_jpegcarver.moc"
