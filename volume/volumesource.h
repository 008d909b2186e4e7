#pragma once

#include "volumeplatform.h"

#include <QtGlobal>

// A readable volume as the scan sees it: one flat byte sequence from offset 0.
class VolumeSource
{
public:
    virtual ~VolumeSource() = default;

    // Reads up to count bytes at the current position; the count read, 0 at
    // the end of the volume, -1 on failure (see last_failure()).
    virtual qint64 read(char *buffer, qint64 count) = 0;
    virtual bool seek(qint64 offset) = 0;
    virtual volume_platform::Failure last_failure() const = 0;

    // Reads up to count bytes at offset; as read(). A source that reads at
    // explicit positions keeps no shared position that anything could move.
    virtual qint64 read_at(qint64 offset, char *buffer, qint64 count)
    {
        return seek(offset) ? read(buffer, count) : -1;
    }
    // read_at() for a single sector of a failing region: past the page
    // cache where the source can, so that only the sectors that really fail
    // are lost. buffer is aligned to the logical block size.
    virtual qint64 read_sector_at(qint64 offset, char *buffer, qint64 count) { return read_at(offset, buffer, count); }
};
