#include "thumbnailqueue.h"

#include <QBuffer>
#include <QImageReader>
#include <QtConcurrent/QtConcurrentRun>

ThumbnailQueue::ThumbnailQueue()
{
    pool.setMaxThreadCount(qMax(1, QThread::idealThreadCount()));
}

ThumbnailQueue::~ThumbnailQueue()
{
    clear();
}

QImage ThumbnailQueue::make_thumbnail(const QByteArray &jpeg)
{
    QBuffer device;
    device.setData(jpeg);
    device.open(QIODevice::ReadOnly);
    QImageReader reader(&device, "JPEG");
    reader.setScaledSize(thumbnail_size);
    QImage image = reader.read();
    if (image.isNull())
        return {};
    if (image.size() != thumbnail_size)
        image = image.scaled(thumbnail_size, Qt::IgnoreAspectRatio, Qt::FastTransformation);
    return image;
}

void ThumbnailQueue::submit(qint64 offset, const char *stream, qint64 length)
{
    const QByteArray copy(stream, length);
    pending.push_back({offset, length, QtConcurrent::run(&pool, &ThumbnailQueue::make_thumbnail, copy)});
    pending_bytes += length;
}

ThumbnailQueue::Result ThumbnailQueue::take_front()
{
    Pending front = std::move(pending.front());
    pending.pop_front();
    pending_bytes -= front.length;
    return {front.offset, front.length, front.thumbnail.result()};
}

QList<ThumbnailQueue::Result> ThumbnailQueue::take_ready()
{
    QList<Result> ready;
    while (!pending.empty()
           && (pending.front().thumbnail.isFinished() || pending_bytes > pending_byte_budget
               || int(pending.size()) > pending_count_budget))
        ready.append(take_front());
    return ready;
}

QList<ThumbnailQueue::Result> ThumbnailQueue::take_all()
{
    QList<Result> all;
    while (!pending.empty())
        all.append(take_front());
    return all;
}

void ThumbnailQueue::clear()
{
    for (Pending &p : pending)
        p.thumbnail.waitForFinished();
    pending.clear();
    pending_bytes = 0;
}
