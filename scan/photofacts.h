#pragma once

#include "exifinfo.h"
#include "fileorigin.h"

#include <QImageIOHandler>
#include <QMetaType>
#include <QSize>

// What is known of one found photo beyond its thumbnail, gathered from the
// bytes in hand while it was decoded: the window's tooltip and larger view
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
};

Q_DECLARE_METATYPE(PhotoFacts)
