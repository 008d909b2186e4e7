#include "fsindexer.h"

#include "alignedbuffer.h"
#include "rawvolume.h"

#include <QDirIterator>
#include <QFileInfo>

#include <optional>

FsIndexer::FsIndexer()
    : open_volume([](const QString &raw_path, volume_platform::Failure *failure) -> std::unique_ptr<VolumeSource> {
          return RawVolume::open(raw_path, failure);
      })
{
    carver.set_stream_handler([this](const char *stream, qint64 length, qint64 offset) {
        accept_stream(stream, length, offset);
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
    emit started();

    if (index_existing) {
        emit indexing_started();
        if (running)
            index_existing_files();
        if (running)
            emit indexing_done();
        else
            emit indexing_stopped();
    }

    emit scanning_started();
    scan_volume();
}

void FsIndexer::index_existing_files()
{
    const QMap<QString, bool> suffixes{{QStringLiteral("JPEG"), true}, {QStringLiteral("JPG"), true}};
    QDirIterator walk(root_path, QDir::Files | QDir::NoSymLinks, QDirIterator::Subdirectories);
    int n = 1;
    while (index_existing && walk.hasNext()) {
        const QString path = walk.next();
        emit processedItem(n++);
        if (suffixes.contains(walk.fileInfo().completeSuffix().toUpper()))
            index_file(path);
        if (!running)
            break;
    }
}

// A file is known by the CRC-32 and length of all its bytes, and also by
// those of its leading JPEG stream as the carver cuts it, since trailers
// after the end-of-image marker never reach a carved stream.
void FsIndexer::index_file(const QString &path)
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
    const auto carve = [&](const char *data, qint64 length) {
        file_length += length;
        const bool still_at_start = file_carver.state() != JpegCarver::FindStart || file_carver.position() == 0;
        if (!leading && still_at_start)
            file_carver.feed(data, length);
    };

    bool ok = false;
    const uint whole = CrcCalculator().crc_of_file(path, &ok, carve);
    if (!ok)
        return;
    known_crcs.insert(StreamKey{whole, file_length}, true);
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
    const AlignedBuffer block(block_size);
    if (!block) {
        scan_error = tr("There is not enough memory to scan.");
        emit scanning_error();
        return;
    }
    carver.reset();
    accepted_crcs.clear();
    qint64 done = 0;
    bool device_gone = false;

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
    }

    // what was read last is all there is: a candidate still open ends on
    // it, and the sectors behind a broken one are searched
    carver.finish();
    announce(thumbnails.take_all());
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
        if (result.thumbnail.isNull())
            continue;
        const FoundImage image{result.offset, result.length, crc};
        found_images.insert(result.offset, image);
        if (found_handler)
            found_handler(image, result.stream);
        emit scanning_found_facts(
            PhotoFacts{result.offset, result.length, result.pixel_size, result.exif, result.turn});
        emit scanning_found(result.offset, result.thumbnail);
    }
}
