#pragma once

#include "isoboxwalker.h"
#include "mediacarver.h"
#include "piecedmediafinder.h"
#include "probequeue.h"
#include "riffwalker.h"

#include <QMap>
#include <QMutex>
#include <QSize>

// Videos (MP4, MOV, 3GP and AVI) or HEIC photos: files followed box by box
// (IsoBoxWalker) or chunk by chunk (RiffWalker) through the sizes in their
// headers. A video does not fit in memory, so each candidate is handed to
// the scan by its place and its bytes are read back where they are needed;
// MediaProbe then checks it (the index found and the first frame decoded, or
// the primary image decoded) and makes its thumbnail in its helper process,
// on a thread of its own (ProbeQueue) while the scan reads on.
//
// A file with sectors that could not be read inside a payload its walker
// passed over is checked and offered all the same, marked damaged: the
// probe reads those runs as zeros, as they are written.
class ContainerCarver : public MediaCarver
{
public:
    // kind is MediaKind::Video or MediaKind::HeicPhoto. A video carver that
    // offers no files still walks clips, and puts deleted ones in pieces
    // together, to tell their Motion-JPEG frames (Sink::take_frame,
    // Sink::take_clip) when only photos are looked for.
    ContainerCarver(MediaKind kind, qint64 volume_size, QSize thumbnail_size, bool offers_files = true);

    MediaKind kind() const override { return media_kind; }
    void reset(qint64 position) override;
    void feed(const char *data, qint64 length) override;
    void skip_unreadable(qint64 length) override;
    void finish() override;
    qint64 open_from() const override;
    qint64 frames_undecided_from() const override;
    QList<Checked> take_ready() override { return checked(checks.take_ready()); }
    QList<Checked> take_all() override { return checked(checks.take_all()); }

private:
    bool looks_for_riff() const { return media_kind == MediaKind::Video; }
    void take_found(const WalkedFile &file);
    void take_lost_clip(qint64 start, qint64 end);
    qint64 walk_open_from() const;
    // Deleted files whose start the walk passed without finding them whole
    // are put together from their pieces and checked like the others.
    void take_pieced(qint64 open_from);
    // What the probe reads: the volume, with the holes of the files being
    // checked as zeros (they are not read again). Called on the queue's thread.
    QByteArray read_for_check(qint64 offset, qint64 length);
    QList<Checked> checked(const QList<ProbeQueue::Result> &results);
    Checked checked_one(const ProbeQueue::Result &result, const VolumeExtents &unreadable) const;

    const MediaKind media_kind;
    const bool offers_files;
    IsoBoxWalker boxes;
    RiffWalker riff;
    QMutex holes_lock;
    QMap<qint64, VolumeExtents> holes_by_file; // the damaged files submitted and not yet taken, by offset
    QMap<qint64, qint64> holes;                // all their holes: start to end
    PiecedMediaFinder pieced;
    qint64 next_byte = 0;
    ProbeQueue checks; // last: its thread reads the holes until it is destroyed
};
