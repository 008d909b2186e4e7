// One table of marker shapes, legal and faulty, spliced into real photos and
// fed to every part that reads a JPEG's markers: the carver, the frame
// limits, the fragment search's scan finder, the EXIF reader, the entropy
// walker and the thumbnail queue (libjpeg's decode). They must all agree
// with libjpeg: a legal shape keeps the photo whole everywhere, a fault
// ends it everywhere it is seen.

#include "carvingvolume.h"
#include "exifinfo.h"
#include "fragmentsearch.h"
#include "jpegcarver.h"
#include "jpegentropywalker.h"
#include "jpegframelimits.h"
#include "jpegshapes.h"
#include "testsupport.h"
#include "thumbnailqueue.h"

#include <QRandomGenerator>
#include <QTest>

namespace {

enum class Base { Baseline, Restarts, Progressive };

// Real photos with an EXIF segment after their JFIF one, so a shape put
// before the EXIF segment stands between two header segments.
const QByteArray &photo(Base base)
{
    static const QList<QByteArray> photos = [] {
        QList<QByteArray> made;
        const QList<QStringList> options{{}, {QStringLiteral("-restart"), QStringLiteral("1B")}, {QStringLiteral("-progressive")}};
        for (int i = 0; i < options.size(); ++i) {
            const QImage picture = testsupport::make_picture(200, 136, 40 + i);
            made.append(testsupport::with_exif_thumbnail(testsupport::cjpeg(picture, options[i]), picture.scaled(80, 54)));
        }
        return made;
    }();
    return photos.at(int(base));
}

// The streams the carver cuts from a volume holding the photo after a sector
// of text, fed whole and in small random cuts; both must agree.
QList<QPair<qint64, QByteArray>> carved(const QByteArray &jpeg)
{
    testsupport::CarvingVolume volume;
    volume.add_bytes(testsupport::gap_bytes(testsupport::Gap::Text, 1));
    volume.add_bytes(jpeg);
    volume.add_bytes(testsupport::gap_bytes(testsupport::Gap::Random, 4, 3));
    const QByteArray bytes = volume.bytes();
    QList<QPair<qint64, QByteArray>> whole, cut;
    for (auto *out : {&whole, &cut}) {
        JpegCarver carver([out](const char *data, qint64 length, qint64 offset) {
            out->append({offset, QByteArray(data, length)});
        });
        QRandomGenerator cuts(7);
        for (qint64 at = 0; at < bytes.size();) {
            const qint64 n = out == &whole ? bytes.size() : qMin<qint64>(1 + cuts.bounded(40), bytes.size() - at);
            carver.feed(bytes.constData() + at, n);
            at += n;
        }
        carver.finish();
    }
    return whole == cut ? whole : QList<QPair<qint64, QByteArray>>{{-1, {}}};
}

bool walks_to_its_end(const QByteArray &jpeg)
{
    JpegEntropyWalker walker;
    const auto *bytes = reinterpret_cast<const uchar *>(jpeg.constData());
    if (!walker.parse_header(bytes, jpeg.size()))
        return false;
    JpegEntropyWalker::State state = walker.start_state();
    return walker.walk(state, bytes, jpeg.size()) == JpegEntropyWalker::Outcome::Finished && state.pos == jpeg.size();
}

} // namespace

class TestJpegMarkers : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        const QStringList missing = testsupport::missing_tools({QStringLiteral("cjpeg"), QStringLiteral("exiftool")});
        if (!missing.isEmpty())
            QSKIP(qPrintable(QStringLiteral("needs %1").arg(missing.join(QStringLiteral(", ")))));
        for (Base base : {Base::Baseline, Base::Restarts, Base::Progressive}) {
            QVERIFY(ExifInfo(photo(base)).has_exif());
            QVERIFY(!ThumbnailQueue::decode(photo(base)).thumbnail.isNull());
        }
    }

    void every_reader_agrees_data()
    {
        QTest::addColumn<int>("base");
        QTest::addColumn<int>("before"); // the marker the shape is put in front of
        QTest::addColumn<QByteArray>("shape");
        QTest::addColumn<bool>("legal");
        const auto row = [](const char *name, Base base, uchar before, const char *hex, bool legal) {
            QTest::newRow(name) << int(base) << int(before) << QByteArray::fromHex(hex) << legal;
        };
        constexpr uchar exif = 0xE1, scan = 0xDA, end = 0xD9;
        row("empty APP5 segment", Base::Baseline, exif, "FFE50002", true);
        row("empty comment after the frame header", Base::Baseline, scan, "FFFE0002", true);
        row("comment after the frame header", Base::Progressive, scan, "FFFE0006ABCDEF01", true);
        row("fill bytes between segments", Base::Baseline, exif, "FFFFFF", true);
        row("fill bytes before the first scan", Base::Progressive, scan, "FFFF", true);
        row("fill bytes before the end of image", Base::Baseline, end, "FFFFFF", true);
        row("TEM between segments", Base::Restarts, exif, "FF01", true);
        row("restart marker between segments", Base::Baseline, exif, "FFD3", true);
        row("DNL after the scan", Base::Restarts, end, "FFDC00040088", true);
        row("FF 00 where a marker must stand", Base::Baseline, exif, "FF00", false);
        row("a byte other than FF where a marker must stand", Base::Baseline, exif, "42", false);
        row("second start of image in the header", Base::Baseline, exif, "FFD8", false);
        row("second start of image after the scan", Base::Baseline, end, "FFD8", false);
        // libjpeg steps over an APPn or a comment by its length, reading one
        // below 2 as empty; a table it must read refuses it.
        row("APP5 of length 1", Base::Progressive, exif, "FFE50001", true);
        row("comment of length 0", Base::Baseline, scan, "FFFE0000", true);
        row("quantisation table of length 1", Base::Baseline, exif, "FFDB0001", false);
        row("Huffman table of length 0", Base::Progressive, scan, "FFC40000", false);
        row("reserved marker code", Base::Baseline, exif, "FF020002", false);
        row("JPG extension marker", Base::Baseline, exif, "FFF30002", false);
    }

    void every_reader_agrees()
    {
        QFETCH(int, base);
        QFETCH(int, before);
        QFETCH(QByteArray, shape);
        QFETCH(bool, legal);
        const QByteArray &original = photo(Base(base));
        const QByteArray jpeg = testsupport::with_bytes_before(original, uchar(before), shape);
        QVERIFY(!jpeg.isEmpty());
        // Which readers meet the shape: those that stop at the first scan only
        // when it stands before that scan, the EXIF reader before its segment.
        const bool in_header = before != 0xD9 && (before < 0xD0 || before > 0xD7);
        const bool before_exif = before == 0xE1;

        const auto streams = carved(jpeg);
        QVERIFY2(streams.contains(qMakePair(qint64(512), jpeg)) == legal, "carver");

        const JpegFrameLimits::Frame frame = JpegFrameLimits::read(jpeg), plain = JpegFrameLimits::read(original);
        QVERIFY(plain.valid);
        QVERIFY2(frame.valid == (legal || !in_header), "frame limits");
        if (frame.valid)
            QCOMPARE(QSize(frame.width, frame.height), QSize(200, 136));

        const qint64 scan_at = FragmentSearch::first_scan_at(jpeg);
        if (legal || !in_header)
            QCOMPARE(scan_at, FragmentSearch::first_scan_at(original) + (in_header ? shape.size() : 0));
        else
            QCOMPARE(scan_at, -1);

        const ExifInfo info(jpeg);
        QVERIFY2(info.has_exif() == (legal || !before_exif), "EXIF reader");
        if (info.has_exif())
            QCOMPARE(info.make(), QStringLiteral("Velvora Test"));

        if (Base(base) != Base::Progressive)
            QVERIFY2(walks_to_its_end(jpeg) == legal, "entropy walker");

        const ThumbnailQueue::Result decoded = ThumbnailQueue::decode(jpeg);
        QVERIFY2(decoded.thumbnail.isNull() != legal, "decode");
        const qint64 memory = ThumbnailQueue::decoder_memory(jpeg);
        QCOMPARE(memory, legal || !in_header ? ThumbnailQueue::decoder_memory(original) : 0);
        if (Base(base) == Base::Progressive)
            QCOMPARE(ThumbnailQueue::decoder_memory(original), qint64(25 * 17 + 2 * 13 * 9) * 64 * 2); // 4:2:0 blocks
    }
};

QTEST_GUILESS_MAIN(TestJpegMarkers)
#include "tst_jpegmarkers.moc"
