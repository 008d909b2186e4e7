#pragma once

#include "volumeextent.h"

#include <QByteArray>

#include <functional>

// A file known by its pieces on a volume, read as one run of bytes: the
// offsets asked for count from the file's first byte, and each read is
// served from the piece that holds it. Nothing is held: the bytes come
// from the volume's own reader as they are asked for.
class ExtentReader
{
public:
    // Reads up to count bytes of the volume at offset into buffer: the count
    // read, 0 at the volume's end, negative when they cannot be read.
    using VolumeRead = std::function<qint64(qint64 offset, char *buffer, qint64 count)>;

    ExtentReader(VolumeExtents pieces, VolumeRead read);

    qint64 length() const { return total; }
    // Up to count bytes of the file from offset, never across a piece's end:
    // the count read, 0 past the file's end, or what the volume's reader
    // answered when it read nothing.
    qint64 read(qint64 offset, char *buffer, qint64 count) const;
    // The file's bytes from offset on, up to length of them, across its
    // pieces: fewer where the file ends or a read fails, none for an offset
    // outside the file. Offset and length may come from the card, so the
    // buffer is never larger than what the file holds from offset on.
    QByteArray read_range(qint64 offset, qint64 length) const;
    // Where the file's byte at offset lies on the volume, or -1 past its end.
    qint64 volume_offset(qint64 offset) const;

private:
    // The piece holding the file's byte at offset, and where that piece starts in the file.
    qsizetype piece_at(qint64 offset, qint64 *piece_start) const;

    VolumeExtents pieces;
    QList<qint64> starts; // each piece's first byte, in bytes of the file
    qint64 total = 0;
    VolumeRead volume_read;
};
