#include "containercarver.h"

#include <cstring>

ContainerCarver::ContainerCarver(MediaKind kind, qint64 volume_size, QSize thumbnail_size)
    : media_kind(kind)
    , thumbnail_size(thumbnail_size)
    , boxes(volume_size)
    , riff(volume_size)
{
    boxes.set_file_handler([this](const IsoBoxWalker::Found &file) {
        const bool heic = file.kind == IsoBoxWalker::Kind::Heic;
        if (heic == (media_kind == MediaKind::HeicPhoto))
            take_found(file.offset, file.length, file.read_whole);
    });
    riff.set_file_handler([this](const RiffWalker::Found &file) { take_found(file.offset, file.length, file.read_whole); });
    // Without the keep-going hook a stop would wait for a slow check.
    probe.set_keep_going([this] { return !sink || !sink->stopping(); });
}

void ContainerCarver::reset(qint64 position)
{
    waiting.clear();
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
    return from;
}

void ContainerCarver::take_found(qint64 offset, qint64 length, bool read_whole)
{
    // A file with unreadable bytes inside cannot be written whole.
    if (read_whole && sink->take_extent(media_kind, offset, length))
        waiting.append({offset, length});
}

QList<MediaCarver::Checked> ContainerCarver::take_all()
{
    QList<Checked> out;
    out.reserve(waiting.size());
    for (const Candidate &candidate : std::as_const(waiting))
        out.append(check(candidate));
    waiting.clear();
    return out;
}

MediaCarver::Checked ContainerCarver::check(const Candidate &candidate)
{
    Checked checked;
    checked.offset = candidate.offset;
    checked.length = candidate.length;
    if (sink->stopping())
        return checked;
    const auto read = [this, &candidate](qint64 at, char *buffer, qint64 count) -> qint64 {
        const QByteArray bytes = sink->read_back(candidate.offset + at, qMin(count, candidate.length - at));
        std::memcpy(buffer, bytes.constData(), size_t(bytes.size()));
        return bytes.size();
    };
    const MediaProbe::Kind probe_kind =
        media_kind == MediaKind::HeicPhoto ? MediaProbe::Kind::Image : MediaProbe::Kind::Video;
    const MediaProbe::Result result =
        probe.check(probe_kind, candidate.length, read, qMax(thumbnail_size.width(), thumbnail_size.height()));
    if (!result.sound)
        return checked;
    checked.outcome = Checked::Outcome::Whole;
    checked.thumbnail = result.thumbnail;
    checked.facts.offset = candidate.offset;
    checked.facts.length = candidate.length;
    checked.facts.pixel_size = result.size;
    checked.facts.no_preview = result.thumbnail.isNull();
    checked.facts.kind = media_kind;
    checked.facts.duration_ms = result.duration_ms;
    checked.facts.recorded = result.created;
    checked.facts.codec = result.format.section(QLatin1Char(' '), 1, 1);
    checked.facts.exif = ExifInfo::from_tiff(result.exif);
    return checked;
}
