// One table of marker shapes, legal and faulty, spliced into real photos and
// fed to every part that reads a JPEG's markers: the carver, the frame
// limits, the fragment search's scan finder, the EXIF reader, the entropy
// walkers and the thumbnail queue (libjpeg's decode). They must all agree
// with libjpeg: a legal shape keeps the photo whole everywhere, a fault
// ends it everywhere it is seen. The progressive walker also agrees with
// libjpeg on where a progressive photo cut short first goes wrong.

#include "carvingvolume.h"
#include "exifinfo.h"
#include "fragmentsearch.h"
#include "jpegcarver.h"
#include "jpegdecodecheck.h"
#include "jpegentropywalker.h"
#include "jpegframelimits.h"
#include "jpegshapes.h"
#include "progressiveentropywalker.h"
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

struct ProgressiveWalk
{
    ProgressiveEntropyWalker::Outcome outcome = ProgressiveEntropyWalker::Outcome::Fault;
    qint64 reached = -1; // the fault, or where the walk ended
    bool complete = false;
};

ProgressiveWalk walk_progressive(const QByteArray &jpeg)
{
    ProgressiveWalk walked;
    ProgressiveEntropyWalker walker;
    const auto *bytes = reinterpret_cast<const uchar *>(jpeg.constData());
    if (!walker.parse_header(bytes, jpeg.size()))
        return walked;
    ProgressiveEntropyWalker::State state = walker.start_state();
    walked.outcome = walker.walk(state, bytes, jpeg.size(), 0, &walked.reached);
    if (walked.outcome != ProgressiveEntropyWalker::Outcome::Fault)
        walked.reached = state.pos;
    walked.complete = walker.complete(state);
    return walked;
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

        if (Base(base) != Base::Progressive) {
            QVERIFY2(walks_to_its_end(jpeg) == legal, "entropy walker");
        } else {
            const ProgressiveWalk walked = walk_progressive(jpeg);
            QVERIFY2((walked.outcome == ProgressiveEntropyWalker::Outcome::Finished && walked.reached == jpeg.size()
                      && walked.complete) == legal, "progressive entropy walker");
        }

        const ThumbnailQueue::Result decoded = ThumbnailQueue::decode(jpeg);
        QVERIFY2(decoded.thumbnail.isNull() != legal, "decode");
        const qint64 memory = ThumbnailQueue::decoder_memory(jpeg);
        QCOMPARE(memory, legal || !in_header ? ThumbnailQueue::decoder_memory(original) : 0);
        if (Base(base) == Base::Progressive)
            QCOMPARE(ThumbnailQueue::decoder_memory(original), qint64(25 * 17 + 2 * 13 * 9) * 64 * 2); // 4:2:0 blocks
    }

    void progressive_walker_agrees_with_libjpeg_data()
    {
        QTest::addColumn<QByteArray>("photo");
        const QImage picture = testsupport::make_picture(640, 424, 61);
        const auto progressive = [&picture](QStringList options) {
            options << QStringLiteral("-progressive");
            return testsupport::cjpeg(picture, options);
        };
        QTest::newRow("4:2:0") << progressive({});
        QTest::newRow("4:2:0, a restart every row") << progressive({QStringLiteral("-restart"), QStringLiteral("1")});
        QTest::newRow("4:2:0, a restart every 5 blocks")
            << progressive({QStringLiteral("-restart"), QStringLiteral("5B")});
        QTest::newRow("4:4:4") << progressive({QStringLiteral("-sample"), QStringLiteral("1x1")});
        QTest::newRow("4:2:2, optimised tables")
            << progressive({QStringLiteral("-sample"), QStringLiteral("2x1"), QStringLiteral("-optimize")});
        QTest::newRow("grayscale") << progressive({QStringLiteral("-grayscale")});
        QTest::newRow("by Qt") << testsupport::qt_jpeg(picture, 90, true);
    }

    // The walker reads a whole photo to its end, as libjpeg does. Cut short
    // at a sector boundary with random bytes after it, the photo reads on to
    // the cut for the walker, which then stops within a sector, or where
    // libjpeg does (random bytes read as DC differences go on to the first
    // marker in them), never after libjpeg's first complaint (libjpeg lets
    // runs past the end of a band through, and reads on to a marker).
    void progressive_walker_agrees_with_libjpeg()
    {
        QFETCH(QByteArray, photo);
        const JpegDecodeCheck::Coefficients read = JpegDecodeCheck::read_coefficients(photo);
        QVERIFY(read.clean && read.complete);
        const ProgressiveWalk whole = walk_progressive(photo);
        QCOMPARE(whole.outcome, ProgressiveEntropyWalker::Outcome::Finished);
        QCOMPARE(whole.reached, read.end_position);
        QVERIFY(whole.complete);
        constexpr int cuts = 24;
        for (int n = 0; n < cuts; ++n) {
            const QByteArray cut = testsupport::damaged(photo, testsupport::Damage::CutShort, quint32(100 + n),
                                                        0.05 + 0.9 * n / cuts);
            qint64 damage = 0;
            while (damage < photo.size() && photo.at(damage) == cut.at(damage))
                ++damage;
            QCOMPARE(walk_progressive(photo.left(damage)).outcome, ProgressiveEntropyWalker::Outcome::NeedData);
            const JpegDecodeCheck::Coefficients decoded =
                JpegDecodeCheck::read_coefficients(cut, {}, JpegDecodeCheck::memory_budget, true);
            QVERIFY(!decoded.clean);
            const qint64 libjpeg_fault = decoded.ran_out ? cut.size() : decoded.fault_position;
            const ProgressiveWalk walked = walk_progressive(cut);
            QVERIFY(walked.outcome != ProgressiveEntropyWalker::Outcome::Finished);
            const qint64 walker_fault =
                walked.outcome == ProgressiveEntropyWalker::Outcome::Fault ? walked.reached : cut.size();
            const bool within_a_sector = walker_fault <= damage + 512;
            const bool with_libjpeg = qAbs(walker_fault - libjpeg_fault) <= 8;
            QVERIFY2(walker_fault <= libjpeg_fault + 8 && (within_a_sector || with_libjpeg),
                     qPrintable(QStringLiteral("cut at %1: the walker stops at %2, libjpeg at %3")
                                    .arg(damage).arg(walker_fault).arg(libjpeg_fault)));
        }
    }
};

QTEST_GUILESS_MAIN(TestJpegMarkers)
#include "tst_jpegmarkers.moc"
