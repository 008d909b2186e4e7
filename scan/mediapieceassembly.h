#pragma once

#include "allocationmap.h"
#include "extentreader.h"
#include "videosamplestarts.h"
#include "volumeextent.h"

#include <QByteArray>
#include <QList>

#include <functional>
#include <map>
#include <queue>
#include <tuple>
#include <vector>

// Puts a deleted video or HEIC photo back together from its pieces. A file
// system puts a file into the free clusters in order, around the clusters
// other files held while it was written; some of those files are deleted
// now, so where the free space reaches a run of another deleted entry the
// file goes on either through it (a file deleted before, whose clusters it
// took) or around it (a file deleted after).
//
// The paths along the free space from the file's start are followed with
// the fewest ways around first. The sizes in the top-level headers (of an
// AVI clip, its chunks, frame by frame) tell where each next header must
// stand in the file, so a path is given up as soon as a header is not there, and paths that reach the same place with the same
// bytes behind them are followed once. A path whose headers lead exactly to
// the file's size is then walked whole, as the scan's walker walks a file,
// and checked by the probe; the first that holds both is the file. The
// bytes are read as they are needed, never held: a file of any size costs
// the state of its paths.
class MediaPieceAssembly
{
public:
    // What the file must turn out to be: an ISO file with a movie, one with
    // a picture and no movie, or an AVI clip.
    enum class Format { IsoVideo, IsoImage, Riff };
    // Bytes of the volume from offset; fewer at its end or where a read failed.
    using Reader = std::function<QByteArray(qint64 offset, qint64 length)>;
    using Stopped = std::function<bool()>;
    // True when the file in these pieces checks out (a video's index and
    // first frame, a photo's primary image).
    using Probe = std::function<bool(const VolumeExtents &pieces)>;

    // Steps of paths followed for one file, paths of the same place and
    // length kept apart, and whole paths walked and probed.
    static constexpr int most_steps = 20000;
    static constexpr int alike_kept = 3;
    static constexpr int most_walks = 8;
    static constexpr qint64 walk_chunk = 1024 * 1024;
    // A HEIC photo's mdat boxes looked at, and reads of NAL unit headers in
    // its pictures, at most.
    static constexpr int most_data_boxes = 64;
    static constexpr int most_nal_reads = 65536;

    struct Result
    {
        VolumeExtents pieces; // in order; empty when no path checks out
        quint32 crc = 0;      // of the file's bytes, taken as the walk passed them
    };

    MediaPieceAssembly(const AllocationMap &allocation, qint64 volume_end, Reader reader, Stopped stopped = {});

    // start: where the file begins (its deleted entry's first cluster); size:
    // the entry's; own_runs: the entry's runs (its chain, where the card
    // keeps one, is tried first).
    Result follow(qint64 start, qint64 size, const VolumeExtents &own_runs, Format format, const Probe &probe);

    // What the last follow() cost.
    int steps_taken() const { return int(steps.size()); }
    int walks_done() const { return walks; }

private:
    // What the headers so far say of the file.
    enum Has : quint8 { Movie = 1, Data = 2, Meta = 4 };
    // A stretch of a path: the pieces it adds to those of its parent, and
    // where the path stands after it.
    struct Step
    {
        int parent = -1;
        VolumeExtents pieces;
        qint64 position = 0;    // on the volume
        qint64 taken = 0;       // bytes of the file on the path so far
        qint64 next_header = 0; // in bytes of the file
        int arounds = 0;
        quint8 has = 0;
        bool decided_here = false; // the place at position is gone through
        qint64 sample_checked = -1; // bytes of the file before the sample start checked last
        qint64 movie_at = -1;       // where its `moov` box starts, in bytes of the file
        qint64 movie_size = 0;
        qint64 segment_end = 0;     // an AVI clip: where its RIFF segment and its frames' list end
        qint64 list_end = 0;
    };
    using Key = std::tuple<qint64, qint64, qint64, bool>;

    void push(Step step);
    // Follows the step's path to its next fork, its end or a header that is
    // not there.
    void follow_step(Step step);
    bool take_header(Step &step);
    bool header_fits(const QByteArray &header, Step &step) const;
    bool chunk_header_fits(const QByteArray &header, Step &step) const;
    // The next video sample's start at or after taken bytes, or -1.
    qint64 next_sample_from(qint64 taken, const VideoSampleStarts::Sample **sample) const;
    // The sample tables of the first path whose headers fit: the paths are
    // then followed again, each sample's start checked where the path puts it.
    bool read_samples(const VolumeExtents &path, const Step &step);
    bool picture_places_fit(const VolumeExtents &path) const;
    static bool nal_units_fill(const ExtentReader &item, int length_size, int &reads);
    // The file along path, read through the volume's reader until a stop.
    ExtentReader file_in(const VolumeExtents &path) const;
    static QByteArray read_file(const ExtentReader &file, qint64 offset, qint64 length);
    void restart();
    bool complete(const Step &step) const;
    QList<qint64> ends_of_other_runs(qint64 at) const;
    QByteArray read_along(qint64 at, qint64 length) const;
    VolumeExtents path_of(int step) const;
    bool check(const VolumeExtents &pieces);
    bool walk(const VolumeExtents &pieces, quint32 *crc);
    bool stopping() const { return stopped && stopped(); }

    const AllocationMap &allocation;
    const qint64 volume_end;
    Reader reader;
    Stopped stopped;

    qint64 start = 0;
    qint64 size = 0;
    VolumeExtents own;
    Format format = Format::IsoVideo;
    const Probe *probe = nullptr;
    std::vector<Step> steps;
    using Waiting = std::tuple<int, qint64, int>; // arounds, bytes behind (negated), step
    std::priority_queue<Waiting, std::vector<Waiting>, std::greater<Waiting>> waiting;
    std::map<Key, int> alike;
    std::vector<VideoSampleStarts::Sample> samples;
    bool samples_read = false;
    Result found;
    int walks = 0;
};
