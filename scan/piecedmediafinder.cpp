#include "piecedmediafinder.h"

#include "extentreader.h"
#include "filesystemview.h"
#include "isoboxtypes.h"
#include "isoboxwalker.h"
#include "mediaprobe.h"

#include <cstring>

namespace {

constexpr auto fourcc = &IsoBoxTypes::fourcc;
constexpr qint64 sector = 512;

// The brands of an ftyp box at the start of at name a HEIC photo, as the
// walker reads them (the minor version aside; AV1 pictures share the brands).
bool has_heic_brand(const char *at, qint64 available)
{
    const qint64 end = std::min<qint64>(IsoBoxTypes::be32(at), available);
    bool heic = false;
    for (qint64 i = 8; i + 4 <= end; i += 4) {
        if (i == 12)
            continue;
        const quint32 brand = IsoBoxTypes::be32(at + i);
        if (brand == fourcc("avif") || brand == fourcc("avis"))
            return false;
        heic = heic || IsoBoxTypes::is_heic_brand(brand);
    }
    return heic;
}

} // namespace

PiecedMediaFinder::PiecedMediaFinder(MediaKind kind, qint64 volume_size, Reader reader, Stopped stopped)
    : kind(kind)
    , volume_size(volume_size)
    , reader(std::move(reader))
    , stopped(std::move(stopped))
{
}

PiecedMediaFinder::~PiecedMediaFinder() = default;

void PiecedMediaFinder::reset()
{
    waiting.clear();
    found_whole.clear();
}

std::optional<MediaPieceAssembly::Format> PiecedMediaFinder::format_at(const char *at, qint64 available) const
{
    using Format = MediaPieceAssembly::Format;
    bool strong = false;
    if (IsoBoxWalker::is_start(reinterpret_cast<const uchar *>(at), available, &strong)) {
        const bool heic = strong && has_heic_brand(at, available);
        if (kind == MediaKind::HeicPhoto)
            return heic ? std::optional(Format::IsoImage) : std::nullopt;
        return heic ? std::nullopt : std::optional(Format::IsoVideo);
    }
    if (kind == MediaKind::Video && available >= 12 && std::memcmp(at, "RIFF", 4) == 0
        && std::memcmp(at + 8, "AVI ", 4) == 0)
        return Format::Riff;
    return std::nullopt;
}

void PiecedMediaFinder::note_block(const FileSystemView *file_system, qint64 block_start, const char *data,
                                   qint64 length)
{
    view = file_system;
    if (!view)
        return;
    const qint64 end = block_start + length;
    for (qint64 at = (block_start + sector - 1) / sector * sector; at + 16 <= end; at += sector) {
        const char *bytes = data + (at - block_start);
        const std::optional<MediaPieceAssembly::Format> format = format_at(bytes, end - at);
        if (!format || waiting.size() >= most_waiting)
            continue;
        const FileEntry *entry = view->deleted_entry_at(at, 0);
        if (entry && entry->size > 0)
            waiting.append({at, entry->size, entry->runs, *format});
    }
}

bool PiecedMediaFinder::take_found(qint64 offset, qint64 length)
{
    for (const Start &start : std::as_const(waiting)) {
        if (start.offset != offset)
            continue;
        const AllocationMap &allocation = view->allocation;
        if (allocation.used_until(offset) > offset || allocation.free_until(offset) < offset + length)
            return false;
        if (length == start.size)
            found_whole.insert(offset);
    }
    return true;
}

QList<PiecedMediaFinder::Assembled> PiecedMediaFinder::assemble_passed(qint64 open_from)
{
    QList<Assembled> assembled;
    for (qsizetype i = 0; i < waiting.size() && !(stopped && stopped());) {
        const Start start = waiting.at(i);
        if (open_from >= 0 && start.offset >= open_from) {
            ++i;
            continue;
        }
        if (found_whole.remove(start.offset)) {
            waiting.removeAt(i);
            continue;
        }
        const std::optional<Assembled> file = assemble(start);
        // a stop leaves the file waiting, for a resumed scan to put together
        if (!file && stopped && stopped())
            break;
        waiting.removeAt(i);
        if (file)
            assembled.append(*file);
    }
    return assembled;
}

qint64 PiecedMediaFinder::first_waiting() const
{
    qint64 first = -1;
    for (const Start &start : waiting)
        first = first < 0 ? start.offset : std::min(first, start.offset);
    return first;
}

std::optional<PiecedMediaFinder::Assembled> PiecedMediaFinder::assemble(const Start &start)
{
    if (!probe) {
        probe = std::make_unique<MediaProbe>();
        probe->set_keep_going([this] { return !stopped || !stopped(); });
    }
    const MediaProbe::Kind probe_kind = kind == MediaKind::HeicPhoto ? MediaProbe::Kind::Image : MediaProbe::Kind::Video;
    const auto checks_out = [&](const VolumeExtents &pieces) {
        const ExtentReader file(pieces, [this](qint64 offset, char *buffer, qint64 count) -> qint64 {
            const QByteArray bytes = reader(offset, count);
            std::memcpy(buffer, bytes.constData(), size_t(bytes.size()));
            return bytes.size();
        });
        const MediaProbe::Reader read = [&file](qint64 offset, char *buffer, qint64 count) {
            return file.read(offset, buffer, count);
        };
        return probe->check(probe_kind, start.size, read, 16).sound;
    };
    MediaPieceAssembly assembly(view->allocation, volume_size, reader, stopped);
    const MediaPieceAssembly::Result result = assembly.follow(start.offset, start.size, start.runs, start.format,
                                                              checks_out);
    if (result.pieces.isEmpty())
        return std::nullopt;
    return Assembled{start.offset, start.size, result.crc, result.pieces};
}
