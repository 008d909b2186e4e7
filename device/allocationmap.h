#pragma once

#include <QString>
#include <QtGlobal>

struct TSK_IMG_INFO;
struct TSK_FS_INFO;

// Which parts of a volume its file system gives to live files (and to its
// own tables), read with The Sleuth Kit from the file system's metadata
// alone: no mount. FAT12/16/32, exFAT, NTFS and ext2 to ext4. A file system
// puts a new file into the next free clusters, so the next piece of a deleted
// photo lies in space no live file uses.
class AllocationMap
{
public:
    AllocationMap() = default;
    ~AllocationMap();
    AllocationMap(const AllocationMap &) = delete;
    AllocationMap &operator=(const AllocationMap &) = delete;

    // False when no file system can be read there (a reformatted or damaged
    // card, a raw image); the map then says every byte is free.
    bool open(const QString &raw_path);
    void close();
    bool is_open() const { return fs != nullptr; }

    // The end of the run of used bytes that holds offset; offset itself when
    // the byte is free or nothing is known about it.
    qint64 used_until(qint64 offset) const;
    // The file system's unit of allocation in bytes (its block, for FAT a sector); 0 when closed.
    qint64 block_size() const;

private:
    struct Run
    {
        qint64 first = -1; // blocks
        qint64 end = -1;
        bool used = false;
    };
    Run run_holding(qint64 block) const;

    TSK_IMG_INFO *image = nullptr;
    TSK_FS_INFO *fs = nullptr;
    mutable Run cached;
};
