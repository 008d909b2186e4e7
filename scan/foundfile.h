#pragma once

#include "foundimage.h"
#include "photofacts.h"

#include <QImage>
#include <QMetaType>

// Everything a scan knows of one file it found, handed on once, by value:
// where it lies and its CRC-32 (image, with its kind, partial mark and the
// deleted entry it was), what was read from its headers (facts) and its
// thumbnail (null when it was too large to decode within the scan's memory).
struct FoundFile
{
    FoundImage image;
    PhotoFacts facts;
    QImage thumbnail;
};

Q_DECLARE_METATYPE(FoundFile)
