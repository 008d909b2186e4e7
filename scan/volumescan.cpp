#include "volumescan.h"

#include "alignedbuffer.h"
#include "blockreader.h"
#include "existingfileindex.h"
#include "rawvolume.h"
#include "thumbnailqueue.h"

#include <QThread>

namespace {

VolumeScan::VolumeOpener opener_or_default(const VolumeScan::VolumeOpener &opener)
{
    if (opener)
        return opener;
    return [](const QString &raw_path, volume_platform::Failure *failure) -> std::unique_ptr<VolumeSource> {
        return RawVolume::open(raw_path, failure);
    };
}

} // namespace

VolumeScan::VolumeScan(const RemovableDevice &device, ScanOptions scan_options, QObject *parent)
    : QObject(parent)
    , volume_device(device)
    , options([&] {
        scan_options.open_volume = opener_or_default(scan_options.open_volume);
        return std::move(scan_options);
    }())
    , index_live_files(options.index_existing)
{
    qRegisterMetaType<FoundFile>();
    qRegisterMetaType<ScanSummary>();
}

VolumeScan::~VolumeScan()
{
    stop();
    wait();
}

bool VolumeScan::start()
{
    if (started)
        return false;
    started = true;
    // Raised before the thread starts, so a stop that comes at once is never lost.
    running = true;
    thread = QThread::create([this] { run(); });
    thread->setParent(this);
    connect(thread, &QThread::finished, this, &VolumeScan::ended);
    thread->start();
    return true;
}

void VolumeScan::stop()
{
    running = false;
}

void VolumeScan::skip_existing_files()
{
    index_live_files = false;
}

bool VolumeScan::is_running() const
{
    return thread && thread->isRunning() && !thread->isFinished();
}

bool VolumeScan::wait(int ms)
{
    if (!thread)
        return true;
    return ms < 0 ? thread->wait() : thread->wait(QDeadlineTimer(ms));
}

ResumePoint VolumeScan::resume_point() const
{
    ResumePoint point;
    point.offset = result.resume_offset;
    point.known = QList<StreamKey>(known.cbegin(), known.cend());
    point.found = found_files;
    return point;
}

qint64 VolumeScan::unit() const
{
    return volume_device.bytes_per_sector > 0 ? qint64(volume_device.bytes_per_sector) : 512;
}

qint64 VolumeScan::volume_end() const
{
    return volume_device.sector_count * unit();
}

void VolumeScan::run()
{
    for (const StreamKey &key : options.resume.known)
        known.insert(key);
    found_files = options.resume.found;

    // The file system is read once, through the same opener as the raw scan
    // (so through the disk service's descriptor too); an unmounted volume's
    // live files are indexed through it as well.
    volume_platform::Failure failure = volume_platform::Failure::None;
    std::unique_ptr<VolumeSource> volume = options.open_volume(volume_device.raw_path, &failure);
    index_existing(volume.get());
    // The raw scan opens the volume afresh: a card pulled out during a long
    // index is then told as such.
    volume.reset();

    emit raw_scan_started();
    scan_volume();
    emit finished(result);
}

void VolumeScan::index_existing(VolumeSource *volume)
{
    QMap<StreamKey, bool> live_files;
    ExistingFileIndex index(live_files);
    index.set_keep_going([this] { return running.load(); });
    view = FileSystemView();
    if (volume && running) {
        QString why;
        if (index.read_file_system(*volume, volume_device, options.file_system_time_limit_ms, view, &why)
                != FileSystemReader::Outcome::Read
            && running)
            emit file_system_unreadable(why);
    }

    const bool from_file_system = options.root_path.isEmpty() && view.is_read();
    if (index_live_files && (!options.root_path.isEmpty() || from_file_system)) {
        emit indexing_started();
        index.set_keep_going([this] { return running && index_live_files; });
        index.set_progress([this](int files) { emit indexing_progress(files); });
        if (running) {
            if (from_file_system)
                index.index_file_system(*volume, view, volume_end());
            else
                index.index_folder(options.root_path);
        }
        if (!index.incomplete().isEmpty() && running)
            emit existing_files_incomplete(index.incomplete());
        emit indexing_finished(running);
    }
    for (auto key = live_files.cbegin(); key != live_files.cend(); ++key)
        known.insert(key.key());
}

// Each carver that looks at every sector start touches one cache line in
// eight of a block, lines that fall in an eighth of the cache's sets: a
// whole 4 MiB block does not stay in the cache from one carver to the next,
// a part of 256 KiB does.
void VolumeScan::feed_carvers(const char *data, qint64 length)
{
    constexpr qint64 part = 256 * 1024;
    for (const std::unique_ptr<MediaCarver> &carver : carvers)
        if (carver->takes_whole_blocks())
            carver->feed(data, length);
    for (qint64 at = 0; at < length; at += part)
        for (const std::unique_ptr<MediaCarver> &carver : carvers)
            if (!carver->takes_whole_blocks())
                carver->feed(data + at, qMin(part, length - at));
}

void VolumeScan::scan_volume()
{
    const qint64 start = qBound<qint64>(0, options.resume.offset / unit() * unit(), volume_end());
    result.resume_offset = start;
    volume_platform::Failure failure = volume_platform::Failure::None;
    const std::unique_ptr<VolumeSource> volume = options.open_volume(volume_device.raw_path, &failure);
    if (!volume) {
        result.outcome = ScanSummary::Outcome::Failed;
        result.error = volume_platform::failure_text(failure);
        return;
    }
    const AlignedBuffer block(BlockReader::block_size, AlignedBuffer::Pages::Large);
    if (!block) {
        result.outcome = ScanSummary::Outcome::Failed;
        result.error = tr("There is not enough memory to scan.");
        return;
    }

    {
        const QMutexLocker lock(&read_back_lock);
        read_back_volume = options.open_volume(volume_device.raw_path, &failure);
    }
    // Only a file system whose live files lie where it says tells which bytes are theirs.
    const bool live_space_known =
        view.is_read() && view.live_files_agree([this](qint64 offset, qint64 length) { return read_back(offset, length); });
    clip_frames.set_live_space(live_space_known ? &view.allocation : nullptr);
    carvers = MediaCarver::registered({options.thumbnail_pixel_ratio, options.kinds, volume_end()});
    for (const std::unique_ptr<MediaCarver> &carver : carvers) {
        carver->set_sink(static_cast<MediaCarver::Sink *>(this));
        carver->reset(start);
    }
    BrokenPhotoResolver::Host &host = *this;
    resolver = std::make_unique<BrokenPhotoResolver>(host, view, volume_end(),
                                                     ThumbnailQueue::thumbnail_size_at(options.thumbnail_pixel_ratio),
                                                     options.fragment_search);
    for (const FoundImage &image : std::as_const(found_files))
        resolver->note_found(image);

    BlockReader reader(*volume, unit(), running,
                       {[this](const char *data, qint64 length) { feed_carvers(data, length); },
                        [this](qint64 length) {
                            for (const std::unique_ptr<MediaCarver> &carver : carvers)
                                carver->skip_unreadable(length);
                        }});
    position = start;
    bool device_gone = false;
    qint64 resume_from = start;
    while (running) {
        const BlockReader::Block read = reader.read(position, block.data());
        if (read.device_gone) {
            device_gone = true;
            break;
        }
        if (read.covered == 0)
            break;
        position += read.covered;
        emit progress(position / unit(), volume_device.sector_count);
        for (const std::unique_ptr<MediaCarver> &carver : carvers)
            announce(*carver, carver->take_ready());
        judge_what_could_be_due();
        resolver->resolve_due(position, false);
    }

    // Where a later scan goes on: before anything still open or waiting.
    resume_from = position;
    for (const std::unique_ptr<MediaCarver> &carver : carvers)
        resume_from = qMin(resume_from, carver->open_from());
    if (resolver->first_waiting() >= 0)
        resume_from = qMin(resume_from, resolver->first_waiting());
    if (first_unchecked >= 0)
        resume_from = qMin(resume_from, first_unchecked);
    result.resume_offset = qMax(start, resume_from / unit() * unit());

    // what was read last is all there is: a candidate still open ends on
    // it, and the sectors behind a broken one are searched
    for (const std::unique_ptr<MediaCarver> &carver : carvers)
        carver->finish();
    for (const std::unique_ptr<MediaCarver> &carver : carvers)
        announce(*carver, carver->take_all());
    if (!device_gone && running)
        resolver->resolve_due(position, true);
    {
        const QMutexLocker lock(&read_back_lock);
        read_back_volume.reset();
    }
    result.bytes_read_again += bytes_read_back.exchange(0);
    result.unreadable_bytes = reader.unreadable_bytes();
    if (device_gone) {
        result.outcome = ScanSummary::Outcome::Failed;
        result.error = volume_platform::failure_text(volume_platform::Failure::DeviceGone);
    } else {
        result.outcome = running ? ScanSummary::Outcome::Completed : ScanSummary::Outcome::Stopped;
        if (running)
            result.resume_offset = volume_end();
    }
}

bool VolumeScan::take_candidate(MediaKind, const char *bytes, qint64 length, qint64 offset)
{
    const int key = int(quint32(quint64(offset)));
    stream_crc.begin(key);
    stream_crc.update(key, bytes, length);
    const StreamKey stream_key{stream_crc.finish(key), length};
    if (!is_new(stream_key))
        return false;
    accepted_crcs.insert(offset, stream_key.crc);
    return true;
}

bool VolumeScan::take_extent(MediaKind, qint64 offset, qint64 length, quint32 crc, bool damaged)
{
    // A live file with sectors that cannot be read was not read whole for
    // the index either: its place in the file system tells it.
    if (damaged && view.allocation.used_until(offset) > offset)
        return false;
    const StreamKey key{crc, length};
    if (!is_new(key))
        return false;
    accepted_crcs.insert(offset, key.crc);
    return true;
}

void VolumeScan::take_broken(MediaKind kind, qint64 offset, qint64 length, bool whole_if_alone)
{
    // Only photos are put together from pieces so far.
    if (kind == MediaKind::JpegPhoto && !clip_frames.is_part_of_file(offset))
        resolver->note_broken(offset, length, whole_if_alone);
}

qint64 VolumeScan::deleted_file_end(qint64 offset, qint64 at_least)
{
    const FileEntry *entry = view.deleted_entry_at(offset, at_least);
    return entry ? offset + entry->size : -1;
}

qint64 VolumeScan::frames_undecided_from() const
{
    qint64 from = -1;
    for (const std::unique_ptr<MediaCarver> &carver : carvers) {
        const qint64 carver_from = carver->frames_undecided_from();
        if (carver_from >= 0 && (from < 0 || carver_from < from))
            from = carver_from;
    }
    return from;
}

// A broken photo is resolved at the first block after the read has passed
// the window where its other pieces may lie, against every file carved by
// then. Its validator may still be at work there on a busy machine: it is
// waited for, so that neither when a candidate is resolved nor what it is
// resolved against depends on the threads' timing.
void VolumeScan::judge_what_could_be_due()
{
    for (const std::unique_ptr<MediaCarver> &carver : carvers) {
        const qint64 unjudged = carver->first_unjudged();
        if (unjudged >= 0 && resolver->could_be_due(unjudged, position)) {
            announce_carved();
            return;
        }
    }
}

void VolumeScan::announce(MediaCarver &carver, QList<MediaCarver::Checked> checked)
{
    // JPEG finds wait in line where they may yet prove to be a clip's frames.
    if (carver.kind() == MediaKind::JpegPhoto) {
        clip_frames.add(checked);
        checked = clip_frames.take_decided(frames_undecided_from());
    }
    // In their order on the volume, which numbers them: a carver running two
    // walkers over a block hands over the first walker's files first.
    std::stable_sort(checked.begin(), checked.end(),
                     [](const MediaCarver::Checked &a, const MediaCarver::Checked &b) { return a.offset < b.offset; });
    for (const MediaCarver::Checked &one : std::as_const(checked)) {
        const quint32 crc = accepted_crcs.take(one.offset);
        if (one.outcome == MediaCarver::Checked::Outcome::Whole) {
            const VolumeExtents pieces = one.pieces.isEmpty() ? VolumeExtents{{one.offset, one.length}} : one.pieces;
            FoundImage image{one.offset, one.length, crc, pieces, false};
            image.kind = carver.kind();
            image.damaged = one.facts.damaged;
            image.unreadable = one.unreadable;
            if (image.kind == MediaKind::Video)
                image.container = video_container_of(one.bytes.isEmpty() ? read_again(one.offset, 16) : one.bytes);
            record_found(image, one.thumbnail, one.bytes, one.facts);
        } else if (one.outcome == MediaCarver::Checked::Outcome::Broken) {
            take_broken(carver.kind(), one.offset, one.length, one.whole_if_alone);
        } else if (one.outcome == MediaCarver::Checked::Outcome::Unchecked) {
            // a resumed scan finds it again and takes it afresh
            known.erase(StreamKey{crc, one.length});
            first_unchecked = first_unchecked < 0 ? one.offset : qMin(first_unchecked, one.offset);
        }
    }
}

void VolumeScan::announce_carved()
{
    for (const std::unique_ptr<MediaCarver> &carver : carvers)
        announce(*carver, carver->take_all());
}

void VolumeScan::offer(const VolumeExtents &pieces, bool partial, const QImage &thumbnail, const QByteArray &bytes,
                       const PhotoFacts &facts)
{
    if (clip_frames.is_part_of_file(pieces.first().offset))
        return;
    FoundImage image{pieces.first().offset, bytes.size(), crc_of(bytes), pieces, partial};
    image.damaged = facts.damaged;
    // A damaged photo offered whole is the stream carved, whose key is known
    // since then; a copy of it elsewhere was dropped when it was carved.
    if (image.damaged || is_new(StreamKey{image.crc, image.length}))
        record_found(image, thumbnail, bytes, facts);
}

void VolumeScan::record_found(FoundImage image, const QImage &thumbnail, QByteArray bytes, PhotoFacts facts)
{
    name_after_entry(image, bytes, facts);
    found_files.append(image);
    resolver->note_found(image);
    ++result.found;
    if (image.partial)
        ++result.partial;
    if (image.damaged)
        ++result.damaged;
    if (image.origin.is_known())
        ++result.named;
    facts.partial = image.partial;
    facts.damaged = image.damaged;
    facts.pieces = image.extents();
    if (options.found_handler)
        options.found_handler(image, bytes, facts);
    emit found(FoundFile{image, facts, thumbnail});
}

void VolumeScan::name_after_entry(FoundImage &image, QByteArray &bytes, PhotoFacts &facts)
{
    const FileEntry *entry = view.deleted_entry_at(image.offset, image.length);
    if (!entry)
        return;
    if (entry->size > image.length) {
        // Only a whole photo in one piece can have its file's last bytes
        // right behind it; a trailer larger than any camera writes is not
        // taken on trust.
        // A file known by its place only (a video) is not held to append to.
        const qint64 trailer = entry->size - image.length;
        if (bytes.isEmpty() || image.partial || image.extents().size() != 1 || trailer > largest_trailer
            || view.allocation.free_until(image.offset) < image.offset + entry->size)
            return;
        const QByteArray rest = read_again(image.offset + image.length, trailer);
        if (rest.size() != trailer)
            return;
        bytes.append(rest);
        image.length = entry->size;
        image.crc = crc_of(bytes);
        image.pieces = {{image.offset, image.length}};
        facts.length = image.length;
        known.insert(StreamKey{image.crc, image.length});
    }
    image.origin = FileOrigin{entry->name, entry->folder, entry->modified, entry->created, entry->accessed};
    facts.origin = image.origin;
}

bool VolumeScan::is_new(StreamKey key)
{
    return known.insert(key).second;
}

quint32 VolumeScan::crc_of(const QByteArray &bytes)
{
    CrcCalculator crc;
    crc.begin(0);
    crc.update(0, bytes.constData(), bytes.size());
    return crc.finish(0);
}

QByteArray VolumeScan::read_back(qint64 offset, qint64 length)
{
    const QMutexLocker lock(&read_back_lock);
    const QByteArray bytes = read_from(read_back_volume.get(), offset, length);
    bytes_read_back += bytes.size();
    return bytes;
}

// Through the validators' handle, which a lock keeps to one read at a time:
// the resolutions read on threads of their own.
QByteArray VolumeScan::read_again(qint64 offset, qint64 length)
{
    return read_back(offset, length);
}

QByteArray VolumeScan::read_from(VolumeSource *volume, qint64 offset, qint64 length)
{
    QByteArray bytes;
    if (!volume || length <= 0)
        return bytes;
    bytes.resize(length);
    qint64 got = 0;
    while (got < length) {
        const qint64 n = volume->read_at(offset + got, bytes.data() + got, length - got);
        if (n <= 0)
            break;
        got += n;
    }
    bytes.resize(got);
    return bytes;
}
