#pragma once

#include "mediakind.h"
#include "mediapieceassembly.h"
#include "volumeextent.h"

#include <QList>
#include <QSet>

#include <functional>
#include <memory>
#include <optional>

class FileSystemView;
class MediaProbe;

// Finds the deleted videos and HEIC photos of one kind that the walkers
// cannot follow because they lie in pieces. Where a deleted entry's first
// cluster holds the start of such a file, and the walk passes that place
// without a whole file of the entry's size there (its next box header lay
// elsewhere), the file is put together along the entry's chain or the free
// space (MediaPieceAssembly) and checked by the probe.
class PiecedMediaFinder
{
public:
    using Reader = MediaPieceAssembly::Reader;
    using Stopped = MediaPieceAssembly::Stopped;
    // Where a deleted AVI clip lies that the walk could not follow: its
    // pieces once put together, or else the chain its entry keeps.
    using ClipHandler = std::function<void(const VolumeExtents &pieces)>;

    struct Assembled
    {
        qint64 offset = 0;
        qint64 length = 0;
        quint32 crc = 0;
        VolumeExtents pieces;
    };

    // kind: MediaKind::Video (MP4, MOV, 3GP, AVI) or MediaKind::HeicPhoto.
    PiecedMediaFinder(MediaKind kind, qint64 volume_size, Reader reader, Stopped stopped);
    ~PiecedMediaFinder();

    void reset();
    void set_clip_handler(ClipHandler handler) { clip_found = std::move(handler); }
    // A block of the volume as the walkers get it, before they do; the file
    // system is null when none was read (no entries, nothing to put together).
    void note_block(const FileSystemView *file_system, qint64 block_start, const char *data, qint64 length);
    // A walker found what may begin a file at this sector start (in the
    // block noted last, or cut by its start): waits for the walk to pass it
    // when a deleted entry's file begins there.
    void note_start(qint64 sector);
    // False for a file found at a deleted entry's start that runs across a
    // live file's clusters: those bytes are not the deleted file's, which
    // lies in pieces. Otherwise notes the file as found.
    bool take_found(qint64 offset, qint64 length);
    // Puts together the files whose start the walk has passed (nothing open
    // before open_from; -1: nothing open at all) without finding them whole.
    QList<Assembled> assemble_passed(qint64 open_from);
    // The first start still waiting for the walk to pass it, or -1; of an
    // AVI clip only: what lies after it may yet turn out to be its frames.
    qint64 first_waiting() const;
    qint64 first_waiting_clip() const;

private:
    struct Start
    {
        qint64 offset = 0;
        qint64 size = 0;
        VolumeExtents runs;
        MediaPieceAssembly::Format format = MediaPieceAssembly::Format::IsoVideo;
    };

    // What file of this finder's kind may start with these bytes, if any.
    std::optional<MediaPieceAssembly::Format> format_at(const char *at, qint64 available) const;
    std::optional<Assembled> assemble(const Start &start);
    // The clip's place as far as it is known, to keep its frames from being taken for photos.
    void report_clip(const Start &start, const std::optional<Assembled> &file) const;

    const MediaKind kind;
    const qint64 volume_size;
    Reader reader;
    Stopped stopped;
    ClipHandler clip_found;
    const FileSystemView *view = nullptr;
    const char *block = nullptr;
    qint64 block_from = 0;
    qint64 block_end = 0;
    static constexpr int most_waiting = 1024;
    QList<Start> waiting;
    QSet<qint64> found_whole;
    std::unique_ptr<MediaProbe> probe; // started with the first file put together
};
