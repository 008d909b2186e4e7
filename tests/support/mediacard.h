#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>

namespace testsupport {

// An exFAT card as a camera and a phone leave it, written through exfat-fuse
// on a loop device: JPEG photos and the camera_media() files in
// DCIM/100CANON, about half of each kind deleted (MP4 with its index at the
// end and at the front, MOV with H.264 and with HEVC, an AVI clip, a HEIC
// photo, two JPEGs), the others still files. exFAT keeps a deleted file's
// name and its clusters in one run, so each deleted file can come back whole
// under its name.
class MediaCard
{
public:
    // Makes the card in directory; false with why when it cannot be made here
    // (no loop devices or FUSE, a missing tool), for the test to skip. With
    // open_ended, MVI_0002.MP4 (its index at the front) has its last box, the
    // frames', with size 0 ("to the end of the file"), as some cameras leave it.
    bool make(const QString &directory, QString *why, bool open_ended = false);
    // The card as a camera leaves it once deletes left holes: MVI_0001.MP4
    // (its index at the end), DJI_0003.MOV, IMG_0006.HEIC and PICT0005.AVI
    // written by the driver into the holes files deleted before them left
    // (4 KiB clusters), each in several pieces with kept files between, then
    // deleted with every other kept file; and PICT0008.AVI written the same
    // way and kept. Each clip has a frame at a sector boundary of the card in
    // a later piece (deleted_frame, live_frame).
    bool make_in_pieces(const QString &directory, QString *why);


    QString image;
    QMap<QString, QByteArray> deleted; // by name, each still whole at a sector boundary of the card
    QMap<QString, QByteArray> live;    // by name, still files on the card
    QStringList in_pieces;             // the deleted files that lie in more than one piece
    qint64 live_frame = -1;            // where a live clip's frame lies past its first piece
    qint64 deleted_frame = -1;         // where a deleted clip's frame lies past its first piece
};

} // namespace testsupport
