#include "fsindexer.h"

#include "alignedbuffer.h"
#include "jpegdecodecheck.h"
#include "rawvolume.h"

#include <QDirIterator>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <optional>

FsIndexer::FsIndexer()
    : open_volume([](const QString &raw_path, volume_platform::Failure *failure) -> std::unique_ptr<VolumeSource> {
          return RawVolume::open(raw_path, failure);
      })
{
    carver.set_stream_handler([this](const char *stream, qint64 length, qint64 offset) {
        accept_stream(stream, length, offset);
    });
    carver.set_give_up_handler([this](const char *candidate, qint64 sound_length, qint64 offset, JpegCarver::GiveUp) {
        const qint64 useful = FragmentSearch::useful_length(candidate, sound_length, [this] { return !running; });
        if (useful > 0)
            note_broken(offset, useful);
    });
}

FsIndexer::~FsIndexer()
{
    stop();
    wait();
}

void FsIndexer::start(Priority priority)
{
    running = true;
    QThread::start(priority);
}

void FsIndexer::run()
{
    known_crcs.clear();
    named_count = 0;
    emit started();

    // The file system is read once, through the same opener as the raw scan
    // (so through the disk service's descriptor too); an unmounted volume's
    // live files are indexed through it as well.
    view = FileSystemView();
    volume_platform::Failure failure = volume_platform::Failure::None;
    std::unique_ptr<VolumeSource> volume = open_volume(device.raw_path, &failure);
    if (volume && running)
        read_file_system(*volume);

    const bool from_file_system = root_path.isEmpty() && view.is_read();
    if (index_existing && (!root_path.isEmpty() || from_file_system)) {
        emit indexing_started();
        if (running) {
            if (from_file_system)
                index_file_system_files(*volume);
            else
                index_existing_files();
        }
        if (running)
            emit indexing_done();
        else
            emit indexing_stopped();
    }
    // The raw scan opens the volume afresh: a card pulled out during a long
    // index is then told as such.
    volume.reset();

    emit scanning_started();
    scan_volume();
}

void FsIndexer::read_file_system(VolumeSource &volume)
{
    const qint64 unit = device.bytes_per_sector > 0 ? qint64(device.bytes_per_sector) : 512;
    FileSystemReader reader(volume, device.sector_count * unit, quint32(unit));
    reader.set_name_filter(&FsIndexer::is_jpeg_file_name);
    reader.set_keep_going([this] { return running.load(); });
    reader.set_time_limit(file_system_time_limit_ms);
    const FileSystemReader::Outcome outcome = reader.read(view);
    if (outcome == FileSystemReader::Outcome::Read)
        return;
    view = FileSystemView();
    if (running)
        emit file_system_unreadable(outcome == FileSystemReader::Outcome::Failed ? reader.failure() : QString());
}

bool FsIndexer::is_jpeg_file_name(const QString &name)
{
    static const QStringList suffixes{QStringLiteral("jpg"), QStringLiteral("jpeg"), QStringLiteral("jpe"),
                                      QStringLiteral("jfif")};
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    return dot >= 0 && suffixes.contains(name.mid(dot + 1), Qt::CaseInsensitive);
}

// Hidden folders are walked too: a photo kept under .thumbnails or a
// dot-folder is still a live file, not a deleted one.
void FsIndexer::index_existing_files()
{
    QDirIterator walk(root_path, QDir::Files | QDir::Hidden | QDir::NoSymLinks, QDirIterator::Subdirectories);
    int n = 1;
    while (index_existing && walk.hasNext()) {
        const QString path = walk.next();
        emit processedItem(n++);
        if (is_jpeg_file_name(walk.fileName()))
            index_file(path);
        if (!running)
            break;
    }
}

// The live JPEG files as the file system lists them, read through their
// clusters: an image file or an unmounted card has no mount point to walk.
void FsIndexer::index_file_system_files(VolumeSource &volume)
{
    int n = 1;
    for (const FileEntry &file : view.files) {
        if (!index_existing || !running)
            break;
        if (file.deleted)
            continue;
        emit processedItem(n++);
        const VolumeExtents runs = file.runs;
        const qint64 size = file.size;
        index_content([&](const std::function<void(const char *, qint64)> &consume) {
            QByteArray chunk(qMin<qint64>(size, CrcCalculator::file_piece * 64), Qt::Uninitialized);
            qint64 left = size;
            for (const VolumeExtent &run : runs) {
                for (qint64 at = 0; at < run.length && left > 0;) {
                    const qint64 want = std::min({qint64(chunk.size()), run.length - at, left});
                    const qint64 n = volume.read_at(run.offset + at, chunk.data(), want);
                    if (n <= 0)
                        return false;
                    consume(chunk.constData(), n);
                    at += n;
                    left -= n;
                }
            }
            return left == 0;
        });
    }
}

void FsIndexer::index_file(const QString &path)
{
    index_content([&path](const std::function<void(const char *, qint64)> &consume) {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            return false;
        QByteArray chunk(CrcCalculator::file_piece * 64, Qt::Uninitialized);
        qint64 n = 0;
        while ((n = file.read(chunk.data(), chunk.size())) > 0)
            consume(chunk.constData(), n);
        return n == 0;
    });
}

// A file is known by the CRC-32 and length of all its bytes, and also by
// those of its leading JPEG stream as the carver cuts it, since trailers
// after the end-of-image marker never reach a carved stream.
void FsIndexer::index_content(const Content &content)
{
    std::optional<StreamKey> leading;
    JpegCarver file_carver([&leading](const char *stream, qint64 length, qint64 offset) {
        if (offset != 0 || leading)
            return;
        CrcCalculator crc;
        crc.begin(0);
        crc.update(0, stream, length);
        leading = StreamKey{crc.finish(0), length};
    });
    qint64 file_length = 0;
    CrcCalculator whole;
    whole.begin(0);
    const bool ok = content([&](const char *data, qint64 length) {
        whole.update(0, data, length);
        file_length += length;
        const bool still_at_start = file_carver.state() != JpegCarver::FindStart || file_carver.position() == 0;
        if (!leading && still_at_start)
            file_carver.feed(data, length);
    });
    if (!ok)
        return;
    known_crcs.insert(StreamKey{whole.finish(0), file_length}, true);
    if (leading)
        known_crcs.insert(*leading, true);
}

void FsIndexer::scan_volume()
{
    scan_error.clear();
    unreadable_bytes = 0;
    failing_run = 0;

    volume_platform::Failure failure = volume_platform::Failure::None;
    const std::unique_ptr<VolumeSource> volume = open_volume(device.raw_path, &failure);
    if (!volume) {
        scan_error = volume_platform::failure_text(failure);
        emit scanning_error();
        return;
    }

    const qint64 unit = device.bytes_per_sector > 0 ? qint64(device.bytes_per_sector) : 512;
    const qint64 total = device.sector_count;
    const AlignedBuffer block(block_size, AlignedBuffer::Pages::Large);
    if (!block) {
        scan_error = tr("There is not enough memory to scan.");
        emit scanning_error();
        return;
    }
    carver.reset();
    accepted_crcs.clear();
    qint64 done = 0;
    bool device_gone = false;
    broken.clear();
    found_runs.clear();
    reread_bytes = 0;
    volume_in_use = volume.get();

    while (running) {
        const BlockRead read = read_block(*volume, done, block.data(), unit);
        if (read.device_gone) {
            device_gone = true;
            break;
        }
        if (read.covered == 0)
            break;
        done += read.covered;
        emit scanning_progress(done / unit, total);
        announce(thumbnails.take_ready());
        resolve_broken(*volume, done, false);
    }

    // what was read last is all there is: a candidate still open ends on
    // it, and the sectors behind a broken one are searched
    carver.finish();
    announce(thumbnails.take_all());
    if (!device_gone && running)
        resolve_broken(*volume, done, true);
    volume_in_use = nullptr;
    if (unreadable_bytes > 0)
        emit scanning_unreadable(unreadable_bytes);
    if (device_gone) {
        scan_error = volume_platform::failure_text(volume_platform::Failure::DeviceGone);
        emit scanning_error();
    } else if (running) {
        emit scanning_done();
    } else {
        emit scanning_stopped();
    }
}

// Reads the next block and hands it to the carver. A block that fails as a
// whole is read again sector by sector, past the page cache where the volume
// allows, so only the sectors that still fail are lost.
FsIndexer::BlockRead FsIndexer::read_block(VolumeSource &volume, qint64 position, char *block, qint64 unit)
{
    BlockRead result;
    const qint64 n = volume.read_at(position, block, block_size);
    if (n >= 0) {
        failing_run = 0;
        result.covered = n;
        if (n > 0)
            carver.feed(block, n);
        return result;
    }
    if (volume.last_failure() == volume_platform::Failure::DeviceGone) {
        result.device_gone = true;
        return result;
    }
    salvage_block(volume, position, block, unit, result);
    return result;
}

void FsIndexer::salvage_block(VolumeSource &volume, qint64 position, char *block, qint64 unit, BlockRead &result)
{
    qint64 good_from = 0;      // start of the readable run not yet fed
    qint64 filled = 0;         // bytes of the block accounted for
    const auto feed_good_run = [&] {
        if (filled > good_from)
            carver.feed(block + good_from, filled - good_from);
    };

    // A failing card may take seconds over each sector: a stop is honoured
    // between any two of them, and what was read so far is still carved.
    while (filled < block_size && running) {
        const qint64 want = qMin(unit, block_size - filled);
        const qint64 n = volume.read_sector_at(position + filled, block + filled, want);
        if (n == 0)
            break; // end of the volume
        if (n > 0) {
            failing_run = 0;
            filled += n;
            if (n < want)
                break;
            continue;
        }
        if (volume.last_failure() == volume_platform::Failure::DeviceGone) {
            feed_good_run(); // carved, and finished at the end of the scan
            result.device_gone = true;
            return;
        }
        feed_good_run();
        carver.skip_unreadable(want);
        unreadable_bytes += want;
        failing_run += want;
        filled += want;
        good_from = filled;
        if (failing_run >= dead_device_run) {
            result.device_gone = true;
            return;
        }
    }
    feed_good_run();
    result.covered = filled;
}

void FsIndexer::accept_stream(const char *stream, qint64 length, qint64 offset)
{
    const int key = int(quint32(quint64(offset)));
    stream_crc.begin(key);
    stream_crc.update(key, stream, length);
    const StreamKey stream_key{stream_crc.finish(key), length};
    if (known_crcs.contains(stream_key))
        return;
    known_crcs.insert(stream_key, true);
    accepted_crcs.insert(offset, stream_key.crc);
    thumbnails.submit(offset, stream, length);
}

void FsIndexer::announce(const QList<ThumbnailQueue::Result> &results)
{
    for (const ThumbnailQueue::Result &result : results) {
        const quint32 crc = accepted_crcs.take(result.offset);
        if (!result.thumbnail.isNull() || result.too_large_to_preview)
            record_found(FoundImage{result.offset, result.length, crc, {{result.offset, result.length}}, false},
                         result.thumbnail, result.stream,
                         PhotoFacts{result.offset, result.length, result.pixel_size, result.exif, result.turn, false,
                                    result.too_large_to_preview});
        else if (result.decode.mcu_rows > 0) // a readable header, damaged data
            note_broken(result.offset, result.length, FragmentSearch::damaged_in_place(result.stream, result.decode));
    }
}

// Whole as the card holds it, with its flaw: what the user wants of a photo
// a few of whose bytes went wrong, rather than its top part.
void FsIndexer::offer_damaged(qint64 offset, const QByteArray &stream)
{
    // Its key was noted when it was carved, so a copy of it elsewhere is
    // not offered twice.
    const JpegDecodeCheck::Result decode = JpegDecodeCheck::check(stream, thumbnails.thumbnail_pixels());
    if (decode.thumbnail.isNull())
        return;
    FoundImage image{offset, stream.size(), crc_of(stream), {{offset, stream.size()}}, false};
    image.damaged = true;
    record_found(image, decode.thumbnail, stream, ThumbnailQueue::facts(offset, stream));
}

void FsIndexer::record_found(FoundImage image, const QImage &thumbnail, QByteArray stream, PhotoFacts facts)
{
    name_after_entry(image, stream, facts);
    found_images.insert(image.offset, image);
    for (const VolumeExtent &piece : image.extents())
        found_runs.insert(piece.offset, piece.end());
    if (found_handler)
        found_handler(image, stream);
    facts.partial = image.partial;
    facts.damaged = image.damaged;
    emit scanning_found_facts(facts);
    if (image.partial)
        emit scanning_found_partial(image.offset);
    emit scanning_found(image.offset, thumbnail);
}

void FsIndexer::name_after_entry(FoundImage &image, QByteArray &stream, PhotoFacts &facts)
{
    const FileEntry *entry = view.deleted_entry_at(image.offset, image.length);
    if (!entry)
        return;
    if (entry->size > image.length) {
        // Only a whole photo in one piece can have its file's last bytes
        // right behind it; a trailer larger than any camera writes is not
        // taken on trust.
        const qint64 trailer = entry->size - image.length;
        if (image.partial || image.extents().size() != 1 || trailer > largest_trailer
            || view.allocation.free_until(image.offset) < image.offset + entry->size)
            return;
        const QByteArray rest = read_again(image.offset + image.length, trailer);
        if (rest.size() != trailer)
            return;
        stream.append(rest);
        image.length = entry->size;
        image.crc = crc_of(stream);
        image.pieces = {{image.offset, image.length}};
        facts.length = image.length;
        known_crcs.insert(StreamKey{image.crc, image.length}, true);
    }
    image.origin = FileOrigin{entry->name, entry->folder, entry->modified, entry->created, entry->accessed};
    facts.origin = image.origin;
    ++named_count;
}

void FsIndexer::note_broken(qint64 offset, qint64 length, bool whole_if_alone)
{
    auto at = broken.end();
    while (at != broken.begin() && (at - 1)->offset > offset)
        --at;
    broken.insert(at, {offset, length, whole_if_alone});
}

void FsIndexer::resolve_broken(VolumeSource &volume, qint64 position, bool all)
{
    bool moved = false;
    while (!broken.isEmpty() && running
           && (all || broken.first().offset + broken.first().length + FragmentSearch::default_window <= position)) {
        // Every photo carved so far must be known before its sectors are skipped.
        announce(thumbnails.take_all());
        const Broken next = broken.takeFirst();
        resolve(next);
        moved = true;
    }
    if (moved)
        volume.seek(position);
}

void FsIndexer::resolve(const Broken &candidate)
{
    const qint64 offset = candidate.offset;
    const qint64 length = candidate.length;
    if (view.allocation.is_known() && fragment_search && assemble_along_free_space(offset))
        return;
    const QByteArray stream = read_again(offset, length);
    if (stream.size() < FragmentSearch::sector || !FragmentSearch::could_be_photo(stream))
        return;
    FragmentSearch search([this](qint64 at, qint64 count) { return read_again(at, count); },
                          [this](qint64 at) { return occupied_until(at); }, [this] { return !running; });
    search.set_search_enabled(fragment_search);
    // Damaged where it lies, as far as its own bytes tell: only pieces close
    // by could still make it a photo in pieces, so the search looks only there.
    search.set_near_only(candidate.whole_if_alone);
    const FragmentSearch::Outcome outcome = search.resolve(offset, stream);
    if (!running)
        return;
    if (!outcome.pieces.isEmpty() && offer_assembled(outcome))
        return;
    if (candidate.whole_if_alone)
        offer_damaged(offset, stream);
    else
        offer_leading_part(offset, stream, outcome);
}

// A file system fills free space in order, so on a volume whose allocation
// is known a photo in pieces lies along the free clusters from its start:
// its deleted entry's own chain (exFAT's contiguous files, a FAT chain that
// survived) is tried first, then the free clusters read back to back,
// skipping live files and photos found, any number of pieces.
bool FsIndexer::assemble_along_free_space(qint64 offset)
{
    const FileEntry *entry = view.deleted_entry_at(offset, 1);
    if (entry && !entry->runs.isEmpty() && entry->runs.first().offset == offset && offer_if_whole(entry->runs))
        return true;
    return offer_if_whole(free_space_from(offset, free_space_reach));
}

// The free bytes from offset on, back to back, up to length of them.
VolumeExtents FsIndexer::free_space_from(qint64 offset, qint64 length) const
{
    VolumeExtents runs;
    const qint64 volume_end = device.sector_count * qMax<qint64>(device.bytes_per_sector, 1);
    qint64 at = offset;
    qint64 left = length;
    while (left > 0 && at < volume_end && runs.size() < most_free_runs) {
        const qint64 occupied = occupied_until(at);
        if (occupied > at) {
            at = occupied;
            continue;
        }
        qint64 end = qMin(view.allocation.free_until(at), volume_end);
        const auto next_found = found_runs.upperBound(at);
        if (next_found != found_runs.cend())
            end = qMin(end, next_found.key());
        const qint64 take = qMin(end - at, left);
        if (take <= 0)
            break;
        runs.append({at, take});
        left -= take;
        at += take;
    }
    return runs;
}

// Reads the runs in order until a JPEG stream from their first byte ends or
// is given up; offers it when it decodes cleanly.
bool FsIndexer::offer_if_whole(const VolumeExtents &runs)
{
    std::optional<qint64> length;
    bool given_up = false;
    JpegCarver along([&length](const char *, qint64 stream_length, qint64 at) {
        if (at == 0 && !length)
            length = stream_length;
    });
    along.set_give_up_handler([&given_up](const char *, qint64, qint64 at, JpegCarver::GiveUp) {
        if (at == 0)
            given_up = true;
    });
    QByteArray bytes;
    for (const VolumeExtent &run : runs) {
        for (qint64 done = 0; done < run.length && !length && !given_up && running;) {
            const QByteArray chunk = read_again(run.offset + done, qMin<qint64>(run.length - done, 1024 * 1024));
            if (chunk.isEmpty())
                return false;
            bytes.append(chunk);
            along.feed(chunk.constData(), chunk.size());
            done += chunk.size();
        }
    }
    if (!length && !given_up)
        along.finish();
    if (!length)
        return false;
    bytes.truncate(*length);
    VolumeExtents pieces;
    qint64 left = *length;
    for (const VolumeExtent &run : runs) {
        if (left <= 0)
            break;
        pieces.append({run.offset, qMin(run.length, left)});
        left -= pieces.last().length;
    }
    if (pieces.size() < 2)
        return false; // whole in one piece it would not have been broken: something else is wrong with it
    const JpegDecodeCheck::Result decode = JpegDecodeCheck::check(bytes, thumbnails.thumbnail_pixels());
    if (!decode.clean || FragmentSearch::first_unlikely_sector(bytes) >= 0)
        return false;
    if (is_new(bytes)) {
        const FoundImage image{pieces.first().offset, bytes.size(), crc_of(bytes), pieces, false};
        record_found(image, decode.thumbnail, bytes, ThumbnailQueue::facts(image.offset, bytes));
    }
    return true;
}

bool FsIndexer::offer_assembled(const FragmentSearch::Outcome &outcome)
{
    const JpegDecodeCheck::Result decode = JpegDecodeCheck::check(outcome.stream, thumbnails.thumbnail_pixels());
    if (!decode.clean)
        return false; // a wrong join is worse than none
    if (is_new(outcome.stream)) {
        const qint64 offset = outcome.pieces.first().offset;
        const FoundImage image{offset, outcome.stream.size(), crc_of(outcome.stream), outcome.pieces, false};
        record_found(image, decode.thumbnail, outcome.stream, ThumbnailQueue::facts(image.offset, outcome.stream));
    }
    return true;
}

// The bytes before the data went wrong, as a file of their own, when they
// hold at least one row of blocks.
void FsIndexer::offer_leading_part(qint64 offset, const QByteArray &stream, const FragmentSearch::Outcome &outcome)
{
    qint64 valid = outcome.valid_length;
    bool enough_rows = outcome.valid_mcu_rows >= 1;
    if (outcome.valid_mcu_rows < 0 || valid >= stream.size()) {
        // The walker cannot follow this stream (progressive) or found nothing
        // wrong: libjpeg's decode says where it goes wrong.
        const JpegDecodeCheck::Result whole = JpegDecodeCheck::check(stream, thumbnails.thumbnail_pixels());
        valid = first_foreign_sector(stream, whole.clean ? stream.size() : qMin<qint64>(whole.fault_position,
                                                                                          stream.size()));
        if (whole.clean && FragmentSearch::first_unlikely_sector(stream) < 0)
            return; // nothing wrong with it after all
        enough_rows = outcome.valid_mcu_rows < 0 ? FragmentSearch::scans_within(stream, valid) >= 2
                                                 : whole.rows_before_fault >= 1;
    }
    if (!enough_rows || valid <= 0)
        return;
    const QByteArray part = stream.left(valid);
    const JpegDecodeCheck::Result decode = JpegDecodeCheck::check(part, thumbnails.thumbnail_pixels());
    if (decode.thumbnail.isNull() || !is_new(part))
        return;
    record_found(FoundImage{offset, valid, crc_of(part), {{offset, valid}}, true}, decode.thumbnail, part,
                 ThumbnailQueue::facts(offset, part));
}

// The sector boundary before which a stream's data is its own: no later than
// the decoder's fault, and no later than the first sector after its first
// scan began that no JPEG data could fill.
qint64 FsIndexer::first_foreign_sector(const QByteArray &stream, qint64 fault)
{
    const qint64 unlikely = FragmentSearch::first_unlikely_sector(stream, fault);
    const qint64 end = unlikely >= 0 ? unlikely : fault;
    return end / FragmentSearch::sector * FragmentSearch::sector;
}

quint32 FsIndexer::crc_of(const QByteArray &stream)
{
    CrcCalculator crc;
    crc.begin(0);
    crc.update(0, stream.constData(), stream.size());
    return crc.finish(0);
}

bool FsIndexer::is_new(const QByteArray &stream)
{
    const StreamKey key{crc_of(stream), stream.size()};
    if (known_crcs.contains(key))
        return false;
    known_crcs.insert(key, true);
    return true;
}

QByteArray FsIndexer::read_again(qint64 offset, qint64 length)
{
    QByteArray bytes;
    if (!volume_in_use || length <= 0)
        return bytes;
    bytes.resize(length);
    qint64 got = 0;
    while (got < length) {
        const qint64 n = volume_in_use->read_at(offset + got, bytes.data() + got, length - got);
        if (n <= 0)
            break;
        got += n;
    }
    bytes.resize(got);
    reread_bytes += got;
    return bytes;
}

qint64 FsIndexer::occupied_until(qint64 offset) const
{
    auto run = found_runs.upperBound(offset);
    if (run != found_runs.constBegin()) {
        --run;
        if (run.value() > offset)
            return run.value();
    }
    return view.allocation.used_until(offset);
}
