#include "testsupport.h"
#include "thumbnailqueue.h"

#include <QTest>

using testsupport::cjpeg;

class TestThumbnailQueue : public QObject
{
    Q_OBJECT

private slots:
    void results_in_order_with_streams_beyond_the_memory_budget();
};

// Two progressive photos that together need more coefficient memory than the
// decoders may hold, one that alone needs more than all of it, sequential ones
// between them, a broken one and one cut inside its frame header: every
// result comes back, in order, and the broken and cut streams' are null.
void TestThumbnailQueue::results_in_order_with_streams_beyond_the_memory_budget()
{
    if (!testsupport::missing_tools({QStringLiteral("cjpeg")}).isEmpty())
        QSKIP("cjpeg is not installed (package libjpeg-turbo-progs)");
    const QStringList full_chroma{QStringLiteral("-progressive"), QStringLiteral("-sample"),
                                  QStringLiteral("1x1,1x1,1x1"), QStringLiteral("-quality"), QStringLiteral("60")};
    // A decoder's coefficient memory depends on the picture's size only:
    // plain pictures encode and decode fast.
    const auto plain = [&](int width, int height, Qt::GlobalColor color) {
        QImage picture(width, height, QImage::Format_RGB32);
        picture.fill(color);
        return cjpeg(picture, full_chroma);
    };
    QList<QByteArray> streams{plain(4096, 2560, Qt::darkCyan), // 60 MiB of coefficients
                              cjpeg(testsupport::make_picture(800, 600, 2)), cjpeg(testsupport::make_picture(800, 600, 5)),
                              plain(4096, 2560, Qt::darkRed), plain(5120, 3584, Qt::gray)}; // 105 MiB, over the budget
    const qsizetype dht = streams[2].indexOf(QByteArray("\xFF\xC4", 2));
    QVERIFY(dht > 0);
    streams[2].replace(dht + 5, 20, QByteArray(20, char(0xEE))); // Huffman tables no decoder accepts
    const QByteArray progressive = cjpeg(testsupport::make_picture(640, 480, 3), {QStringLiteral("-progressive")});
    streams.append(progressive.left(progressive.indexOf(QByteArray("\xFF\xC2", 2)) + 9));
    QVERIFY(ThumbnailQueue::decoder_memory(streams[4]) > 100 * 1024 * 1024);

    ThumbnailQueue queue;
    for (int i = 0; i < streams.size(); ++i)
        queue.submit(i * 1048576, streams.at(i).constData(), streams.at(i).size());
    const QList<ThumbnailQueue::Result> results = queue.take_all();
    QCOMPARE(results.size(), streams.size());
    for (int i = 0; i < results.size(); ++i) {
        QCOMPARE(results.at(i).offset, i * 1048576);
        QCOMPARE(results.at(i).length, streams.at(i).size());
        QCOMPARE(results.at(i).thumbnail.size(), i == 2 || i == 5 ? QSize(0, 0) : ThumbnailQueue::thumbnail_size);
    }
}

QTEST_GUILESS_MAIN(TestThumbnailQueue)
#include "tst_thumbnailqueue.moc"
