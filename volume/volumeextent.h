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
