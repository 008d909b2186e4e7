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
    block = data;
    block_from = block_start;
    block_end = block_start + length;
}

void PiecedMediaFinder::note_start(qint64 sector)
{
    if (!view || waiting.size() >= most_waiting)
        return;
    const FileEntry *entry = view->deleted_entry_at(sector, 0);
    if (!entry || entry->size <= 0)
        return;
    // an ftyp box (4096 bytes at most) may run past the block, or its start
    // lie in the block before
    constexpr qint64 head = 4096;
    QByteArray read;
    const char *bytes = block + (sector - block_from);
    qint64 available = block_end - sector;
    if (sector < block_from || available < head) {
        read = reader(sector, head);
        if (sector < block_from || read.size() > available) {
            bytes = read.constData();
            available = read.size();
        }
    }
    if (available < 16)
        return;
    if (const std::optional<MediaPieceAssembly::Format> format = format_at(bytes, available))
        waiting.append({sector, entry->size, entry->runs, *format});
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
        if (start.format == MediaPieceAssembly::Format::Riff)
            report_clip(start, file);
        if (file)
            assembled.append(*file);
    }
    return assembled;
}

void PiecedMediaFinder::report_clip(const Start &start, const std::optional<Assembled> &file) const
{
    if (!clip_found)
        return;
    if (file) {
        clip_found(file->pieces);
        return;
    }
    // A chain of more than one run is the card's own record of where the
    // clip lay; a single run is only the reader's guess past its first piece.
    if (start.runs.size() > 1 && start.runs.first().offset == start.offset)
        clip_found(leading_extents(start.runs, start.size));
}

qint64 PiecedMediaFinder::first_waiting() const
{
    qint64 first = -1;
    for (const Start &start : waiting)
        first = first < 0 ? start.offset : std::min(first, start.offset);
    return first;
}

qint64 PiecedMediaFinder::first_waiting_clip() const
{
    qint64 first = -1;
    for (const Start &start : waiting) {
        if (start.format == MediaPieceAssembly::Format::Riff)
            first = first < 0 ? start.offset : std::min(first, start.offset);
    }
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
