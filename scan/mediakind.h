#pragma once

#include <QMetaType>
#include <QString>

// What kind of file a found item is. Only its carver knows a kind's bytes:
// dedup, naming, writing and the results list handle every kind alike.
enum class MediaKind : quint8 {
    JpegPhoto,
};

// The kind as users read it ("JPEG photo").
QString media_kind_name(MediaKind kind);
// The extension a numbered file of this kind gets, without the dot ("JPG").
QString media_kind_extension(MediaKind kind);

Q_DECLARE_METATYPE(MediaKind)
