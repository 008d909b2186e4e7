#pragma once

#include "foundimage.h"
#include "photowriter.h"
#include "volumeplatform.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QSet>
#include <QString>

#include <array>
#include <memory>

// One scan's files from found to written, for the window and velvora-scan
// alike, so the same scan gives the same files under the same names from
// both: each file's name as it is found (its original name made safe, a
// suffix where two would clash, otherwise numbered in the order found, each
// kind on its own counter: IMAGE_0001.JPG onward for JPEG photos,
// IMAGE_0001.HEIC for HEIC photos, VIDEO_0001.MP4 (MOV, 3GP, AVI) for
// videos, IMAGE_0007.partial.JPG for a photo of which only the top part
// could be recovered), the refusal of a folder on the scanned volume, the
// writing through PhotoWriter and one set of counts.
class RecoverySession
{
public:
    struct Counts
    {
        int found = 0;
        int written = 0; // files written now, those under other names included
        int renamed = 0; // written under another name: theirs was taken by another file
        int present = 0; // not written: the folder held them already, byte for byte
        int failed = 0;
        int partial = 0; // found only in part
        int named = 0;   // found under the name of their deleted entry
        int damaged = 0; // found whole, with a few bytes of their data wrong
        int videos = 0;  // found, of these kinds
        int heic = 0;
        qint64 unreadable_in_copies = 0; // bytes the scan read that the copies could not (written as zeros)
    };
    enum class Refusal {
        None,
        OnScannedVolume, // writing there can overwrite the very photos being recovered
        NotAFolder,
        CannotCreate,    // the folder is missing and cannot be made
        CannotWrite,
    };

    // source is the device or image file the photos are found on.
    explicit RecoverySession(const QString &source = QString());
    ~RecoverySession();
    Q_DISABLE_COPY(RecoverySession)

    // A new scan of source: names, numbers and counts start again.
    void restart(const QString &source);

    // The file name of a found photo: given the first time it is asked for,
    // in the order the photos are found, and the same every time after.
    QString name_of(const FoundImage &image);

    // Opens directory for the photos (making it when create is set), or says
    // why not; the counts of writing start again with each folder opened.
    Refusal open_folder(const QString &directory, bool create = false);
    // The photo from bytes in hand (taken: its EXIF date, when the scan read
    // it; see PhotoWriter::write()), or read again from the open volume.
    PhotoWriter::Result write(const FoundImage &image, const QByteArray &bytes,
                              const std::optional<QDateTime> &taken = std::nullopt);
    PhotoWriter::Result copy(const FoundImage &image, volume_platform::Handle volume,
                             const PhotoWriter::KeepGoing &keep_going = {});
    // Puts the photos written since the last sync on the disk; see PhotoWriter::sync().
    QList<PhotoWriter::Result> sync();
    int unsynced() const { return writer ? writer->unsynced() : 0; }
    qint64 unsynced_bytes() const { return writer ? writer->unsynced_bytes() : 0; }

    Counts counts() const;

private:
    QString source;
    QHash<qint64, QString> names; // by the photo's offset on the volume
    QSet<QString> names_given;    // case-folded: a folder on a stick takes no two names differing in case
    std::array<int, 3> unnamed{}; // numbered so far, by MediaKind
    int videos = 0;
    int heic = 0;
    int partial = 0;
    int damaged = 0;
    int named = 0;
    std::unique_ptr<PhotoWriter> writer;
};
