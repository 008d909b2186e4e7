#pragma once

#include <QByteArray>
#include <QFuture>
#include <QImage>
#include <QList>
#include <QSize>
#include <QThreadPool>

#include <deque>

// Decodes accepted streams into thumbnails on the spare cores while the
// carver goes on, and hands the results back in the order they came in.
class ThumbnailQueue
{
public:
    struct Result
    {
        qint64 offset = 0;
        qint64 length = 0;
        QImage thumbnail; // null when the stream does not decode
    };

    static constexpr QSize thumbnail_size{160, 107};

    ThumbnailQueue();
    ~ThumbnailQueue();

    void submit(qint64 offset, const char *stream, qint64 length);
    // The finished results at the front, in submission order. Blocks for
    // the front one while more bytes wait than the budget allows.
    QList<Result> take_ready();
    // Every result, waiting for those still being decoded.
    QList<Result> take_all();
    void clear();

    // Decodes the whole stream straight to thumbnail size (the decoder
    // scales in the DCT); a null image when it is not a readable JPEG.
    static QImage make_thumbnail(const QByteArray &jpeg);

private:
    struct Pending
    {
        qint64 offset;
        qint64 length;
        QFuture<QImage> thumbnail;
    };

    Result take_front();

    static constexpr qint64 pending_byte_budget = 32 * 1024 * 1024;
    static constexpr int pending_count_budget = 16;

    QThreadPool pool;
    std::deque<Pending> pending;
    qint64 pending_bytes = 0;
};
