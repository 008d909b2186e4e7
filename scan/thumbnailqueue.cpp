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

ThumbnailQueue::Result ThumbnailQueue::decode(const QByteArray &jpeg, qint64 memory_limit)
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
    result.decode = JpegDecodeCheck::check(jpeg, thumbnail_size, memory_limit);
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

namespace {

bool is_progressive_frame(uchar code)
{
    return code == 0xC2 || code == 0xC6 || code == 0xCA || code == 0xCE;
}

bool is_frame(uchar code)
{
    return code >= 0xC0 && code <= 0xCF && code != 0xC4 && code != 0xC8 && code != 0xCC;
}

// Coefficient bytes of a frame from its header (at points at the segment's
// length field): each component's blocks, subsampled against the largest
// sampling factors, 64 coefficients of two bytes in each.
qint64 coefficient_bytes(const uchar *at, qsizetype available)
{
    if (available < 8)
        return 0;
    const qint64 height = (at[3] << 8) | at[4];
    const qint64 width = (at[5] << 8) | at[6];
    const int components = at[7];
    if (available < 8 + 3 * components)
        return 0;
    const auto horizontal = [&](int c) { return qMax(1, at[8 + 3 * c + 1] >> 4); };
    const auto vertical = [&](int c) { return qMax(1, at[8 + 3 * c + 1] & 0x0F); };
    int h_max = 1;
    int v_max = 1;
    for (int c = 0; c < components; ++c) {
        h_max = qMax(h_max, horizontal(c));
        v_max = qMax(v_max, vertical(c));
    }
    qint64 bytes = 0;
    for (int c = 0; c < components; ++c) {
        const qint64 blocks_wide = (width * horizontal(c) + 8 * h_max - 1) / (8 * h_max);
        const qint64 blocks_high = (height * vertical(c) + 8 * v_max - 1) / (8 * v_max);
        bytes += blocks_wide * blocks_high * 64 * 2;
    }
    return bytes;
}

} // namespace

qint64 ThumbnailQueue::decoder_memory(const QByteArray &jpeg)
{
    // A frame its bytes cannot hold is never decoded, so it claims nothing.
    if (!JpegFrameLimits::could_hold(JpegFrameLimits::read(jpeg), jpeg.size()))
        return 0;
    const auto *at = reinterpret_cast<const uchar *>(jpeg.constData());
    const qsizetype size = jpeg.size();
    qsizetype i = 2;
    while (i + 4 <= size && at[i] == 0xFF) {
        const uchar code = at[i + 1];
        if (code == 0xFF) {
            ++i; // fill byte
            continue;
        }
        if (is_progressive_frame(code))
            return coefficient_bytes(at + i + 2, size - i - 2);
        if (is_frame(code) || code == 0xDA)
            return 0;
        i += 2 + ((at[i + 2] << 8) | at[i + 3]);
    }
    return 0;
}

void ThumbnailQueue::submit(qint64 offset, const char *stream, qint64 length)
{
    const QByteArray copy(stream, length);
    const int units = int(qMin<qint64>(decoder_memory(copy) / decoder_memory_unit, decoder_memory_units));
    QSemaphore *memory_left = &decoder_memory_left;
    pending.push_back({offset, length, copy, QtConcurrent::run(&pool, [memory_left, units, copy] {
                           memory_left->acquire(units);
                           const QSemaphoreReleaser release(memory_left, units);
                           return decode(copy, units * decoder_memory_unit + JpegDecodeCheck::working_memory);
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
