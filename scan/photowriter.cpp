#include "photowriter.h"

#include "exifinfo.h"
#include "safename.h"

#include "alignedbuffer.h"

#include <QDir>
#include <QRegularExpression>

#include <zlib.h>

namespace {

// IMAGE_0007.JPG, IMAGE_0008.partial.JPG, IMAGE_0003.HEIC, VIDEO_0002.MOV:
// the prefix, the number, the partial mark and the extension.
const QRegularExpression &numbered_pattern()
{
    static const QRegularExpression pattern(
        QStringLiteral("^(IMAGE|VIDEO)_(\\d{4,9})(\\.partial)?\\.(JPG|HEIC|MP4|MOV|3GP|AVI)$"));
    return pattern;
}

qsizetype utf8_size(const QString &name)
{
    return name.toUtf8().size();
}

PhotoWriter::Failure target_failure(volume_platform::Failure why)
{
    return why == volume_platform::Failure::NoSpace ? PhotoWriter::Failure::TargetFull
                                                    : PhotoWriter::Failure::TargetUnwritable;
}

} // namespace

PhotoWriter::PhotoWriter(const QString &directory)
    : directory(directory)
    , folder(volume_platform::open_folder(directory))
{
    if (!is_open())
        return;
    longest_name = qMin(volume_platform::longest_name_in(folder), SafeName::longest_name_bytes);
    for (const volume_platform::FolderEntry &entry : volume_platform::entries_in(folder))
        note_name(entry.name, entry.regular_file ? entry.size : -1);
}

PhotoWriter::~PhotoWriter()
{
    behind.reset(); // its files are written, and closed where it was to close them
    for (const Unsynced &photo : std::as_const(pending))
        if (photo.file != volume_platform::invalid_handle)
            volume_platform::close(photo.file);
    if (is_open())
        volume_platform::close(folder);
}

bool PhotoWriter::can_create()
{
    for (int attempt = 0; is_open() && attempt < 100; ++attempt) {
        const QString probe = QStringLiteral(".velvora-write-test-%1").arg(attempt);
        volume_platform::Failure why = volume_platform::Failure::None;
        const volume_platform::Handle file = volume_platform::create_file_in(folder, probe, &why);
        if (file != volume_platform::invalid_handle) {
            volume_platform::close(file);
            volume_platform::remove_file_in(folder, probe);
            return true;
        }
        if (why != volume_platform::Failure::AlreadyExists)
            return false;
    }
    return false;
}

QString PhotoWriter::photo_name(int number, bool partial)
{
    return numbered_name(QStringLiteral("IMAGE"), number, partial, QStringLiteral("JPG"));
}

QString PhotoWriter::numbered_name(const FoundImage &image, int number)
{
    const QString prefix = image.kind == MediaKind::Video ? QStringLiteral("VIDEO") : QStringLiteral("IMAGE");
    return numbered_name(prefix, number, image.partial, media_kind_extension(image.kind, image.container));
}

QString PhotoWriter::numbered_name(const QString &prefix, int number, bool partial, const QString &extension)
{
    return QStringLiteral("%1_%2%3.%4")
        .arg(prefix)
        .arg(number, 4, 10, QLatin1Char('0'))
        .arg(partial ? QStringLiteral(".partial") : QString(), extension);
}

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
    case Failure::Stopped:
        return tr("The recovery was stopped before the file was complete.");
    case Failure::TargetUnwritable:
        break;
    }
    return tr("The file could not be written in this folder.");
}

QString PhotoWriter::path_of(const QString &name) const
{
    return QDir(directory).filePath(name);
}

void PhotoWriter::note_name(const QString &name, qint64 size)
{
    const QRegularExpressionMatch match = numbered_pattern().match(name);
    if (!match.hasMatch())
        return;
    int &highest = highest_numbers[match.captured(1)];
    highest = qMax(highest, match.captured(2).toInt());
    if (size >= 0)
        names_by_size.insert(size, name);
}

QString PhotoWriter::name_holding(const FoundImage &image) const
{
    for (auto it = names_by_size.constFind(image.length); it != names_by_size.cend() && it.key() == image.length; ++it) {
        const auto written = crc_by_written_name.constFind(it.value());
        if (written != crc_by_written_name.cend() ? *written == image.crc : holds_photo(it.value(), image))
            return it.value();
    }
    return {};
}

// The next number of the asked name's prefix, keeping its partial mark and
// extension; an original name the folder refuses is numbered as its kind.
QString PhotoWriter::next_free_name(const QString &asked, const FoundImage &image)
{
    const QRegularExpressionMatch match = numbered_pattern().match(asked);
    const QString numbered = match.hasMatch() ? asked : numbered_name(image, 0);
    const QRegularExpressionMatch parts = numbered_pattern().match(numbered);
    int &highest = highest_numbers[parts.captured(1)];
    QString name;
    do
        name = numbered_name(parts.captured(1), ++highest, parts.hasCaptured(3), parts.captured(4));
    while (name_taken(name));
    return name;
}

// Something of that name is there, a dangling link included.
bool PhotoWriter::name_taken(const QString &name) const
{
    return volume_platform::entry_in(folder, name).exists;
}

bool PhotoWriter::holds_photo(const QString &name, const FoundImage &image) const
{
    const volume_platform::FolderEntry entry = volume_platform::entry_in(folder, name);
    if (!entry.regular_file || entry.size != image.length)
        return false;
    const volume_platform::Handle file = volume_platform::open_file_in(folder, name);
    if (file == volume_platform::invalid_handle)
        return false;
    const AlignedBuffer chunk(chunk_size);
    uLong crc = crc32(0L, Z_NULL, 0);
    qint64 total = 0;
    qint64 n = 0;
    while (chunk && (n = volume_platform::read(file, chunk.data(), chunk_size)) > 0) {
        crc = crc32(crc, reinterpret_cast<const Bytef *>(chunk.data()), uInt(n));
        total += n;
    }
    volume_platform::close(file);
    return chunk && n == 0 && total == image.length && uint(crc) == image.crc;
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

PhotoWriter::Result PhotoWriter::hold_until_synced(Result result, qint64 length, bool created,
                                                   volume_platform::Handle file, quint64 ticket)
{
    pending.append({result, length, created, file, ticket});
    if (file != volume_platform::invalid_handle)
        ++kept_open;
    return result;
}

qint64 PhotoWriter::unsynced_bytes() const
{
    qint64 bytes = 0;
    for (const Unsynced &file : pending)
        bytes += file.created ? file.length : 0;
    return bytes;
}

QList<PhotoWriter::Result> PhotoWriter::sync()
{
    if (pending.isEmpty())
        return {};
    volume_platform::Failure why = volume_platform::Failure::None;
    const QHash<quint64, volume_platform::Failure> unwritten = behind ? behind->finish()
                                                                      : QHash<quint64, volume_platform::Failure>();
    for (Unsynced &photo : pending) {
        if (photo.ticket != 0 && unwritten.contains(photo.ticket)) {
            if (photo.file != volume_platform::invalid_handle)
                volume_platform::close(photo.file);
            photo.file = volume_platform::invalid_handle;
            photo.result.failure = target_failure(unwritten.value(photo.ticket));
            continue;
        }
        const volume_platform::Handle file = photo.file != volume_platform::invalid_handle
            ? photo.file
            : volume_platform::open_file_in(folder, photo.result.name, &why);
        bool synced = file != volume_platform::invalid_handle && volume_platform::sync(file, &why);
        // a file kept open from its writing counts only once it closes cleanly
        if (file != volume_platform::invalid_handle && !volume_platform::close(file) && photo.file == file)
            synced = false;
        if (!synced)
            photo.result.failure = target_failure(why);
        photo.file = volume_platform::invalid_handle;
    }
    kept_open = 0;
    // the new names are on the disk only with the folder's entries
    const bool folder_synced = volume_platform::sync(folder, &why);
    QList<Result> results;
    for (Unsynced &photo : pending) {
        Result &result = photo.result;
        if (!folder_synced && result.failure == Failure::None)
            result.failure = target_failure(why);
        if (result.failure != Failure::None) {
            if (photo.created) {
                volume_platform::remove_file_in(folder, result.name);
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

// The scan's own bytes, whose CRC-32 it took from them: written as they are,
// without a copy through the chunk or a second checksum.
PhotoWriter::Result PhotoWriter::write(const QString &name, const FoundImage &image, const QByteArray &bytes,
                                       const std::optional<QDateTime> &taken)
{
    return write_out(name, image, {}, &bytes, taken);
}

PhotoWriter::Result PhotoWriter::copy(const QString &name, const FoundImage &image, volume_platform::Handle volume,
                                      const KeepGoing &keep_going)
{
    return copy(name, image,
                [volume](qint64 offset, char *buffer, qint64 count, volume_platform::Failure *failure) {
                    return volume_platform::read_at(volume, offset, buffer, count, failure);
                },
                keep_going);
}

PhotoWriter::Result PhotoWriter::copy(const QString &name, const FoundImage &image,
                                      const SalvagingReader::ReadAt &read_at, const KeepGoing &keep_going)
{
    SalvagingReader source(image, read_at, keep_going);
    return write_out(name, image, [&source](char *buffer, qint64 capacity) { return source.read(buffer, capacity); },
                     nullptr, std::nullopt, &source);
}

// Read chunk by chunk, each checked into the CRC-32 the scan found.
PhotoWriter::Failure PhotoWriter::put_read(volume_platform::Handle file, const FoundImage &image, const Reader &reader,
                                           QByteArray *head, const SalvagingReader *source)
{
    const AlignedBuffer chunk(chunk_size);
    if (!chunk)
        return Failure::TargetUnwritable;
    volume_platform::Failure why = volume_platform::Failure::None;
    uLong crc = crc32(0L, Z_NULL, 0);
    qint64 total = 0;
    while (total <= image.length) {
        const qint64 n = reader(chunk.data(), qMin(chunk_size, image.length - total + 1));
        if (n < 0)
            return n == stop_reading ? Failure::Stopped : Failure::SourceUnreadable;
        if (n == 0)
            break;
        if (head->size() < ExifInfo::leading_bytes)
            head->append(chunk.data(), qMin(n, ExifInfo::leading_bytes - head->size()));
        crc = crc32(crc, reinterpret_cast<const Bytef *>(chunk.data()), uInt(n));
        total += n;
        if (!volume_platform::write_all(file, chunk.data(), n, &why))
            return target_failure(why);
    }
    // zeros where the scan read bytes make another CRC-32: the length is all
    // that can be checked then
    const bool crc_checkable = !source || source->unreadable_now() == 0;
    if (total != image.length || (crc_checkable && uint(crc) != image.crc))
        return Failure::SourceChanged;
    return Failure::None;
}

// IMG_0001.JPG, then IMG_0001-2.JPG, IMG_0001-3.JPG, ...
QString PhotoWriter::variant_of(const QString &name, int number, int max_bytes)
{
    if (number < 2)
        return utf8_size(name) <= max_bytes ? name : SafeName::with_suffix(name, QString(), max_bytes);
    return SafeName::with_suffix(name, QStringLiteral("-%1").arg(number), max_bytes);
}

PhotoWriter::Result PhotoWriter::write_from(const QString &name, const FoundImage &image, const Reader &reader)
{
    return write_out(name, image, reader, nullptr);
}

PhotoWriter::Result PhotoWriter::write_out(const QString &name, const FoundImage &image, const Reader &reader,
                                           const QByteArray *bytes, const std::optional<QDateTime> &date_taken,
                                           const SalvagingReader *source)
{
    Result result;
    result.name = name;
    result.asked = name;
    const volume_platform::Handle file = make_file(image, &result);
    if (file == volume_platform::invalid_handle)
        return count(result);
    if (bytes)
        return hand_over(file, image, *bytes, date_taken, result);

    QByteArray head; // where the photo's EXIF date lies
    const Failure failure = put_read(file, image, reader, &head, source);
    if (source)
        unreadable_in_copies_count += source->unreadable_now();
    if (failure != Failure::None)
        return discard(file, result, failure);
    // every byte must be in the file before it counts
    if (volume_platform::file_size(file) != image.length)
        return discard(file, result, Failure::TargetUnwritable);
    const QDateTime time = file_time(image, ExifInfo(head).date_taken());
    if (time.isValid())
        volume_platform::set_modified_time(file, time.toMSecsSinceEpoch());
    const bool keep_open = kept_open < most_kept_open;
    if (!keep_open && !volume_platform::close(file))
        return discard(volume_platform::invalid_handle, result, Failure::TargetUnwritable);
    result.unreadable_bytes = source ? source->zeroed() : 0;
    // a file with zeros where the scan read bytes does not hold the photo found
    return written(result, image, !source || source->unreadable_now() == 0,
                   keep_open ? file : volume_platform::invalid_handle);
}

// The scan's own bytes, whose CRC-32 it took from them, go to the disk on the
// writing thread; a failure there shows at the sync.
PhotoWriter::Result PhotoWriter::hand_over(volume_platform::Handle file, const FoundImage &image,
                                           const QByteArray &bytes, const std::optional<QDateTime> &date_taken,
                                           Result result)
{
    if (bytes.size() != image.length)
        return discard(file, result, Failure::SourceChanged);
    const QDateTime time = file_time(
        image, date_taken ? *date_taken
                          : ExifInfo(QByteArray::fromRawData(bytes.constData(), qMin(bytes.size(), ExifInfo::leading_bytes)))
                                .date_taken());
    // a card's worth of photos would push everything else out of the page cache
    volume_platform::write_past_cache(file);
    const bool keep_open = kept_open < most_kept_open;
    if (!behind)
        behind = std::make_unique<WriteBehind>();
    const quint64 ticket = behind->write({file, bytes,
                                          time.isValid() ? std::optional<qint64>(time.toMSecsSinceEpoch()) : std::nullopt,
                                          !keep_open});
    return written(result, image, true, keep_open ? file : volume_platform::invalid_handle, ticket);
}

// Sorted by when it was taken in file managers and photo libraries; a photo
// without a date keeps the time its file had on the card.
QDateTime PhotoWriter::file_time(const FoundImage &image, const QDateTime &taken)
{
    return taken.isValid() ? taken : image.origin.modified;
}

PhotoWriter::Result PhotoWriter::discard(volume_platform::Handle file, Result result, Failure failure)
{
    if (file != volume_platform::invalid_handle)
        volume_platform::close(file);
    volume_platform::remove_file_in(folder, result.name);
    result.failure = failure;
    result.name.clear();
    return count(result);
}

PhotoWriter::Result PhotoWriter::written(Result result, const FoundImage &image, bool exact,
                                         volume_platform::Handle file, quint64 ticket)
{
    result.outcome = result.name == result.asked ? Outcome::Written : Outcome::Renamed;
    result.path = path_of(result.name);
    if (exact) {
        names_by_size.insert(image.length, result.name);
        crc_by_written_name.insert(result.name, image.crc);
    }
    return hold_until_synced(result, image.length, true, file, ticket);
}

// A new file for the photo under its asked name or the next free one; or
// none, with result Present (the folder holds the photo already) or Failed.
volume_platform::Handle PhotoWriter::make_file(const FoundImage &image, Result *result)
{
    const QString name = result->asked;
    if (!is_open()) {
        result->failure = Failure::TargetUnwritable;
        return volume_platform::invalid_handle;
    }
    // a name longer than this folder's file system takes is shortened, as a clash would rename it
    const QString first = variant_of(name, 1, longest_name);
    // Most photos go under a name not yet there: made at once, without a
    // look for the name first. Anything else (the name there, refused) takes
    // the way below from the start.
    volume_platform::Failure why = volume_platform::Failure::None;
    volume_platform::Handle file = volume_platform::invalid_handle;
    const QString holding = name_holding(image);
    if (holding.isEmpty())
        file = volume_platform::create_file_in(folder, first, &why);
    const bool taken = file == volume_platform::invalid_handle && name_taken(first);
    QString holder = taken && holds_photo(first, image) ? first : holding;
    // A numbered name gives way to the next free number; an original name
    // takes a suffix (IMG_0001-2.JPG), unless a variant already holds the photo.
    bool numbered = numbered_pattern().match(name).hasMatch();
    int variant = 1;
    while (taken && holder.isEmpty() && !numbered && name_taken(variant_of(first, variant + 1, longest_name))) {
        ++variant;
        if (holds_photo(variant_of(first, variant, longest_name), image))
            holder = variant_of(first, variant, longest_name);
    }
    const auto next_name = [&] {
        return numbered ? next_free_name(name, image) : variant_of(first, ++variant, longest_name);
    };
    if (!holder.isEmpty()) {
        result->outcome = Outcome::Present;
        result->name = holder;
        result->path = path_of(holder);
        return volume_platform::invalid_handle;
    }
    result->name = taken ? next_name() : first;

    // Made new, never opening what is there nor following a link put in its
    // place since the check; then the next free name is taken. A name the
    // folder's file system refuses gives way to a number.
    while (file == volume_platform::invalid_handle
           && (file = volume_platform::create_file_in(folder, result->name, &why)) == volume_platform::invalid_handle) {
        if (why == volume_platform::Failure::BadName && !numbered) {
            numbered = true;
        } else if (why != volume_platform::Failure::AlreadyExists) {
            result->failure = target_failure(why);
            return volume_platform::invalid_handle;
        }
        result->name = next_name();
    }
    return file;
}
