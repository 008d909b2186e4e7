#pragma once

#include "filesystemreader.h"
#include "foundimage.h"
#include "photofacts.h"
#include "streamkey.h"
#include "volumesource.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <functional>
#include <memory>

// Where an earlier scan of the same volume ended and what it had found: a
// scan given it reads from offset on and offers none of those files again.
struct ResumePoint
{
    qint64 offset = 0;
    QList<StreamKey> known;   // files seen, live or found, by CRC-32 and length
    QList<FoundImage> found;  // the files found, whose sectors hold no other file

    bool is_set() const { return offset > 0 || !known.isEmpty(); }
};

// How a VolumeScan runs; fixed before it starts.
struct ScanOptions
{
    using VolumeOpener =
        std::function<std::unique_ptr<VolumeSource>(const QString &raw_path, volume_platform::Failure *failure)>;
    // Called on the scan's thread for every file just before it is
    // announced, with its bytes as they were read: a caller that keeps what
    // it finds at once need not read the volume again. facts are those the
    // scan read from the same bytes (the EXIF date among them).
    using FoundHandler = std::function<void(const FoundImage &image, const QByteArray &bytes, const PhotoFacts &facts)>;

    // The live files are read under this folder (a mount point of the
    // volume); empty: from the volume's own file system.
    QString root_path;
    bool index_existing = true;
    // Off: broken photos are offered as their valid leading part only,
    // without looking for their other pieces (for comparisons).
    bool fragment_search = true;
    // Thumbnails get this many pixels a point, sharp on a high-density screen.
    qreal thumbnail_pixel_ratio = 1.0;
    // How long the volume's file system may take to read before the scan
    // goes on without it.
    int file_system_time_limit_ms = FileSystemReader::default_time_limit_ms;
    // How the raw volume is opened; null: RawVolume::open. Tests put a
    // faulty medium in here.
    VolumeOpener open_volume;
    // Called with empty bytes for a file known by its place only (one too
    // long to hold): its bytes are to be copied from the volume.
    FoundHandler found_handler;
    // The kinds of file looked for; empty: every kind.
    QList<MediaKind> kinds;
    ResumePoint resume;
};
