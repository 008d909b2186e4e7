#pragma once

#include "exifinfo.h"
#include "jpegdecodecheck.h"
#include "photofacts.h"

#include <QByteArray>
#include <QImage>
#include <QImageIOHandler>
#include <QList>
#include <QSize>
#include <QThreadPool>

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>

// Decodes accepted streams into thumbnails on the spare cores while the
// carver goes on, and hands the results back in the order they came in.
class ThumbnailQueue
{
public:
    struct Result
    {
        qint64 offset = 0;
        qint64 length = 0;
        QImage thumbnail; // null unless the stream decodes cleanly
        QSize pixel_size; // of the whole photo as shown (after its EXIF orientation)
        ExifInfo exif;
        QImageIOHandler::Transformations turn = QImageIOHandler::TransformationNone;
        QByteArray stream; // the stream's bytes, as submitted
        JpegDecodeCheck::Result decode; // how far a stream that does not decode was good
        // Its frame fits its bytes, but decoding it needs more memory than
        // all decoders together may hold: offered without a thumbnail.
        bool too_large_to_preview = false;
    };

    static constexpr QSize thumbnail_size{160, 107};
    // Thumbnails in pixels: thumbnail_size times the screen's pixel ratio,
    // so that they are sharp on a high-density screen.
    static QSize thumbnail_size_at(qreal pixel_ratio);
    void set_pixel_ratio(qreal ratio) { size = thumbnail_size_at(ratio); }
    QSize thumbnail_pixels() const { return size; }

    ThumbnailQueue();
    ~ThumbnailQueue();

    void submit(qint64 offset, const char *stream, qint64 length);
    // The finished results at the front, in submission order. Blocks for
    // the front one while more bytes wait than the budget allows.
    QList<Result> take_ready();
    // Every result, waiting for those still being decoded.
    QList<Result> take_all();
    // Where the earliest stream submitted and not yet taken starts, or -1.
    qint64 first_pending() const;
    void clear();

    // Decodes the whole stream straight to thumbnail size (the decoder
    // scales in the DCT); a null image unless it decodes cleanly.
    static QImage make_thumbnail(const QByteArray &jpeg);
    // The decode check with its thumbnail, and the pixel size and EXIF facts
    // read from the same bytes. A frame larger than a camera makes, or than
    // the stream's bytes could code, is not decoded: the first is no photo,
    // the second at best the first piece of one. memory_limit bounds what
    // the decoder may set aside.
    static Result decode(const QByteArray &jpeg, qint64 memory_limit = JpegDecodeCheck::memory_budget,
                         QSize thumbnail_pixels = thumbnail_size);
    // The pixel size, orientation and EXIF facts of a stream, from its headers.
    static PhotoFacts facts(qint64 offset, const QByteArray &jpeg);
    // Bytes the decoder holds for the whole stream beyond a few rows of
    // blocks: for a progressive stream every DCT coefficient of the image, two
    // bytes each, until its last scan is in; 0 for a sequential stream.
    static qint64 decoder_memory(const QByteArray &jpeg);

private:
    QSize size = thumbnail_size;

    // One stream on its way: waiting for a decoder, being decoded, or done.
    struct Job
    {
        qint64 offset;
        qint64 length;
        QByteArray stream;
        QSize pixels; // of its thumbnail
        int units;    // of the decoders' memory budget it holds while decoded
        bool too_large; // needs more than the whole budget
        Result result;
        bool done = false;
    };
    using JobPointer = std::shared_ptr<Job>;

    Result take_front();
    bool front_done();
    static void fill_facts(Result &result, const QByteArray &jpeg);
    static Result too_large(const QByteArray &jpeg);
    void start_decoder();
    void run_decoder();
    JobPointer next_job_that_fits();

    static constexpr qint64 pending_byte_budget = 32 * 1024 * 1024;
    static constexpr int pending_count_budget = 64;
    // Coefficient memory the decoders may hold at once (the decoders'
    // budget, in units of 64 KiB): a big progressive photo (88 MB at 5120 by
    // 2880 without chroma subsampling) waits until another one being decoded
    // is done, while the other decoder goes on with the streams behind it
    // that fit beside it. What a decoder is granted is also its libjpeg
    // memory limit, so the budget bounds the decoding itself; a photo whose
    // coefficients need more than all of it is not decoded and is offered
    // without a thumbnail.
    static constexpr qint64 decoder_memory_unit = 64 * 1024;
    static constexpr int decoder_memory_units = int(JpegDecodeCheck::memory_budget / decoder_memory_unit);

    std::deque<JobPointer> pending; // in submission order; the carver's thread only
    qint64 pending_bytes = 0;

    // Shared with the decoders.
    std::mutex mutex;
    std::condition_variable job_done;
    std::deque<JobPointer> waiting; // submitted, not yet taken by a decoder
    int memory_units_left = decoder_memory_units;
    int decoders_running = 0;
    int decoders_allowed = 1;
    QThreadPool pool; // last: its threads end before what they use
};
