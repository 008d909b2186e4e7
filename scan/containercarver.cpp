#include "containercarver.h"

#include <algorithm>
#include <iterator>

ContainerCarver::ContainerCarver(MediaKind kind, qint64 volume_size, QSize thumbnail_size, bool offers_files)
    : media_kind(kind)
    , offers_files(offers_files)
    , boxes(volume_size)
    , riff(volume_size)
    , pieced(kind, volume_size, [this](qint64 offset, qint64 length) { return sink->read_back(offset, length); },
             [this] { return sink && sink->stopping(); })
    , checks(kind == MediaKind::HeicPhoto ? MediaProbe::Kind::Image : MediaProbe::Kind::Video,
             qMax(thumbnail_size.width(), thumbnail_size.height()),
             [this](qint64 offset, qint64 length) { return read_for_check(offset, length); },
             [this] { return !sink || !sink->stopping(); })
{
    boxes.set_file_handler([this](const IsoBoxWalker::Found &file) {
        const bool heic = file.kind == IsoBoxWalker::Kind::Heic;
        if (heic == (media_kind == MediaKind::HeicPhoto))
            take_found(file);
    });
    riff.set_file_handler([this](const RiffWalker::Found &file) { take_found(file); });
    riff.set_frame_handler([this](qint64 offset) { sink->take_frame(offset); });
    pieced.set_clip_handler([this](const VolumeExtents &pieces) { sink->take_clip(pieces); });
    riff.set_lost_handler([this](qint64 start, qint64 end) { take_lost_clip(start, end); });
    // the walkers' starts are where a deleted file in pieces may begin
    boxes.set_start_handler([this](qint64 sector) { pieced.note_start(sector); });
    riff.set_start_handler([this](qint64 sector) { pieced.note_start(sector); });
    // A box of size 0 runs to the end of the file, known from its deleted entry.
    boxes.set_known_end([this](qint64 offset, qint64 at_least) { return sink->deleted_file_end(offset, at_least); });
}

void ContainerCarver::reset(qint64 position)
{
    checks.clear();
    {
        const QMutexLocker lock(&holes_lock);
        holes_by_file.clear();
        holes.clear();
    }
    pieced.reset();
    next_byte = position;
    boxes.reset(position);
    riff.reset(position);
}

void ContainerCarver::feed(const char *data, qint64 length)
{
    pieced.note_block(sink->volume_file_system(), next_byte, data, length);
    next_byte += length;
    if (offers_files)
        boxes.feed(data, length);
    if (looks_for_riff())
        riff.feed(data, length);
    take_pieced(walk_open_from());
}

void ContainerCarver::skip_unreadable(qint64 length)
{
    if (offers_files)
        boxes.skip_unreadable(length);
    if (looks_for_riff())
        riff.skip_unreadable(length);
    next_byte += length;
}

void ContainerCarver::finish()
{
    if (offers_files)
        boxes.finish();
    if (looks_for_riff())
        riff.finish();
    take_pieced(-1);
}

qint64 ContainerCarver::open_from() const
{
    qint64 from = offers_files ? boxes.position() : riff.position();
    if (offers_files && boxes.earliest_open_start() >= 0)
        from = qMin(from, boxes.earliest_open_start());
    if (looks_for_riff() && riff.earliest_open_start() >= 0)
        from = qMin(from, riff.earliest_open_start());
    // a file whose check a stop may cut short is looked for again
    if (checks.first_waiting() >= 0)
        from = qMin(from, checks.first_waiting());
    if (pieced.first_waiting() >= 0)
        from = qMin(from, pieced.first_waiting());
    return from;
}

// Where the walkers still hold a candidate open, or -1.
qint64 ContainerCarver::walk_open_from() const
{
    qint64 from = boxes.earliest_open_start();
    const qint64 riff_from = looks_for_riff() ? riff.earliest_open_start() : -1;
    if (riff_from >= 0)
        from = from < 0 ? riff_from : qMin(from, riff_from);
    return from;
}

qint64 ContainerCarver::frames_undecided_from() const
{
    if (!looks_for_riff())
        return -1;
    // a deleted clip in pieces tells where its frames lie once it is put together
    const qint64 walked_from = riff.frames_undecided_from();
    const qint64 pieced_from = pieced.first_waiting_clip();
    if (walked_from < 0 || pieced_from < 0)
        return std::max(walked_from, pieced_from);
    return std::min(walked_from, pieced_from);
}

void ContainerCarver::take_found(const WalkedFile &file)
{
    const bool damaged = !file.read_whole();
    if (!pieced.take_found(file.offset, file.length) || !offers_files
        || !sink->take_extent(media_kind, file.offset, file.length, file.crc, damaged))
        return;
    if (damaged) {
        const QMutexLocker lock(&holes_lock);
        holes_by_file.insert(file.offset, file.unreadable);
        for (const VolumeExtent &hole : file.unreadable)
            holes.insert(hole.offset, hole.end());
    }
    checks.submit(file.offset, file.length);
}

// A clip given up at unreadable sectors is not offered (it cannot be
// bounded), but its frames are known to lie in what its size claims, no
// further than its deleted entry, where one begins there, says.
void ContainerCarver::take_lost_clip(qint64 start, qint64 end)
{
    const qint64 entry_end = sink->deleted_file_end(start, 0);
    if (entry_end > start)
        end = qMin(end, entry_end);
    sink->take_clip({{start, end - start}});
}

QByteArray ContainerCarver::read_for_check(qint64 offset, qint64 length)
{
    const qint64 end = offset + length;
    VolumeExtents inside; // the holes in the bytes asked for, in order
    {
        const QMutexLocker lock(&holes_lock);
        auto hole = holes.upperBound(offset);
        if (hole != holes.begin())
            --hole;
        for (; hole != holes.end() && hole.key() < end; ++hole) {
            if (hole.value() > offset)
                inside.append({hole.key(), hole.value() - hole.key()});
        }
    }
    QByteArray bytes(length, '\0');
    qint64 at = offset;
    for (qsizetype next = 0; at < end;) {
        if (next < inside.size() && inside.at(next).offset <= at) {
            at = qMin(end, inside.at(next++).end()); // left as zeros
            continue;
        }
        const qint64 until = next < inside.size() ? qMin(end, inside.at(next).offset) : end;
        const QByteArray read = sink->read_back(at, until - at);
        std::copy(read.cbegin(), read.cend(), bytes.begin() + (at - offset));
        if (read.size() < until - at)
            return bytes.left(at - offset + read.size()); // a read that fails ends what the probe gets
        at = until;
    }
    return bytes;
}

void ContainerCarver::take_pieced(qint64 open_from)
{
    // a clip in pieces is put together for its frames' sake also when no
    // videos are offered
    for (const PiecedMediaFinder::Assembled &file : pieced.assemble_passed(open_from)) {
        if (offers_files && sink->take_extent(media_kind, file.offset, file.length, file.crc, false))
            checks.submit(file.offset, file.length, file.pieces);
    }
}

QList<MediaCarver::Checked> ContainerCarver::checked(const QList<ProbeQueue::Result> &results)
{
    QList<Checked> out;
    const QMutexLocker lock(&holes_lock);
    for (const ProbeQueue::Result &result : results) {
        const VolumeExtents unreadable = holes_by_file.take(result.offset);
        for (const VolumeExtent &hole : unreadable)
            holes.remove(hole.offset);
        out.append(checked_one(result, unreadable));
    }
    return out;
}

MediaCarver::Checked ContainerCarver::checked_one(const ProbeQueue::Result &result,
                                                  const VolumeExtents &unreadable) const
{
    Checked one;
    one.offset = result.offset;
    one.length = result.length;
    one.unreadable = unreadable;
    one.pieces = result.pieces;
    if (!result.checked) {
        one.outcome = Checked::Outcome::Unchecked;
    } else if (result.probe.sound) {
        one.outcome = Checked::Outcome::Whole;
        one.thumbnail = result.probe.thumbnail;
        one.facts.offset = result.offset;
        one.facts.length = result.length;
        one.facts.pixel_size = result.probe.size;
        one.facts.no_preview = result.probe.thumbnail.isNull();
        one.facts.kind = media_kind;
        one.facts.duration_ms = result.probe.duration_ms;
        one.facts.recorded = result.probe.created;
        one.facts.codec = result.probe.format.section(QLatin1Char(' '), 1, 1);
        one.facts.exif = ExifInfo::from_tiff(result.probe.exif);
        one.facts.damaged = !unreadable.isEmpty();
    }
    return one;
}
