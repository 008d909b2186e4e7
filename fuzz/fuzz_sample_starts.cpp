// The sample tables of a movie box made of the input (its first 8 bytes the
// file's size): every sample found lies inside the file, in file order, and
// their number is bounded; checking a sample's start reads only the bytes given.

#include "fuzztarget.h"
#include "videosamplestarts.h"

#include <QtEndian>

int fuzz::sample_starts(const uint8_t *data, size_t size)
{
    if (size < 8)
        return 0;
    const qint64 file_size = qint64(qFromBigEndian<quint64>(data) & 0xFFFFFFFFFFFF);
    const QByteArray movie = bytes_of(data + 8, size - 8);
    const std::vector<VideoSampleStarts::Sample> samples = VideoSampleStarts::read(movie, file_size);
    FUZZ_REQUIRE(samples.size() <= size_t(VideoSampleStarts::most_samples));
    qint64 previous = 0;
    for (const VideoSampleStarts::Sample &sample : samples) {
        FUZZ_REQUIRE(sample.offset >= previous && sample.size > 0 && sample.offset + sample.size <= file_size);
        FUZZ_REQUIRE(sample.length_size == 1 || sample.length_size == 2 || sample.length_size == 4);
        previous = sample.offset;
        VideoSampleStarts::plausible(sample, movie.left(8));
    }
    return 0;
}

FUZZ_ENTRY_POINT(sample_starts)
