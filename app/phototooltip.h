#pragma once

#include "photofacts.h"

#include <QString>

// The tooltip of a found photo in the results list: its name, where its
// name came from, pixel size, size in bytes, where it lies on the card and,
// when the photo carries EXIF data, when it was taken and with which camera.
// One fact a line.
QString photo_tooltip(const QString &name, const PhotoFacts &facts);

// Where a photo's name comes from: the folder of its deleted entry
// ("DCIM/100CANON, deleted"), or that the original name is not known.
QString photo_origin(const PhotoFacts &facts);

// "2.5 MB (2,456,789 bytes)": decimal units, as file managers show sizes.
QString photo_byte_size(qint64 bytes);
