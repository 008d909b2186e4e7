#include "jpegphotocarver.h"

#include "fragmentsearch.h"

JpegPhotoCarver::JpegPhotoCarver(qreal thumbnail_pixel_ratio)
{
    thumbnails.set_pixel_ratio(thumbnail_pixel_ratio);
    carver.set_stream_handler([this](const char *stream, qint64 length, qint64 offset) {
        if (sink->take_candidate(kind(), stream, length, offset))
            thumbnails.submit(offset, stream, length);
    });
    // Only the part of a given-up candidate that can still be a photo's
    // start is worth the search for its other pieces.
    carver.set_give_up_handler([this](const char *candidate, qint64 sound_length, qint64 offset, JpegCarver::GiveUp) {
        const qint64 useful = FragmentSearch::useful_length(candidate, sound_length, [this] { return sink->stopping(); });
        if (useful > 0)
            sink->take_broken(kind(), offset, useful);
    });
}

void JpegPhotoCarver::reset(qint64 position)
{
    thumbnails.clear();
    carver.reset(position);
}

qint64 JpegPhotoCarver::open_from() const
{
    // A candidate open holds every byte from its start on.
    return carver.position() - carver.buffered();
}

QList<MediaCarver::Checked> JpegPhotoCarver::checked(const QList<ThumbnailQueue::Result> &results)
{
    QList<Checked> out;
    out.reserve(results.size());
    for (const ThumbnailQueue::Result &result : results) {
        Checked one;
        one.offset = result.offset;
        one.length = result.length;
        if (!result.thumbnail.isNull() || result.too_large_to_preview) {
            one.outcome = Checked::Outcome::Whole;
            one.thumbnail = result.thumbnail;
            one.bytes = result.stream;
            one.facts = PhotoFacts{result.offset, result.length, result.pixel_size, result.exif, result.turn, false,
                                   result.too_large_to_preview};
        } else if (result.decode.mcu_rows > 0) {
            one.outcome = Checked::Outcome::Broken; // a readable header, damaged data
            one.whole_if_alone = FragmentSearch::damaged_in_place(result.stream, result.decode);
        }
        out.append(one);
    }
    return out;
}
