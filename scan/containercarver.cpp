#include "containercarver.h"

#include <algorithm>
#include <iterator>

ContainerCarver::ContainerCarver(MediaKind kind, qint64 volume_size, QSize thumbnail_size)
    : media_kind(kind)
    , boxes(volume_size)
    , riff(volume_size)
    , checks(kind == MediaKind::HeicPhoto ? MediaProbe::Kind::Image : MediaProbe::Kind::Video,
             qMax(thumbnail_size.width(), thumbnail_size.height()),
             [this](qint64 offset, qint64 length) { return sink->read_back(offset, length); },
             [this] { return !sink || !sink->stopping(); })
{
    boxes.set_file_handler([this](const IsoBoxWalker::Found &file) {
        const bool heic = file.kind == IsoBoxWalker::Kind::Heic;
        if (heic == (media_kind == MediaKind::HeicPhoto))
            take_found(file.offset, file.length, file.crc, file.read_whole);
    });
    riff.set_file_handler([this](const RiffWalker::Found &file) {
        take_found(file.offset, file.length, file.crc, file.read_whole);
    });
    riff.set_frame_handler([this](qint64 offset) { sink->take_frame(offset); });
    // A box of size 0 runs to the end of the file, known from its deleted entry.
    boxes.set_known_end([this](qint64 offset, qint64 at_least) { return sink->deleted_file_end(offset, at_least); });
}

void ContainerCarver::reset(qint64 position)
{
    checks.clear();
    boxes.reset(position);
    riff.reset(position);
}

void ContainerCarver::feed(const char *data, qint64 length)
{
    boxes.feed(data, length);
    if (looks_for_riff())
        riff.feed(data, length);
}

void ContainerCarver::skip_unreadable(qint64 length)
{
    boxes.skip_unreadable(length);
    if (looks_for_riff())
        riff.skip_unreadable(length);
}

void ContainerCarver::finish()
{
    boxes.finish();
    if (looks_for_riff())
        riff.finish();
}

qint64 ContainerCarver::open_from() const
{
    qint64 from = boxes.position();
    if (boxes.earliest_open_start() >= 0)
        from = qMin(from, boxes.earliest_open_start());
    if (looks_for_riff() && riff.earliest_open_start() >= 0)
        from = qMin(from, riff.earliest_open_start());
    // a file whose check a stop may cut short is looked for again
    if (checks.first_waiting() >= 0)
        from = qMin(from, checks.first_waiting());
    return from;
}

qint64 ContainerCarver::frames_undecided_from() const
{
    return looks_for_riff() ? riff.frames_undecided_from() : -1;
}

void ContainerCarver::take_found(qint64 offset, qint64 length, quint32 crc, bool read_whole)
{
    // A file with unreadable bytes inside cannot be written whole (and its
    // CRC-32 misses them).
    if (read_whole && sink->take_extent(media_kind, offset, length, crc))
        checks.submit(offset, length);
}

QList<MediaCarver::Checked> ContainerCarver::checked(const QList<ProbeQueue::Result> &results)
{
    QList<Checked> out;
    std::transform(results.cbegin(), results.cend(), std::back_inserter(out), &ContainerCarver::checked_one);
    return out;
}

MediaCarver::Checked ContainerCarver::checked_one(const ProbeQueue::Result &result)
{
    Checked one;
    one.offset = result.offset;
    one.length = result.length;
    if (!result.checked) {
        one.outcome = Checked::Outcome::Unchecked;
    } else if (result.probe.sound) {
        one.outcome = Checked::Outcome::Whole;
        one.thumbnail = result.probe.thumbnail;
        one.facts.offset = result.offset;
        one.facts.length = result.length;
        one.facts.pixel_size = result.probe.size;
        one.facts.no_preview = result.probe.thumbnail.isNull();
    }
    return one;
}
