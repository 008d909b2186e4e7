#pragma once

#include <QtGlobal>

// One accepted stream: where it lies on the volume and how long it is, from
// the FF of FF D8 through the D9 of FF D9.
struct FoundImage
{
    qint64 offset = 0;
    qint64 length = 0;
    uint crc = 0; // CRC-32 of those bytes
};
