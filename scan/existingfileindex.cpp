#include "existingfileindex.h"

#include "crccalculator.h"
#include "jpegcarver.h"

#include <QDeadlineTimer>
#include <QDirIterator>
#include <QFile>

#include <algorithm>
#include <optional>

ExistingFileIndex::ExistingFileIndex(QMap<StreamKey, bool> &known)
    : known(known)
{
}

bool ExistingFileIndex::is_jpeg_file_name(const QString &name)
{
    static const QStringList suffixes{QStringLiteral("jpg"), QStringLiteral("jpeg"), QStringLiteral("jpe"),
                                      QStringLiteral("jfif")};
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    return dot >= 0 && suffixes.contains(name.mid(dot + 1), Qt::CaseInsensitive);
}

FileSystemReader::Outcome ExistingFileIndex::read_file_system(VolumeSource &volume, const RemovableDevice &device,
                                                              int time_limit_ms, FileSystemView &view, QString *why)
{
    const qint64 unit = device.bytes_per_sector > 0 ? qint64(device.bytes_per_sector) : 512;
    FileSystemReader reader(volume, device.sector_count * unit, quint32(unit));
    reader.set_name_filter(&ExistingFileIndex::is_jpeg_file_name);
    reader.set_keep_going(keep_going);
    reader.set_time_limit(time_limit_ms);
    const FileSystemReader::Outcome outcome = reader.read(view);
    if (outcome != FileSystemReader::Outcome::Read) {
        view = FileSystemView();
        *why = reader.failure();
    }
    return outcome;
}

// Hidden folders are walked too: a photo kept under .thumbnails or a
// dot-folder is still a live file, not a deleted one.
void ExistingFileIndex::index_folder(const QString &root)
{
    incomplete_text.clear();
    QDirIterator walk(root, QDir::Files | QDir::Hidden | QDir::NoSymLinks, QDirIterator::Subdirectories);
    int n = 1;
    while (going() && walk.hasNext()) {
        const QString path = walk.next();
        if (progress)
            progress(n++);
        if (is_jpeg_file_name(walk.fileName()))
            index_file(path);
    }
}

qint64 ExistingFileIndex::time_budget_ms(const FileSystemView &view, qint64 volume_size)
{
    // Live files never share bytes (the reader marks those that do), so
    // their sizes together are at most what the volume holds.
    qint64 live_bytes = 0;
    for (const FileEntry &file : view.files) {
        if (!file.deleted && !file.shared_content)
            live_bytes = qMin(live_bytes + file.size, volume_size);
    }
    return base_budget_ms + live_bytes / (slowest_rate / 1000);
}

// The live JPEG files as the file system lists them, read through their
// runs: an image file or an unmounted card has no mount point to walk.
void ExistingFileIndex::index_file_system(VolumeSource &volume, const FileSystemView &view, qint64 volume_size)
{
    incomplete_text.clear();
    const QDeadlineTimer budget(time_budget_ms(view, volume_size));
    const auto in_time = [&] {
        if (!budget.hasExpired())
            return true;
        incomplete_text = tr("Reading the photos still on the card as files took longer than the card needs; "
                             "the rest of them may be offered again.");
        return false;
    };
    int n = 1;
    for (const FileEntry &file : view.files) {
        if (!going() || !in_time())
            break;
        if (file.deleted)
            continue;
        if (progress)
            progress(n++);
        if (file.shared_content)
            continue; // its bytes are another live file's, read once already
        const VolumeExtents &runs = file.runs;
        const qint64 size = file.size;
        index_content([&](const std::function<void(const char *, qint64)> &consume) {
            QByteArray chunk(qMin<qint64>(size, CrcCalculator::file_piece * 64), Qt::Uninitialized);
            qint64 left = size;
            for (const VolumeExtent &run : runs) {
                for (qint64 at = 0; at < run.length && left > 0;) {
                    if (!going() || !in_time())
                        return false;
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

void ExistingFileIndex::index_file(const QString &path)
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
void ExistingFileIndex::index_content(const Content &content)
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
    known.insert(StreamKey{whole.finish(0), file_length}, true);
    if (leading)
        known.insert(*leading, true);
}
