#include "clipframefilter.h"

#include <algorithm>

void ClipFrameFilter::note_clip(const VolumeExtents &pieces)
{
    for (const VolumeExtent &piece : pieces) {
        if (piece.length <= 0)
            continue;
        qint64 start = piece.offset;
        qint64 end = piece.end();
        // runs that touch or overlap it merge into one
        auto next = clips.upper_bound(start);
        if (next != clips.begin() && std::prev(next)->second >= start)
            --next;
        while (next != clips.end() && next->first <= end) {
            start = std::min(start, next->first);
            end = std::max(end, next->second);
            next = clips.erase(next);
        }
        clips.emplace(start, end);
    }
}

bool ClipFrameFilter::in_clip(qint64 offset) const
{
    const auto after = clips.upper_bound(offset);
    return after != clips.begin() && std::prev(after)->second > offset;
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
