#pragma once

#include <QByteArray>
#include <QMetaType>
#include <QString>

// What kind of file a found item is. Only its carver knows a kind's bytes:
// dedup, naming, writing and the results list handle every kind alike.
enum class MediaKind : quint8 {
    JpegPhoto,
    HeicPhoto,
    Video, // MP4, MOV, 3GP or AVI
};

// What a video's header says it is, which gives its file's extension.
enum class VideoContainer : quint8 {
    Mp4,
    Mov,     // QuickTime: the `qt  ` brand, or boxes without an `ftyp`
    ThreeGp, // a 3gp or 3g2 brand
    Avi,     // RIFF
};

// The kind as users read it ("JPEG photo").
QString media_kind_name(MediaKind kind);
// The extension a numbered file of this kind gets, without the dot ("JPG",
// "HEIC", and for a video its container's: "MP4", "MOV", "3GP", "AVI").
QString media_kind_extension(MediaKind kind, VideoContainer container = VideoContainer::Mp4);
// The container of a video from its first bytes (at least 12), by the rule
// the box walker follows: RIFF is AVI; an `ftyp` box's major brand tells
// QuickTime (`qt  `, or none) and 3GP from MP4; boxes without an `ftyp`
// are QuickTime's.
VideoContainer video_container_of(const QByteArray &head);

Q_DECLARE_METATYPE(MediaKind)
