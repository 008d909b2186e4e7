#pragma once

#include "exifinfo.h"
#include "fileorigin.h"
#include "mediakind.h"
#include "volumeextent.h"

#include <QDateTime>
#include <QImageIOHandler>
#include <QMetaType>
#include <QSize>

// What is known of one found photo or video beyond its thumbnail, gathered
// from the bytes in hand while it was decoded (or, for videos and HEIC
// photos, from the media probe's check): the window's tooltip and larger view
// are built from it, so the card is never read for them during a scan.
struct PhotoFacts
{
    qint64 offset = 0;
    qint64 length = 0;
    QSize pixel_size; // as shown, after the EXIF orientation
    ExifInfo exif;
    // What the EXIF orientation asks to show the stored picture upright.
    QImageIOHandler::Transformations turn = QImageIOHandler::TransformationNone;
    bool partial = false; // only the top part of the photo could be recovered
    // Whole, but too large to decode within the scan's memory: no thumbnail.
    bool no_preview = false;
    FileOrigin origin = {}; // the deleted file it was, when its entry survives
    bool damaged = false;   // whole, with a few bytes of its data wrong
    MediaKind kind = MediaKind::JpegPhoto;
    qint64 duration_ms = -1; // a video's length; -1 when unknown or not a video
    QDateTime recorded = {}; // when a video was recorded, as it says itself
    QString codec = {};      // a video's picture coding as FFmpeg names it ("h264", "hevc", "mjpeg")
    // Where its bytes lie on the volume, in order, as the writer copies them;
    // empty when they are known to lie in one run from offset.
    VolumeExtents pieces = {};

    bool is_video() const { return kind == MediaKind::Video; }
    // The byte runs that make up the file, in order.
    VolumeExtents extents() const { return pieces.isEmpty() ? VolumeExtents{{offset, length}} : pieces; }
    // When the photo was taken (its EXIF date) or the video recorded;
    // invalid when it records neither.
    QDateTime date_taken() const { return exif.date_taken().isValid() ? exif.date_taken() : recorded; }
};

Q_DECLARE_METATYPE(PhotoFacts)
