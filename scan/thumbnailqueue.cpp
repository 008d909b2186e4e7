#include "thumbnailqueue.h"

#include "fragmentsearch.h"
#include "jpegframelimits.h"

#include <QBuffer>
#include <QImageReader>

#include <QSemaphoreReleaser>
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
    return decode(jpeg).thumbnail;
}

QSize ThumbnailQueue::thumbnail_size_at(qreal pixel_ratio)
{
    return (QSizeF(thumbnail_size) * qBound(1.0, pixel_ratio, 4.0)).toSize();
}

ThumbnailQueue::Result ThumbnailQueue::decode(const QByteArray &jpeg, qint64 memory_limit, QSize thumbnail_pixels)
{
    Result result;
    const JpegFrameLimits::Frame frame = JpegFrameLimits::read(jpeg);
    if (frame.valid && !JpegFrameLimits::within_cap(frame))
        return result; // no photo: nothing to offer, nothing to search for
    if (frame.valid && !JpegFrameLimits::could_hold(frame, jpeg.size())) {
        // Cut short by other data that ended in an end-of-image marker: the
        // photo may go on elsewhere, which the fragment search judges.
        result.decode.mcu_rows = int((frame.height + 7) / 8);
        return result;
    }
    result.decode = JpegDecodeCheck::check(jpeg, thumbnail_pixels, memory_limit);
    if (result.decode.over_budget) {
        // Its header read (rows known) and within the cap: a photo all the same.
        result.too_large_to_preview = result.decode.mcu_rows > 0;
        if (result.too_large_to_preview)
            fill_facts(result, jpeg);
        return result;
    }
    // Zeros or text inside decode without complaint in a progressive scan.
    const qint64 foreign = result.decode.clean ? FragmentSearch::first_unlikely_sector(jpeg) : -1;
    if (foreign >= 0) {
        result.decode.clean = false;
        result.decode.fault_position = foreign;
    }
    if (!result.decode.clean)
        return result;
    result.thumbnail = result.decode.thumbnail;
    fill_facts(result, jpeg);
    return result;
}

void ThumbnailQueue::fill_facts(Result &result, const QByteArray &jpeg)
{
    const PhotoFacts known = facts(0, jpeg);
    result.pixel_size = known.pixel_size;
    result.turn = known.turn;
    result.exif = known.exif;
}

PhotoFacts ThumbnailQueue::facts(qint64 offset, const QByteArray &jpeg)
{
    PhotoFacts facts;
    facts.offset = offset;
    facts.length = jpeg.size();
    QBuffer device;
    device.setData(jpeg);
    device.open(QIODevice::ReadOnly);
    QImageReader reader(&device, "JPEG");
    facts.pixel_size = reader.size();
    facts.turn = reader.transformation();
    if (facts.turn & QImageIOHandler::TransformationRotate90)
        facts.pixel_size.transpose();
    facts.exif = ExifInfo(jpeg);
    return facts;
}

qint64 ThumbnailQueue::decoder_memory(const QByteArray &jpeg)
{
    // A frame its bytes cannot hold is never decoded, so it claims nothing.
    // A progressive one keeps every coefficient (two bytes each, 64 to a
    // block) until its last scan.
    const JpegFrameLimits::Frame frame = JpegFrameLimits::read(jpeg);
    if (!frame.progressive || !JpegFrameLimits::could_hold(frame, jpeg.size()))
        return 0;
    return frame.blocks * 64 * 2;
}

void ThumbnailQueue::submit(qint64 offset, const char *stream, qint64 length)
{
    const QByteArray copy(stream, length);
    const int units = int(qMin<qint64>(decoder_memory(copy) / decoder_memory_unit, decoder_memory_units));
    QSemaphore *memory_left = &decoder_memory_left;
    pending.push_back({offset, length, copy, QtConcurrent::run(&pool, [memory_left, units, copy, pixels = size] {
                           memory_left->acquire(units);
                           const QSemaphoreReleaser release(memory_left, units);
                           return decode(copy, units * decoder_memory_unit + JpegDecodeCheck::working_memory, pixels);
                       })});
    pending_bytes += length;
}

ThumbnailQueue::Result ThumbnailQueue::take_front()
{
    Pending front = std::move(pending.front());
    pending.pop_front();
    pending_bytes -= front.length;
    Result result = front.decoded.result();
    result.offset = front.offset;
    result.length = front.length;
    result.stream = std::move(front.stream);
    return result;
}

QList<ThumbnailQueue::Result> ThumbnailQueue::take_ready()
{
    QList<Result> ready;
    while (!pending.empty()
           && (pending.front().decoded.isFinished() || pending_bytes > pending_byte_budget
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
        p.decoded.waitForFinished();
    pending.clear();
    pending_bytes = 0;
}
