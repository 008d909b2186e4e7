#pragma once

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QString>

#include "testsupport.h"

namespace testsupport {

class FragmentingWrites;

// A card as a camera and a desktop leave it: photos shot into DCIM/100CANON,
// some deleted, more shot afterwards; or the same card with its file system
// damaged. Knows which photos a scan must give back, and under which names.
class CameraCard
{
public:
    enum Kind {
        Fat32,                // mkfs.fat and mtools, 8.3 names only: deleted ones lose their first letter
        Fat32LongName,        // and a deleted photo with a long name
        Fat32ClearedHighWord, // photos past cluster 65535, one deleted entry's high word cleared as Windows does
        Exfat,                // written through exfat-fuse on a loop device; names survive a delete whole
        Ext4,                 // debugfs; a delete clears the file's blocks from its inode
        BadBootSector,        // Fat32 with garbage for its boot sectors
        WrongFatLength,       // Fat32 whose boot sector claims FATs three times their length
        GarbageFolder,        // Fat32 whose DCIM/100CANON entries are random bytes
        BackupBootSector,     // Fat32 whose boot sector says 0 sectors a cluster; its copy at sector 6 is sound
        QuickFormatted,       // Fat32 formatted again with mkfs.fat: the old folders stand in the free space
        SharedChain,          // Fat32 with thousands of live entries in its root sharing one chain of pieces
        ExfatManyEntries,     // Exfat with thousands of live entries in its root sharing one run
        ExfatUnreadable,      // Exfat whose boot region and its copy say 0-byte sectors
        HostileNames,         // Fat32 with deleted long names crafted to escape the folder or
                              // carry control characters, and a photo damaged where it lies
        RottenByte,           // Fat32 where one byte of a deleted photo's data went bad on the card
        ExfatFragmented,      // exFAT whose driver (exfat-fuse) split twelve deleted photos around other files
        Fat32Fragmented,      // FAT32 whose driver (mtools) split twelve deleted photos around other files
        ExfatMedia,           // the MediaCard: JPEG and HEIC photos, MP4, MOV and AVI videos, about half deleted
        ExfatMediaInPieces,   // the MediaCard in pieces: a video, a movie, a clip and a HEIC photo written into holes, deleted
    };

    // Makes the card in directory; false with why when it cannot be made
    // here (a missing tool, no loop devices), for the test to skip.
    bool make(Kind kind, const QString &directory, QString *why);

    QString image;
    QMap<QString, QByteArray> named; // deleted photos that come back under these names
    QList<QByteArray> unnamed;       // deleted photos that come back numbered
    QList<QByteArray> live;          // photos still on the card as files
    int partial = 0;                 // deleted photos of which only the top part comes back, numbered
    int in_pieces = 0;               // deleted photos that lie in more than one piece on the card
    // The file system cannot be believed: every photo, live or deleted, comes back under some name.
    bool damaged = false;
    // A file system is there but cannot be read: the scanner must say so.
    bool unreadable = false;
    // How many crafted entries the card's root holds, and how many clusters each.
    static constexpr int crafted_entries = 3000;
    static constexpr int crafted_pieces = 256;
    // Of the named photos, those whose bytes went bad on the card: they come
    // back whole as the card holds them, marked damaged.
    QStringList rotten;
    // Of the named files, the videos and the HEIC photos.
    int videos = 0;
    int heic = 0;

private:
    bool make_fat32(Kind kind, const QString &directory, QString *why);
    bool make_exfat(Kind kind, const QString &directory, QString *why);
    bool alter_fat32(Kind kind);
    // Deleted photos under long names the card's tools would never write:
    // each is put under a harmless name of the same length, deleted, and its
    // long-name entries then given the crafted name.
    bool put_hostile_names(FatImage &card, const QString &folder, const QString &directory, QString *why);
    bool make_ext4(const QString &directory, QString *why);
    bool write_fragmented(LoopDevice &loop, QString *why);
    bool make_fat32_fragmented(const QString &directory, QString *why);
    void note_fragmented(const FragmentingWrites &writes);
    // Whether every cluster of photo still stands on the card, in one piece or several.
    bool intact_in_clusters(const QByteArray &photo) const;
    bool make_media(const QString &directory, QString *why, bool into_holes = false);
    // Sorts the deleted photos by whether their bytes are still whole on the card.
    void note_deleted(const QString &name, const QByteArray &photo, bool keeps_name);
    QByteArray card_bytes;
    qint64 heap_start = 0; // where the card's clusters begin, and their size
    qint64 cluster = 512;
};

} // namespace testsupport
