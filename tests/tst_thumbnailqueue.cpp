#include "testsupport.h"
#include "thumbnailqueue.h"

#include <QTest>

using testsupport::cjpeg;
using testsupport::make_picture;

namespace {

qint64 blocks(qint64 pixels, int factor = 1)
{
    return (pixels + 8 * factor - 1) / (8 * factor);
}

} // namespace

class TestThumbnailQueue : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void decoder_memory_of_real_streams();
    void decoder_memory_of_a_cut_header();
    void results_in_order_with_streams_beyond_the_memory_budget();
};

void TestThumbnailQueue::initTestCase()
{
    const QStringList missing = testsupport::missing_tools({QStringLiteral("cjpeg")});
    if (!missing.isEmpty())
        QSKIP(qPrintable(QStringLiteral("cjpeg is not installed (package libjpeg-turbo-progs)")));
}

// A progressive decoder keeps every coefficient of the image; a sequential one
// does not, whatever the encoder.
void TestThumbnailQueue::decoder_memory_of_real_streams()
{
    const QImage picture = make_picture(1001, 603, 7);

    const QByteArray full = cjpeg(picture, {QStringLiteral("-progressive"), QStringLiteral("-sample"),
                                            QStringLiteral("1x1,1x1,1x1")});
    QCOMPARE(ThumbnailQueue::decoder_memory(full), 3 * blocks(1001) * blocks(603) * 128);

    // 4:2:0: the two chroma planes have half as many blocks each way.
    const QByteArray subsampled = cjpeg(picture, {QStringLiteral("-progressive")});
    QCOMPARE(ThumbnailQueue::decoder_memory(subsampled),
             (blocks(1001) * blocks(603) + 2 * blocks(1001, 2) * blocks(603, 2)) * 128);

    const QByteArray grey = cjpeg(picture, {QStringLiteral("-progressive"), QStringLiteral("-grayscale")});
    QCOMPARE(ThumbnailQueue::decoder_memory(grey), blocks(1001) * blocks(603) * 128);

    QCOMPARE(ThumbnailQueue::decoder_memory(cjpeg(picture)), 0);
    QCOMPARE(ThumbnailQueue::decoder_memory(testsupport::qt_jpeg(picture)), 0);
}

void TestThumbnailQueue::decoder_memory_of_a_cut_header()
{
    const QByteArray jpeg = cjpeg(make_picture(640, 480, 3), {QStringLiteral("-progressive")});
    const qsizetype frame = jpeg.indexOf(QByteArray("\xFF\xC2", 2));
    QVERIFY(frame > 0);
    // Cut inside the frame header, and before it: nothing is read past the end.
    for (qsizetype cut : {frame + 2, frame + 9, frame + 12, frame - 1})
        QCOMPARE(ThumbnailQueue::decoder_memory(jpeg.left(cut)), 0);
    QCOMPARE(ThumbnailQueue::decoder_memory(QByteArray("\xFF\xD8", 2)), 0);
}

// Two progressive photos that together need more coefficient memory than the
// decoders may hold, one that alone needs more than all of it, sequential ones
// between them and a broken one: every result comes back, in order, and the
// broken stream's is null.
void TestThumbnailQueue::results_in_order_with_streams_beyond_the_memory_budget()
{
    const QStringList full_chroma{QStringLiteral("-progressive"), QStringLiteral("-sample"),
                                  QStringLiteral("1x1,1x1,1x1"), QStringLiteral("-quality"),
                                  QStringLiteral("60")};
    QList<QByteArray> streams;
    streams << cjpeg(make_picture(4096, 2560, 1), full_chroma) // 60 MiB of coefficients
            << cjpeg(make_picture(800, 600, 2))
            << cjpeg(make_picture(4096, 2560, 3), full_chroma)
            << cjpeg(make_picture(5120, 3584, 4), full_chroma); // 105 MiB, over the whole budget
    QByteArray broken = cjpeg(make_picture(800, 600, 5));
    const qsizetype dht = broken.indexOf(QByteArray("\xFF\xC4", 2));
    QVERIFY(dht > 0);
    for (qsizetype i = dht + 5; i < dht + 25; ++i)
        broken[i] = char(0xEE); // Huffman tables no decoder accepts
    streams.insert(2, broken);
    for (const QByteArray &stream : streams)
        QVERIFY(!stream.isEmpty());
    QVERIFY(ThumbnailQueue::decoder_memory(streams.last()) > 100 * 1024 * 1024);

    ThumbnailQueue queue;
    for (int i = 0; i < streams.size(); ++i)
        queue.submit(i * 1048576, streams.at(i).constData(), streams.at(i).size());
    const QList<ThumbnailQueue::Result> results = queue.take_all();

    QCOMPARE(results.size(), streams.size());
    for (int i = 0; i < results.size(); ++i) {
        QCOMPARE(results.at(i).offset, i * 1048576);
        QCOMPARE(results.at(i).length, streams.at(i).size());
        if (i == 2)
            QVERIFY(results.at(i).thumbnail.isNull());
        else
            QCOMPARE(results.at(i).thumbnail.size(), ThumbnailQueue::thumbnail_size);
    }
}

QTEST_GUILESS_MAIN(TestThumbnailQueue)
#include "tst_thumbnailqueue.moc"
