#include "mediapieceassembly.h"

#include "extentreader.h"
#include "heicpicturecheck.h"
#include "isoboxtypes.h"
#include "isoboxwalker.h"
#include "riffwalker.h"

#include <QtEndian>

#include <algorithm>
#include <cstring>
#include <optional>
#include <utility>

namespace {

constexpr auto fourcc = &IsoBoxTypes::fourcc;

qint64 length_of(const VolumeExtents &runs)
{
    qint64 total = 0;
    for (const VolumeExtent &run : runs)
        total += run.length;
    return total;
}

// Feeds the file in its pieces to a walker of the kind the scan uses, as if
// it lay in one run from offset 0: the file the walker reports there.
template <typename Walker>
std::optional<typename Walker::Found> walked(Walker &walker, const VolumeExtents &pieces,
                                             const MediaPieceAssembly::Reader &reader,
                                             const std::function<bool()> &stopping)
{
    std::optional<typename Walker::Found> found;
    walker.set_file_handler([&found](const typename Walker::Found &file) {
        if (file.offset == 0 && !found)
            found = file;
    });
    for (const VolumeExtent &piece : pieces) {
        for (qint64 done = 0; done < piece.length;) {
            if (stopping())
                return {};
            const QByteArray chunk =
                reader(piece.offset + done, std::min(piece.length - done, MediaPieceAssembly::walk_chunk));
            if (chunk.isEmpty())
                return {};
            walker.feed(chunk.constData(), chunk.size());
            done += chunk.size();
        }
    }
    walker.finish();
    return found;
}

} // namespace

MediaPieceAssembly::MediaPieceAssembly(const AllocationMap &allocation, qint64 volume_end, Reader reader,
                                       Stopped stopped)
    : allocation(allocation)
    , volume_end(volume_end)
    , reader(std::move(reader))
    , stopped(std::move(stopped))
{
}

MediaPieceAssembly::Result MediaPieceAssembly::follow(qint64 from, qint64 file_size, const VolumeExtents &own_runs,
                                                      Format file_format, const Probe &file_probe)
{
    start = from;
    size = file_size;
    own = own_runs;
    format = file_format;
    probe = &file_probe;
    samples.clear();
    samples_read = format != Format::IsoVideo;
    found = {};
    walks = 0;
    restart();
    if (size <= 0 || start < 0 || start >= volume_end)
        return found;
    // The entry's own chain, where the card keeps one, is the file's.
    if (own.size() > 1 && own.first().offset == start && length_of(own) >= size && check(leading_extents(own, size)))
        return found;
    Step first;
    first.position = start;
    push(first);
    while (!waiting.empty() && found.pieces.isEmpty() && walks < most_walks && !stopping()) {
        const int index = std::get<2>(waiting.top());
        waiting.pop();
        Step next = steps.at(index);
        next.parent = index;
        next.pieces.clear();
        follow_step(next);
    }
    return found;
}

void MediaPieceAssembly::restart()
{
    steps.clear();
    waiting = {};
    alike.clear();
}

void MediaPieceAssembly::push(Step step)
{
    int &count = alike[Key{step.position, step.taken, step.next_header, step.decided_here}];
    if (count >= alike_kept || int(steps.size()) >= most_steps)
        return;
    ++count;
    steps.push_back(std::move(step));
    const Step &stored = steps.back();
    waiting.push({stored.arounds, -stored.taken, int(steps.size()) - 1});
}

void MediaPieceAssembly::follow_step(Step step)
{
    for (;;) {
        if (stopping())
            return;
        if (step.taken == size) {
            if (step.next_header != size || !complete(step) || int(steps.size()) >= most_steps)
                return;
            steps.push_back(step);
            const VolumeExtents path = path_of(int(steps.size()) - 1);
            if (!samples_read && read_samples(path, step)) {
                restart();
                Step first;
                first.position = start;
                push(first);
                return;
            }
            check(path);
            return;
        }
        const qint64 used_end = allocation.used_until(step.position);
        if (used_end > step.position) {
            step.position = used_end; // a live file's clusters: never this file's
            step.decided_here = false;
            continue;
        }
        if (step.position >= volume_end)
            return;
        if (step.position != start && !step.decided_here) {
            const QList<qint64> ends = ends_of_other_runs(step.position);
            if (!ends.isEmpty()) {
                // a fork: through the other file's clusters, or around them
                if (int(steps.size()) >= most_steps)
                    return;
                steps.push_back(step);
                const int fork = int(steps.size()) - 1;
                Step through = step;
                through.parent = fork;
                through.pieces.clear();
                through.decided_here = true;
                push(through);
                for (qint64 end : ends) {
                    Step around = through;
                    around.position = end;
                    around.decided_here = false;
                    ++around.arounds;
                    push(around);
                }
                return;
            }
        }
        // the header is read where the path goes on, after the fork
        if (step.taken == step.next_header) {
            if (!take_header(step))
                return;
            continue;
        }
        const VideoSampleStarts::Sample *sample = nullptr;
        const qint64 sample_at = next_sample_from(step.taken, &sample);
        if (sample_at == step.taken && step.sample_checked != step.taken) {
            if (!VideoSampleStarts::plausible(*sample, read_along(step.position, sample->length_size + 2)))
                return; // no NAL unit where the sample starts: not this file's bytes
            step.sample_checked = step.taken;
        }
        const qint64 limit = std::min({allocation.free_until(step.position), volume_end,
                                       allocation.next_deleted_after(step.position)});
        const qint64 take = std::min({limit - step.position, step.next_header - step.taken, size - step.taken,
                                      sample_at > step.taken ? sample_at - step.taken : size});
        if (take <= 0)
            return;
        if (!step.pieces.isEmpty() && step.pieces.last().end() == step.position)
            step.pieces.last().length += take;
        else
            step.pieces.append({step.position, take});
        step.position += take;
        step.taken += take;
        step.decided_here = false;
    }
}

// The next top-level header must stand where the path now is.
bool MediaPieceAssembly::take_header(Step &step)
{
    return header_fits(read_along(step.position, 16), step);
}

bool MediaPieceAssembly::header_fits(const QByteArray &header, Step &step) const
{
    const qint64 at = step.next_header;
    if (header.size() < 12)
        return false;
    const char *bytes = header.constData();
    qint64 box = 0;
    if (format == Format::Riff)
        return chunk_header_fits(header, step);
    const quint32 size32 = IsoBoxTypes::be32(bytes);
    const quint32 type = IsoBoxTypes::be32(bytes + 4);
    int header_length = 8;
    if (size32 == 1) {
        if (header.size() < 16)
            return false;
        const quint64 large = IsoBoxTypes::be64(bytes + 8);
        box = large > quint64(size) ? size + 1 : qint64(large);
        header_length = 16;
    } else {
        box = size32 == 0 ? size - at : qint64(size32);
    }
    if (box < header_length || box > size - at)
        return false;
    if (at == 0 ? !IsoBoxWalker::is_start(reinterpret_cast<const uchar *>(bytes), header.size())
                : !IsoBoxTypes::is_top_level_type(type) || type == fourcc("ftyp"))
        return false;
    if (type == fourcc("moov")) {
        if (step.has & Movie)
            return false;
        step.has |= Movie;
        step.movie_at = at;
        step.movie_size = box;
    } else if (type == fourcc("meta")) {
        if (step.has & Meta)
            return false;
        step.has |= Meta;
    } else if (type == fourcc("mdat")) {
        step.has |= Data;
    }
    step.next_header = at + box;
    return true;
}

// An AVI clip's next header: a segment's, or a chunk's inside it, where
// the frames' list (and the lists in it) are walked into, so that every
// frame's header is checked where the path puts it.
bool MediaPieceAssembly::chunk_header_fits(const QByteArray &header, Step &step) const
{
    const qint64 at = step.next_header;
    const char *bytes = header.constData();
    qint64 chunk = qint64(qFromLittleEndian<quint32>(bytes + 4)) + 8;
    chunk += chunk & 1;
    if (at == 0 || at == step.segment_end) {
        if (std::memcmp(bytes, "RIFF", 4) != 0 || std::memcmp(bytes + 8, at == 0 ? "AVI " : "AVIX", 4) != 0
            || chunk > size - at + 1)
            return false;
        step.segment_end = std::min(at + chunk, size); // a last pad byte may be left out
        step.next_header = at + 12;
        return true;
    }
    for (int i = 0; i < 4; ++i) {
        if (uchar(bytes[i]) < 0x20 || uchar(bytes[i]) > 0x7E)
            return false;
    }
    const qint64 parent_end = at < step.list_end ? step.list_end : step.segment_end;
    if (at + chunk > parent_end + 1)
        return false;
    const qint64 end = std::min(at + chunk, parent_end);
    step.next_header = end;
    if (std::memcmp(bytes, "LIST", 4) != 0)
        return true;
    if (chunk < 12)
        return false;
    if (std::memcmp(bytes + 8, "movi", 4) == 0 && at >= step.list_end) {
        step.has |= Data;
        step.list_end = end;
    }
    if (at < step.list_end)
        step.next_header = at + 12; // the frames' list, or a list inside it
    return true;
}

qint64 MediaPieceAssembly::next_sample_from(qint64 taken, const VideoSampleStarts::Sample **sample) const
{
    const auto next = std::lower_bound(samples.cbegin(), samples.cend(), taken,
                                       [](const VideoSampleStarts::Sample &s, qint64 at) { return s.offset < at; });
    if (next == samples.cend())
        return -1;
    *sample = &*next;
    return next->offset;
}

ExtentReader MediaPieceAssembly::file_in(const VolumeExtents &path) const
{
    return ExtentReader(path, [this](qint64 offset, char *buffer, qint64 count) -> qint64 {
        if (stopping())
            return -1;
        const QByteArray bytes = reader(offset, count);
        std::memcpy(buffer, bytes.constData(), size_t(bytes.size()));
        return bytes.size();
    });
}

bool MediaPieceAssembly::read_samples(const VolumeExtents &path, const Step &step)
{
    samples_read = true;
    if (step.movie_at < 0 || step.movie_size > VideoSampleStarts::largest_movie)
        return false;
    const QByteArray movie = file_in(path).read_range(step.movie_at, step.movie_size);
    if (movie.size() != step.movie_size)
        return false;
    samples = VideoSampleStarts::read(movie, size);
    return !samples.empty();
}

bool MediaPieceAssembly::complete(const Step &step) const
{
    switch (format) {
    case Format::IsoVideo:
        return (step.has & Movie) && (step.has & Data);
    case Format::IsoImage:
        return (step.has & Meta) && !(step.has & Movie);
    case Format::Riff:
        break;
    }
    return step.has & Data;
}

QList<qint64> MediaPieceAssembly::ends_of_other_runs(qint64 at) const
{
    QList<qint64> ends;
    for (qint64 end : allocation.deleted_ends_at(at)) {
        if (end > at && !own.contains(VolumeExtent{at, end - at}) && !ends.contains(end))
            ends.append(end);
    }
    std::sort(ends.begin(), ends.end());
    return ends;
}

// Bytes from at on along the free space, through whatever deleted runs lie there.
QByteArray MediaPieceAssembly::read_along(qint64 at, qint64 length) const
{
    QByteArray bytes;
    while (bytes.size() < length && at < volume_end) {
        const qint64 used_end = allocation.used_until(at);
        if (used_end > at) {
            at = used_end;
            continue;
        }
        const qint64 end = std::min(allocation.free_until(at), volume_end);
        const QByteArray part = reader(at, std::min(end - at, length - bytes.size()));
        if (part.isEmpty())
            break;
        bytes.append(part);
        at += part.size();
    }
    return bytes;
}

VolumeExtents MediaPieceAssembly::path_of(int step) const
{
    QList<const VolumeExtents *> stretches;
    for (int at = step; at >= 0; at = steps.at(at).parent)
        stretches.prepend(&steps.at(at).pieces);
    VolumeExtents path;
    for (const VolumeExtents *stretch : std::as_const(stretches)) {
        for (const VolumeExtent &piece : *stretch) {
            if (!path.isEmpty() && path.last().end() == piece.offset)
                path.last().length += piece.length;
            else
                path.append(piece);
        }
    }
    return path;
}

bool MediaPieceAssembly::check(const VolumeExtents &pieces)
{
    if (walks >= most_walks || length_of(pieces) != size)
        return false;
    ++walks;
    quint32 crc = 0;
    const bool picture_fits =
        format != Format::IsoImage || HeicPictureCheck::places_fit(file_in(pieces), [this] { return stopping(); });
    if (!picture_fits || !walk(pieces, &crc) || stopping()
        || !(*probe)(pieces))
        return false;
    found = {pieces, crc};
    return true;
}

// The walker the scan uses must take the pieces for one whole file of the
// entry's size, of the kind looked for.
bool MediaPieceAssembly::walk(const VolumeExtents &pieces, quint32 *crc)
{
    const auto stop = [this] { return stopping(); };
    if (format == Format::Riff) {
        RiffWalker walker(size);
        const auto file = walked(walker, pieces, reader, stop);
        if (!file || file->length != size || !file->read_whole())
            return false;
        *crc = file->crc;
        return true;
    }
    IsoBoxWalker walker(size);
    walker.set_known_end([this](qint64 offset, qint64) { return offset == 0 ? size : -1; });
    const auto file = walked(walker, pieces, reader, stop);
    if (!file || file->length != size || !file->read_whole()
        || (file->kind == IsoBoxWalker::Kind::Heic) != (format == Format::IsoImage))
        return false;
    *crc = file->crc;
    return true;
}
