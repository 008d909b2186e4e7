#include "clipframefilter.h"

#include <algorithm>

void ClipFrameFilter::note_clip(const VolumeExtents &pieces)
{
    for (const VolumeExtent &piece : pieces)
        clips.claim(piece.offset, piece.length);
}

bool ClipFrameFilter::in_clip(qint64 offset) const
{
    return clips.holds(offset);
}

void ClipFrameFilter::add(const QList<MediaCarver::Checked> &finds)
{
    waiting.insert(waiting.end(), finds.cbegin(), finds.cend());
}

QList<MediaCarver::Checked> ClipFrameFilter::take_decided(qint64 undecided_from)
{
    QList<MediaCarver::Checked> decided;
    while (!waiting.empty()) {
        const MediaCarver::Checked &front = waiting.front();
        if (!is_part_of_file(front.offset)) {
            if (undecided_from >= 0 && front.offset >= undecided_from)
                break;
            decided.append(front);
        }
        waiting.pop_front();
    }
    return decided;
}
