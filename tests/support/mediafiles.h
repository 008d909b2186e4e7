#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

// Camera videos and phone photos made at test time by the real encoders:
// ffmpeg (x264, x265, MJPEG) and heif-enc. Each is short and small, and each
// differs from the others in its pictures.
namespace testsupport {

struct MediaFile
{
    QString name;    // as a camera would call it, for example MVI_0002.MP4
    QString suffix;  // MP4, MOV, AVI, HEIC
    bool video = true;
    bool riff = false; // an AVI clip; the others are ISO base media files
    int width = 0;
    int height = 0;
    qint64 duration_ms = -1;
    QByteArray bytes;
    qint64 aligned_frame = -1; // an AVI clip: its first frame, at a 512-byte boundary of the file
};

// The creation time MVI_0001.MP4 records, and the date the HEIC photos
// record in their EXIF data.
inline const QString media_created = QStringLiteral("2026-05-01T10:20:30Z");
inline const QString media_date_taken = QStringLiteral("2026:05:01 10:20:30");

// The programs the media files need that are missing here.
QStringList missing_media_tools();

// The set a camera, a dash cam and a phone leave on a card: MP4 with its
// index at the end (MVI_0001, MVI_0007) and at the front (MVI_0002), MOV with
// H.264 and PCM sound (DJI_0003), MOV with HEVC (IMG_0004), Motion-JPEG AVI
// clips (PICT0005 with sound, PICT0008 without; each with its first frame at
// a 512-byte boundary, as a JPEG photo could lie) and HEIC photos (IMG_0006,
// IMG_0009). Made once per process in a temporary folder; empty when a tool
// is missing or fails.
const QList<MediaFile> &camera_media();
const MediaFile *media_named(const QString &name);
// A HEIC photo of 400 x 300 pixels from heif-enc whose picture is coded in
// slices, each an extent of its own in iloc; empty when it cannot be made.
QByteArray heic_in_slices(int slices);

// Hand-built boxes for hostile streams: a box with a 32-bit size (size
// computed from the payload unless given), and one with size 1 and a 64-bit
// largesize.
QByteArray iso_box(const char *type, const QByteArray &payload, qint64 size = -1);
QByteArray iso_large_box(const char *type, quint64 large_size, const QByteArray &payload);
QByteArray iso_ftyp(const char *major_brand = "isom");
// depth boxes of type, each holding the next.
QByteArray nested_boxes(const char *type, int depth);
// A RIFF chunk (size computed from the payload unless given; odd payloads
// padded), and an AVI file of a header list with its main header and a
// frames' list holding frames (its size computed unless given).
QByteArray riff_chunk(const char *id, const QByteArray &payload, qint64 size = -1);
QByteArray avi_with(const QByteArray &frames, qint64 frames_size = -1);
// The clip with its first frame that starts after offset after moved to a
// 512-byte boundary of the file by a JUNK chunk inside its frames' list
// (the index is moved with it); the frame's offset goes to frame_at. Empty
// when the clip has no frame there.
QByteArray with_frame_aligned_after(const QByteArray &avi, qint64 after, qint64 *frame_at);

} // namespace testsupport
