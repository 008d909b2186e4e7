#pragma once

#include <QList>
#include <QtGlobal>

// A run of bytes on a volume: where it starts and how long it is.
struct VolumeExtent
{
    qint64 offset = 0;
    qint64 length = 0;

    qint64 end() const { return offset + length; }
    friend bool operator==(const VolumeExtent &, const VolumeExtent &) = default;
};

using VolumeExtents = QList<VolumeExtent>;

// The first length bytes of the runs taken one after another, as runs.
inline VolumeExtents leading_extents(const VolumeExtents &runs, qint64 length)
{
    VolumeExtents pieces;
    for (const VolumeExtent &run : runs) {
        if (length <= 0)
            break;
        pieces.append({run.offset, qMin(run.length, length)});
        length -= pieces.last().length;
    }
    return pieces;
}
