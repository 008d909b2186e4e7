#pragma once

#include "allocationmap.h"
#include "byteruns.h"
#include "mediacarver.h"
#include "volumeextent.h"

#include <QList>

#include <deque>
#include <set>

// Keeps the frames of Motion-JPEG clips, deleted or live, from being offered
// as photos: every frame of such a clip is a JPEG stream, and about one in
// 256 starts at a sector boundary where the JPEG carver finds it. A JPEG find
// where a clip's walk saw a frame start is dropped; one where a clip still
// being walked may yet prove to have a frame waits, with the finds after it
// in line so that they keep their order, until the walk has passed it.
// A find that starts in a live file's clusters is dropped as well: it is part
// of that file (a frame in a piece of a live clip the walk never reaches, a
// photo still on the card), never a deleted photo. So is one that starts in
// the known place of a deleted clip the walk could not follow frame by frame
// (its pieces lie apart, or sectors of its headers could not be read).
class ClipFrameFilter
{
public:
    void note_frame(qint64 offset) { frames.insert(offset); }
    // Bytes that belong to a Motion-JPEG clip: no JPEG stream starting there is a photo.
    void note_clip(const VolumeExtents &pieces);
    // The bytes the volume's file system gives its live files, or null when
    // none was read.
    void set_live_space(const AllocationMap *allocation) { live = allocation; }
    // A clip's frame, or inside a live file.
    bool is_part_of_file(qint64 offset) const
    {
        return frames.count(offset) > 0 || in_clip(offset) || (live && live->used_until(offset) > offset);
    }

    // Puts JPEG finds in line behind those waiting.
    void add(const QList<MediaCarver::Checked> &finds);
    // The finds at the front of the line that are decided, in order, the
    // frames among them dropped. undecided_from is where finds may still
    // turn out to be frames (-1: nowhere).
    QList<MediaCarver::Checked> take_decided(qint64 undecided_from);
    bool has_waiting() const { return !waiting.empty(); }

private:
    bool in_clip(qint64 offset) const;

    std::set<qint64> frames;
    ByteRuns clips;
    const AllocationMap *live = nullptr;
    std::deque<MediaCarver::Checked> waiting;
};
