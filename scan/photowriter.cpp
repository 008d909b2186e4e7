#include "photowriter.h"

#include "exifinfo.h"

#include "alignedbuffer.h"
#include "crccalculator.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <zlib.h>

namespace {

const QRegularExpression &numbered_name()
{
    static const QRegularExpression pattern(QStringLiteral("^IMAGE_(\\d{4,9})(\\.partial)?\\.JPG$"));
    return pattern;
}

// Something of that name is there, a dangling link included.
bool name_taken(const QString &path)
{
    const QFileInfo info(path);
    return info.exists() || info.isSymLink();
}

PhotoWriter::Failure write_failure(const QFile &file)
{
    // Qt reports ENOSPC (and a file size limit) as a resource error
    return file.error() == QFileDevice::ResourceError ? PhotoWriter::Failure::TargetFull
                                                      : PhotoWriter::Failure::TargetUnwritable;
}

// A short write is followed by another, which says why the rest would not go.
bool write_all(QFile &file, const char *data, qint64 length)
{
    while (length > 0) {
        const qint64 n = file.write(data, length);
        if (n <= 0)
            return false;
        data += n;
        length -= n;
    }
    return true;
}

} // namespace

PhotoWriter::PhotoWriter(const QString &directory)
    : directory(directory)
{
    const QFileInfoList entries = QDir(directory).entryInfoList(
        {QStringLiteral("IMAGE_*.JPG")}, QDir::Files | QDir::System | QDir::Hidden | QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QFileInfo &entry : entries)
        note_name(entry.fileName(), entry.isFile() && !entry.isSymLink() ? entry.size() : -1);
}

QString PhotoWriter::photo_name(int number, bool partial)
{
    return QString::asprintf(partial ? "IMAGE_%04d.partial.JPG" : "IMAGE_%04d.JPG", number);
}

namespace {

bool is_partial_name(const QString &name)
{
    return name.endsWith(QLatin1String(".partial.JPG"));
}

} // namespace

QString PhotoWriter::failure_text(Failure failure)
{
    switch (failure) {
    case Failure::None:
        return {};
    case Failure::SourceUnreadable:
        return tr("The device could not be read where the photo lies.");
    case Failure::SourceChanged:
        return tr("The card has changed since the scan: it no longer holds the photo that was found.");
    case Failure::TargetFull:
        return tr("The disk of this folder is full.");
    case Failure::TargetUnwritable:
        break;
    }
    return tr("The file could not be written in this folder.");
}

void PhotoWriter::note_name(const QString &name, qint64 size)
{
    const QRegularExpressionMatch match = numbered_name().match(name);
    if (!match.hasMatch())
        return;
    highest_number = qMax(highest_number, match.captured(1).toInt());
    if (size >= 0)
        names_by_size.insert(size, name);
}

QString PhotoWriter::name_holding(const FoundImage &image) const
{
    const QDir folder(directory);
    for (auto it = names_by_size.constFind(image.length); it != names_by_size.cend() && it.key() == image.length; ++it) {
        const auto written = crc_by_written_name.constFind(it.value());
        if (written != crc_by_written_name.cend() ? *written == image.crc : holds_photo(folder.filePath(it.value()), image))
            return it.value();
    }
    return {};
}

QString PhotoWriter::next_free_name(bool partial)
{
    QString name;
    do
        name = photo_name(++highest_number, partial);
    while (name_taken(QDir(directory).filePath(name)));
    return name;
}

bool PhotoWriter::holds_photo(const QString &path, const FoundImage &image) const
{
    const QFileInfo info(path);
    if (info.isSymLink() || !info.isFile() || info.size() != image.length)
        return false;
    bool ok = false;
    const uint crc = CrcCalculator().crc_of_file(path, &ok);
    return ok && crc == image.crc;
}

PhotoWriter::Result PhotoWriter::count(Result result)
{
    switch (result.outcome) {
    case Outcome::Written:
        ++written_count;
        break;
    case Outcome::Renamed:
        ++written_count;
        ++renamed_count;
        break;
    case Outcome::Present:
        ++present_count;
        break;
    case Outcome::Failed:
        ++failed_count;
        break;
    }
    return result;
}

PhotoWriter::Result PhotoWriter::hold_until_synced(Result result, qint64 length, bool created)
{
    pending.append({result, length, created});
    return result;
}

QList<PhotoWriter::Result> PhotoWriter::sync()
{
    if (pending.isEmpty())
        return {};
    bool full = false;
    for (Unsynced &photo : pending) {
        if (!volume_platform::sync_to_disk(photo.result.path, &full))
            photo.result.failure = full ? Failure::TargetFull : Failure::TargetUnwritable;
    }
    // the new names are on the disk only with the folder's entries
    const bool folder_synced = volume_platform::sync_to_disk(directory, &full);
    QList<Result> results;
    for (Unsynced &photo : pending) {
        Result &result = photo.result;
        if (!folder_synced && result.failure == Failure::None)
            result.failure = full ? Failure::TargetFull : Failure::TargetUnwritable;
        if (result.failure != Failure::None) {
            if (photo.created) {
                QFile::remove(result.path);
                names_by_size.remove(photo.length, result.name);
                crc_by_written_name.remove(result.name);
            }
            result.outcome = Outcome::Failed;
            result.path.clear();
            result.name.clear();
        }
        results.append(count(result));
    }
    pending.clear();
    return results;
}

PhotoWriter::Result PhotoWriter::write(const QString &name, const FoundImage &image, const QByteArray &bytes)
{
    qint64 done = 0;
    return write_from(name, image, [&](char *buffer, qint64 capacity) {
        const qint64 n = qMin(capacity, qint64(bytes.size()) - done);
        memcpy(buffer, bytes.constData() + done, size_t(n));
        done += n;
        return n;
    });
}

PhotoWriter::Result PhotoWriter::copy(const QString &name, const FoundImage &image, volume_platform::Handle volume)
{
    // the pieces in order, as one run of bytes
    const VolumeExtents pieces = image.extents();
    qsizetype piece = 0;
    qint64 done_in_piece = 0;
    return write_from(name, image, [&](char *buffer, qint64 capacity) -> qint64 {
        while (piece < pieces.size() && done_in_piece >= pieces.at(piece).length) {
            ++piece;
            done_in_piece = 0;
        }
        if (piece == pieces.size())
            return 0;
        const VolumeExtent &extent = pieces.at(piece);
        const qint64 want = qMin(capacity, extent.length - done_in_piece);
        const qint64 n = volume_platform::read_at(volume, extent.offset + done_in_piece, buffer, want);
        if (n > 0)
            done_in_piece += n;
        else if (n == 0)
            piece = pieces.size(); // the volume ends inside this piece
        return n;
    });
}

// IMG_0001.JPG, then IMG_0001-2.JPG, IMG_0001-3.JPG, ...
QString PhotoWriter::variant_of(const QString &name, int number)
{
    if (number < 2)
        return name;
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    const QString suffix = QStringLiteral("-%1").arg(number);
    return dot > 0 ? name.left(dot) + suffix + name.mid(dot) : name + suffix;
}

PhotoWriter::Result PhotoWriter::write_from(const QString &name, const FoundImage &image, const Reader &reader)
{
    Result result;
    result.name = name;
    result.asked = name;
    const QDir folder(directory);
    const bool taken = name_taken(folder.filePath(name));
    QString holder = taken && holds_photo(folder.filePath(name), image) ? name : name_holding(image);
    // A numbered name gives way to the next free number; an original name
    // takes a suffix (IMG_0001-2.JPG), unless a variant already holds the photo.
    const bool numbered = numbered_name().match(name).hasMatch();
    int variant = 1;
    while (taken && holder.isEmpty() && !numbered && name_taken(folder.filePath(variant_of(name, variant + 1)))) {
        ++variant;
        if (holds_photo(folder.filePath(variant_of(name, variant)), image))
            holder = variant_of(name, variant);
    }
    const auto next_name = [&] { return numbered ? next_free_name(is_partial_name(name)) : variant_of(name, ++variant); };
    if (!holder.isEmpty()) {
        result.outcome = Outcome::Present;
        result.name = holder;
        result.path = folder.filePath(holder);
        return count(result);
    }
    if (taken)
        result.name = next_name();

    // NewOnly never opens what is there, nor follows a link put in its place
    // since the check; then the next free number is taken.
    QFile file(folder.filePath(result.name));
    while (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly | QIODevice::Unbuffered)) {
        if (!name_taken(file.fileName())) {
            result.failure = Failure::TargetUnwritable;
            return count(result);
        }
        result.name = next_name();
        file.setFileName(folder.filePath(result.name));
    }

    const auto fail = [&](Failure why) {
        file.close();
        file.remove();
        result.failure = why;
        result.name.clear();
        return count(result);
    };

    const AlignedBuffer chunk(chunk_size);
    if (!chunk)
        return fail(Failure::TargetUnwritable);
    uLong crc = crc32(0L, Z_NULL, 0);
    qint64 total = 0;
    while (total <= image.length) {
        const qint64 n = reader(chunk.data(), qMin(chunk_size, image.length - total + 1));
        if (n < 0)
            return fail(Failure::SourceUnreadable);
        if (n == 0)
            break;
        crc = crc32(crc, reinterpret_cast<const Bytef *>(chunk.data()), uInt(n));
        total += n;
        if (!write_all(file, chunk.data(), n))
            return fail(write_failure(file));
    }
    if (total != image.length || uint(crc) != image.crc)
        return fail(Failure::SourceChanged);
    // every byte must be in the file before it counts
    if (!file.flush() || file.size() != image.length)
        return fail(write_failure(file));
    file.close();
    if (file.error() != QFileDevice::NoError || QFileInfo(file.fileName()).size() != image.length)
        return fail(write_failure(file));

    result.outcome = result.name == name ? Outcome::Written : Outcome::Renamed;
    result.path = file.fileName();
    // sorted by when it was taken in file managers and photo libraries; a
    // photo without a date keeps the time its file had on the card
    if (!ExifInfo::of_file(result.path).set_file_time(result.path) && image.origin.modified.isValid()) {
        QFile written(result.path);
        if (written.open(QIODevice::ReadOnly))
            written.setFileTime(image.origin.modified, QFileDevice::FileModificationTime);
    }
    names_by_size.insert(image.length, result.name);
    crc_by_written_name.insert(result.name, image.crc);
    return hold_until_synced(result, image.length, true);
}
