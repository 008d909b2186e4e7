#pragma once

#include "mediacarver.h"

#include <QList>

#include <deque>
#include <set>

// Keeps the frames of Motion-JPEG clips, deleted or live, from being offered
// as photos: every frame of such a clip is a JPEG stream, and about one in
// 256 starts at a sector boundary where the JPEG carver finds it. A JPEG find
// where a clip's walk saw a frame start is dropped; one where a clip still
// being walked may yet prove to have a frame waits, with the finds after it
// in line so that they keep their order, until the walk has passed it.
class ClipFrameFilter
{
public:
    void note_frame(qint64 offset) { frames.insert(offset); }
    bool is_frame(qint64 offset) const { return frames.count(offset) > 0; }

    // Puts JPEG finds in line behind those waiting.
    void add(const QList<MediaCarver::Checked> &finds);
    // The finds at the front of the line that are decided, in order, the
    // frames among them dropped. undecided_from is where finds may still
    // turn out to be frames (-1: nowhere).
    QList<MediaCarver::Checked> take_decided(qint64 undecided_from);
    bool has_waiting() const { return !waiting.empty(); }

private:
    std::set<qint64> frames;
    std::deque<MediaCarver::Checked> waiting;
};
