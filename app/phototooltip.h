#pragma once

#include "mediakind.h"
#include "photofacts.h"

#include <QString>

// The tooltip of a found photo or video in the results list: its name,
// where its name came from, its kind (a video's length too), pixel size,
// size in bytes, where it lies on the card and, when it records them, when
// it was taken or recorded and with which camera. One fact a line.
QString photo_tooltip(const QString &name, const PhotoFacts &facts);

// Where a photo's name comes from: the folder of its deleted entry
// ("DCIM/100CANON, deleted"), or that the original name is not known.
QString photo_origin(const PhotoFacts &facts);

// "2.5 MB (2,456,789 bytes)": decimal units, as file managers show sizes.
QString photo_byte_size(qint64 bytes);

// A video's length as players show it: "0:07", "12:05", "1:02:03".
QString video_duration(qint64 milliseconds);

// The kind as one word, by the file's name where the kind has several
// ("JPEG", "HEIC", "MP4", "MOV", "AVI", "3GP").
QString photo_kind_code(const QString &name, MediaKind kind);

// The kind as users read it: "JPEG photo", "HEIC photo", "MOV video
// (H.264), 0:12".
QString photo_kind_text(const QString &name, const PhotoFacts &facts);

// "Taken Sunday, July 4, 2021 at 3:30 PM", "Recorded ..." for a video;
// empty without a date.
QString photo_date_text(const PhotoFacts &facts);
