#include "clipframefilter.h"

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
