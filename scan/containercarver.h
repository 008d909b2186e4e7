#pragma once

#include "isoboxwalker.h"
#include "mediacarver.h"
#include "piecedmediafinder.h"
#include "probequeue.h"
#include "riffwalker.h"

#include <QSize>

// Videos (MP4, MOV, 3GP and AVI) or HEIC photos: files followed box by box
// (IsoBoxWalker) or chunk by chunk (RiffWalker) through the sizes in their
// headers. A video does not fit in memory, so each candidate is handed to
// the scan by its place and its bytes are read back where they are needed;
// MediaProbe then checks it (the index found and the first frame decoded, or
// the primary image decoded) and makes its thumbnail in its helper process,
// on a thread of its own (ProbeQueue) while the scan reads on.
class ContainerCarver : public MediaCarver
{
public:
    // kind is MediaKind::Video or MediaKind::HeicPhoto. A video carver that
    // offers no files still walks clips, to tell their Motion-JPEG frames
    // (Sink::take_frame) when only photos are looked for.
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
    void take_found(qint64 offset, qint64 length, quint32 crc, bool read_whole);
    qint64 walk_open_from() const;
    // Deleted files whose start the walk passed without finding them whole
    // are put together from their pieces and checked like the others.
    void take_pieced(qint64 open_from);
    QList<Checked> checked(const QList<ProbeQueue::Result> &results) const;
    Checked checked_one(const ProbeQueue::Result &result) const;

    const MediaKind media_kind;
    const bool offers_files;
    IsoBoxWalker boxes;
    RiffWalker riff;
    ProbeQueue checks;
    PiecedMediaFinder pieced;
    qint64 next_byte = 0;
};
