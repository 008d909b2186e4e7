#pragma once

#include <QByteArray>
#include <QtGlobal>

#include <vector>

// Where a movie's video samples start in its file, from the sample tables of
// its `moov` box (stsz, stsc, stco or co64 of its H.264 or HEVC tracks), and
// what must stand there: each sample is a run of NAL units, each led by its
// length. A file put together from pieces must have a NAL unit where every
// sample starts, so these places tell a right path from a wrong one long
// before the probe's first frame.
class VideoSampleStarts
{
public:
    struct Sample
    {
        qint64 offset = 0; // in bytes of the file
        qint64 size = 0;
        int length_size = 4; // bytes of each NAL unit's length
        bool hevc = false;
    };

    // At most this many samples are kept, spread over the file; a movie
    // box larger than largest_movie is not read.
    static constexpr int most_samples = 65536;
    static constexpr qint64 largest_movie = 32 * 1024 * 1024;

    // The samples of the movie box (its header included), in file order;
    // empty when it holds no track of NAL units or its tables do not agree.
    static std::vector<Sample> read(const QByteArray &movie, qint64 file_size);
    // True when the bytes at a sample's start (5 of them at least) begin a
    // NAL unit that fits in the sample.
    static bool plausible(const Sample &sample, const QByteArray &bytes);
};
