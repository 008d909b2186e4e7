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
};
