#pragma once

#include "fileorigin.h"
#include "mediakind.h"
#include "volumeextent.h"

#include <QtGlobal>

// One accepted file, a JPEG photo unless kind says otherwise. A photo is a stream: where it lies on the volume and how long it is, from
// the FF of FF D8 through the D9 of FF D9. A photo put back together from
// pieces keeps them in order (offset is that of the first, length their
// sum); a whole photo has one piece. A partial photo is only the valid
// leading part of a broken one.
struct FoundImage
{
    qint64 offset = 0;
    qint64 length = 0;
    quint32 crc = 0; // CRC-32 of the stream's bytes
    VolumeExtents pieces;
    bool partial = false;
    FileOrigin origin = {}; // the deleted file it was, when its entry survives
    MediaKind kind = MediaKind::JpegPhoto;
    VideoContainer container = VideoContainer::Mp4; // for a video: what its header says it is
    // Whole as the card holds it, with a few bytes of its data wrong: it
    // decodes to its end, with a flaw where the bytes went wrong.
    bool damaged = false;
    // Runs inside it that could not be read from the volume (a damaged
    // video or HEIC photo): written as zeros, never read again.
    VolumeExtents unreadable = {};

    // The byte runs to copy, in order.
    VolumeExtents extents() const { return pieces.isEmpty() ? VolumeExtents{{offset, length}} : pieces; }
};
