#pragma once

#include <cstdint>

// The messages between FileSystemReader and velvora-fs-reader, the helper
// that reads a volume's file system in a process of its own. Both ends are
// built together, so numbers travel in the machine's own byte order.
//
// The reader starts by sending the volume's size (int64) and sector size
// (uint32). The helper then sends messages, each a tag byte and its fields;
// strings are a uint32 byte count and UTF-8 bytes.
namespace file_system_protocol {

enum Tag : char {
    // int64 offset, int64 count: the helper asks for bytes of the volume. The
    // reader answers with an int64 count (-1 when they cannot be read) and
    // that many bytes.
    Read = 'R',
    // uint8 fat_family, uint8 fat32, int64 block size, int64 cluster size,
    // int64 offset of the first data cluster, string type name.
    Geometry = 'G',
    // uint8 flags (FileFlag), int64 size, int64 offset of the first data byte
    // (-1 unknown), uint32 first cluster (FAT family; 0 otherwise),
    // int64 modified, created, accessed (seconds since 1970, 0 unknown),
    // string name, string folder, uint32 run count and that many
    // (int64 offset, int64 length) runs of the file's data.
    File = 'F',
    // int64 offset, int64 length: bytes the file system uses (live files,
    // folders, its own tables).
    Used = 'U',
    // The files and the used bytes above are all there is of the file
    // system's own folders; what follows are entries found in unused space
    // (after a quick format, the old folders), sent only when the folders
    // held no deleted file. A reading that ends from here on keeps the rest.
    Orphans = 'O',
    // The end: everything was sent.
    Done = 'D',
    // string why: no file system the library accepts was found.
    NoFileSystem = 'N',
    // string why: the file system lists more than its bounds allow; the
    // helper stops there.
    OverBounds = 'B',
};

enum FileFlag : uint8_t {
    Deleted = 1,
    // A FAT entry with an 8.3 name and no long name: deleted, it lost its first letter.
    ShortNameOnly = 2,
    // A live file whose bytes another live file sent before holds too (a
    // hard link, or a crafted entry): sent without runs, its content is
    // the other's.
    SharedRuns = 4,
};

// Bounds the reader holds the helper to: names, runs of one file, runs of
// all files together, read sizes.
constexpr uint32_t longest_string = 4096;
constexpr uint32_t most_runs = 65536;
constexpr uint32_t most_runs_in_all = 512 * 1024;
constexpr int64_t largest_read = 16 * 1024 * 1024;

} // namespace file_system_protocol
