#include "fsindexer.h"

#include "jpegcarver.h"

#include <QDirIterator>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <optional>

FsIndexer::FsIndexer(const RemovableDevice &device, const std::atomic<bool> &running,
                     const std::atomic<bool> &index_existing, QObject *parent)
    : QObject(parent)
    , device(device)
    , running(running)
    , index_existing(index_existing)
{
}

bool FsIndexer::will_index() const
{
    return index_existing && (!root_path.isEmpty() || view.is_read());
}

void FsIndexer::index_files(VolumeSource *volume)
{
    if (root_path.isEmpty() && view.is_read() && volume)
        index_file_system_files(*volume);
    else if (!root_path.isEmpty())
        index_existing_files();
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
