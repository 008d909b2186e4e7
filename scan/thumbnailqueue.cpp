#include "thumbnailqueue.h"

#include "fragmentsearch.h"
#include "jpegframelimits.h"

#include <QBuffer>
#include <QImageReader>

ThumbnailQueue::ThumbnailQueue()
{
    decoders_allowed = qMax(1, QThread::idealThreadCount());
    pool.setMaxThreadCount(decoders_allowed);
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

// A photo all the same, offered without a thumbnail.
ThumbnailQueue::Result ThumbnailQueue::too_large(const QByteArray &jpeg)
{
    Result result;
    result.decode.over_budget = true;
    result.decode.mcu_rows = int((JpegFrameLimits::read(jpeg).height + 7) / 8);
    result.too_large_to_preview = true;
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
    auto job = std::make_shared<Job>();
    job->offset = offset;
    job->length = length;
    job->stream = QByteArray(stream, length);
    job->pixels = size;
    const qint64 memory = decoder_memory(job->stream);
    // More coefficients than all decoders together may hold: not decoded at all.
    job->too_large = memory > JpegDecodeCheck::memory_budget;
    job->units = job->too_large ? 0 : int((memory + decoder_memory_unit - 1) / decoder_memory_unit);
    pending.push_back(job);
    pending_bytes += length;
    {
        const std::lock_guard<std::mutex> lock(mutex);
        waiting.push_back(job);
    }
    start_decoder();
}

void ThumbnailQueue::start_decoder()
{
    {
        const std::lock_guard<std::mutex> lock(mutex);
        if (decoders_running >= decoders_allowed)
            return;
        ++decoders_running;
    }
    pool.start([this] { run_decoder(); });
}

// The oldest waiting stream whose memory fits beside the decodes running,
// its memory taken; null when none does (or none waits). A stream that
// needs more than is left waits for a decode to end, and the streams behind
// it that fit go first, so no decoder idles while memory is short.
ThumbnailQueue::JobPointer ThumbnailQueue::next_job_that_fits()
{
    for (auto it = waiting.begin(); it != waiting.end(); ++it) {
        if ((*it)->units <= memory_units_left) {
            JobPointer job = *it;
            waiting.erase(it);
            memory_units_left -= job->units;
            return job;
        }
    }
    return nullptr;
}

// Decodes waiting streams until none fits; a decoder that ends its decode
// gives its memory back and looks again, so a waiting stream always has a
// decoder coming for it.
void ThumbnailQueue::run_decoder()
{
    std::unique_lock<std::mutex> lock(mutex);
    while (JobPointer job = next_job_that_fits()) {
        lock.unlock();
        Result result = job->too_large ? too_large(job->stream)
                                       : decode(job->stream, job->units * decoder_memory_unit + JpegDecodeCheck::working_memory,
                                                job->pixels);
        lock.lock();
        job->result = std::move(result);
        job->done = true;
        memory_units_left += job->units;
        job_done.notify_all();
    }
    --decoders_running;
    job_done.notify_all();
}

ThumbnailQueue::Result ThumbnailQueue::take_front()
{
    const JobPointer front = std::move(pending.front());
    pending.pop_front();
    pending_bytes -= front->length;
    {
        std::unique_lock<std::mutex> lock(mutex);
        job_done.wait(lock, [&] { return front->done; });
    }
    Result result = std::move(front->result);
    result.offset = front->offset;
    result.length = front->length;
    result.stream = std::move(front->stream);
    return result;
}

QList<ThumbnailQueue::Result> ThumbnailQueue::take_ready()
{
    QList<Result> ready;
    while (!pending.empty() && (front_done() || pending_bytes > pending_byte_budget
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

qint64 ThumbnailQueue::first_pending() const
{
    qint64 first = -1;
    for (const JobPointer &job : pending)
        if (first < 0 || job->offset < first)
            first = job->offset;
    return first;
}

bool ThumbnailQueue::front_done()
{
    const std::lock_guard<std::mutex> lock(mutex);
    return pending.front()->done;
}

// Streams not yet decoded are dropped; those being decoded are waited for.
void ThumbnailQueue::clear()
{
    {
        std::unique_lock<std::mutex> lock(mutex);
        waiting.clear();
        job_done.wait(lock, [this] { return decoders_running == 0; });
    }
    pending.clear();
    pending_bytes = 0;
}
