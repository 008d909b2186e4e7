#pragma once

#include <QtGlobal>

#include <compare>

// What tells two JPEG streams or files apart: their CRC-32 together with
// their length. Equal CRC-32 alone is too weak on a card of many thousand
// photos.
struct StreamKey
{
    quint32 crc = 0;
    qint64 length = 0;

    friend auto operator<=>(const StreamKey &, const StreamKey &) = default;
};
