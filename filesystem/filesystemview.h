#pragma once

#include "allocationmap.h"
#include "volumeextent.h"

#include <QDateTime>
#include <QList>
#include <QMultiHash>
#include <QString>

#include <functional>

// One file of a volume's file system, live or deleted, as its entry tells it.
struct FileEntry
{
    QString name;   // a deleted 8.3 name has lost its first letter ('_' in its place) until restored
    QString folder; // from the volume's root, '/' between names, empty for the root
    qint64 size = 0;
    qint64 first_offset = -1; // where its first cluster lies on the volume; -1 unknown
    quint32 first_cluster = 0; // FAT family only
    bool deleted = false;
    bool short_name_only = false; // FAT: an 8.3 name without a long name
    // Live, and its bytes are those of a live file listed before it (a hard
    // link, or a crafted entry): no runs of its own, nothing new to read.
    bool shared_content = false;
    QDateTime modified;
    QDateTime created;
    QDateTime accessed;
    // Its data as the file system gives it: complete for a live file; for a
    // deleted one a guess (contiguous, or the chain that survived).
    VolumeExtents runs;
};

// What a volume's file system says: its files (those a filter kept), the
// bytes it uses, and how it lays out clusters. Read by FileSystemReader.
class FileSystemView
{
public:
    QString type; // as The Sleuth Kit names it: fat32, exfat, ntfs, ext4, ...
    bool fat_family = false;
    bool fat32 = false;
    qint64 block_size = 0;
    qint64 cluster_size = 0;
    qint64 data_start = 0; // FAT family: where cluster 2 begins
    QList<FileEntry> files;
    AllocationMap allocation;

    bool is_read() const { return cluster_size > 0; }

    // A deleted 8.3 name lost its first letter: it is taken from the names
    // beside it in the same folder that agree on every other character
    // (IMG_0019.JPG beside _MG_0020.JPG); where none agrees, the '_' stays.
    void restore_first_letters();

    // The deleted entry whose file began where a photo of length bytes was
    // found at offset: its first cluster there and its size the photo's, or
    // larger (bytes after the photo's end were part of the file). On FAT32
    // a delete may clear the high 16 bits of the first cluster: those
    // entries match on the low 16 bits. Null when none does.
    const FileEntry *deleted_entry_at(qint64 offset, qint64 length) const;
    // Indexes the deleted entries for deleted_entry_at(); after the files are all in.
    void index_deleted();
    // Reads bytes of the volume; fewer where it ends or a read fails.
    using Reader = std::function<QByteArray(qint64 offset, qint64 length)>;
    // True when it lists live photos or videos with runs, and they (at most
    // most_checked of them) begin where their runs say with what their names
    // say they are: the bytes it gives live files can then be believed. A
    // damaged file system (a FAT of the wrong length shifts every cluster)
    // fails this.
    bool live_files_agree(const Reader &read, int most_checked = 16) const;

private:
    quint32 cluster_at(qint64 offset) const;

    QMultiHash<quint32, int> deleted_by_key; // low 16 bits of the first cluster, or the first offset
};
