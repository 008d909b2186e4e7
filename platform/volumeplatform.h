#pragma once

#include <QList>
#include <QString>
#include <QtGlobal>

class QProcess;

// The operating system's side of volume access. Everything that needs a
// platform header lives behind these declarations; volumeplatform_linux.cpp
// implements them for Linux, another platform supplies its own source file.
namespace volume_platform {

using Handle = qintptr;
inline constexpr Handle invalid_handle = -1;

enum class Failure {
    None,
    NotFound,         // no such device node or file
    IsDirectory,      // a folder where a volume was expected
    NotAVolume,       // neither a block device nor a regular file
    PermissionDenied, // it exists, but this user may not read it
    DeviceGone,       // the device or its medium went away
    Io,               // the device reported a read error
    AuthorizationRefused, // the administrator's password was asked for and not given
    AlreadyExists,    // a file, folder or link already has the name
    NoSpace,          // the disk is full, or the file would outgrow a limit
    BadName,          // the name is not one entry of the folder, or the file system refuses it
    Other
};

// A sentence for the user; empty for Failure::None.
QString failure_text(Failure failure);

// Opens a device node or an image file for reading only, positioned at 0.
Handle open_read_only(const QString &path, Failure *failure = nullptr);
// Reads up to count bytes; returns the count read, 0 at the end, -1 on failure.
qint64 read(Handle handle, char *buffer, qint64 count, Failure *failure = nullptr);
bool seek(Handle handle, qint64 offset);
bool close(Handle handle);
// Reads up to count bytes at offset without moving the handle's position, so
// nothing else holding the same descriptor can move the read; as read().
qint64 read_at(Handle handle, qint64 offset, char *buffer, qint64 count, Failure *failure = nullptr);

// A second handle to what handle has open that reads past the page cache
// (direct I/O), so a failing sector costs only itself, not its whole page;
// invalid_handle where that cannot be had (image files, a node this user may
// not open again). The caller closes it.
Handle open_unbuffered(Handle handle);
// read_at() past the page cache: through a handle from open_unbuffered(), or
// by switching handle itself for this one read when there is none. buffer,
// offset and count must be multiples of the logical block size; where direct
// I/O is refused the read goes through the page cache.
qint64 read_unbuffered_at(Handle handle, qint64 offset, char *buffer, qint64 count, Failure *failure = nullptr);

// A second handle to what handle has open, sharing its position; the caller
// closes both. invalid_handle when it cannot be made.
Handle duplicate(Handle handle);

// For a sequential pass over a block device: asks the kernel for generous
// read-ahead, and lets it drop the cached pages of a range already consumed,
// so that reading a whole card does not push everything else out of memory.
void advise_sequential(Handle handle);
void release_cached(Handle handle, qint64 offset, qint64 length);

struct Geometry {
    qint64 size = -1;              // bytes, -1 when unknown
    quint32 bytes_per_sector = 0;  // logical block size; 512 for image files
    bool block_device = false;
};
Geometry geometry(Handle handle);

// Identity of what a path names now (device numbers and the disk's media
// sequence number for nodes, so a reattached loop device or a changed card
// differs; device and inode for files); 0 when it does not exist.
quint64 identity_of(const QString &path);

// Logical sector size of the block device node path, learnt without opening
// it; 512 for anything else.
quint32 sector_size_of(const QString &path);

// True when root_path is a mounted, readable directory.
bool probe_mount(const QString &root_path);

// Mount point of the file system on the block device raw_path, or empty.
QString mount_point_of(const QString &raw_path);

// True when path names a block device node (not an image file).
bool is_block_device(const QString &path);

// True when files written under directory could land on the storage behind
// raw_path: the same device, a partition of it or its whole disk, or a loop
// device backed by the image file raw_path.
bool shares_storage(const QString &directory, const QString &raw_path);

// A folder opened once, in which files are made, checked and removed by
// name. A name is always one entry of that very folder (never a path), and a
// link found under it is never followed, so nothing can land elsewhere, even
// when the folder is renamed or replaced by a link meanwhile. The folder
// itself may be a link the user chose.
Handle open_folder(const QString &path, Failure *failure = nullptr);

struct FolderEntry {
    QString name;
    bool exists = false;       // a file, folder, link (dangling too) or anything else
    bool regular_file = false; // a plain file, not a link to one
    qint64 size = -1;          // of a regular file
};
FolderEntry entry_in(Handle folder, const QString &name);
QList<FolderEntry> entries_in(Handle folder);

// Makes a new file for writing; fails with AlreadyExists when anything has
// the name, a link included (which is neither followed nor replaced).
Handle create_file_in(Handle folder, const QString &name, Failure *failure = nullptr);
// Opens a regular file of the folder for reading; never through a link.
Handle open_file_in(Handle folder, const QString &name, Failure *failure = nullptr);
bool remove_file_in(Handle folder, const QString &name);
// The longest name the folder's file system takes, in bytes.
int longest_name_in(Handle folder);

// Asks that write_all() put the file's data on its disk past the page cache
// (direct I/O) where its file system allows it: writing a card's worth of
// photos then costs no copy through the cache and pushes nothing else out of
// memory. False, with nothing changed, where it is refused.
bool write_past_cache(Handle file);
// Writes all count bytes; false, with NoSpace when the disk is full, when not.
// Past the cache (write_past_cache) go whole blocks at block offsets; the
// rest of the file, from its first part that is not, goes through the cache.
bool write_all(Handle file, const char *data, qint64 count, Failure *failure = nullptr);
// Cuts the open file to size bytes, giving back the room of the rest.
bool truncate(Handle file, qint64 size);
// The size of the open file; -1 when unknown.
qint64 file_size(Handle file);
bool set_modified_time(Handle file, qint64 msecs_since_epoch);
// Puts what was written through handle (a file's data, a folder's entries)
// on its disk; false when the disk did not take it, with NoSpace when it was
// out of space.
bool sync(Handle handle, Failure *failure = nullptr);

bool stderr_is_terminal();

// Ends the process at once with status, without running exit handlers: for
// a window whose worker is stuck in a read of a failing device.
[[noreturn]] void end_process_now(int status);

// From now on SIGINT and SIGTERM (Ctrl-C, kill) only raise a flag that
// interrupted() reports; a second one ends the process as usual.
void catch_interrupts();
bool interrupted();

// Keeps the heap of a scanning process small: the thumbnail decoders' large,
// short-lived buffers would otherwise stay resident in per-thread allocator
// pools. Call first thing in main(), before any thread starts.
void limit_heap_growth();

// Bounds the address space of this process to bytes: past it allocations
// fail. Safe to call in a child between fork and exec.
void limit_address_space(qint64 bytes);

// Size and alignment of the large pages the platform can back a buffer with;
// 0 where it has none.
qint64 large_page_size();

// Asks for data to be backed by large pages where the platform has them: the
// kernel then copies a block into it without a page-table walk every 4 KiB,
// and the carver's look at every sector misses no translation. A hint; it
// may be ignored.
void prefer_large_pages(char *data, qint64 size);

// One removable volume as the platform lists it.
struct VolumeInfo {
    QString drive;       // kernel name, for example sdb1
    QString raw_path;    // device node
    QString root_path;   // mount point, empty when not mounted
    QString label;       // empty when unknown
    QString file_system; // for example FAT32, exFAT; empty when unknown
    quint32 bytes_per_sector = 0;
    qint64 size = 0;     // bytes
    quint64 identity = 0; // as identity_of(raw_path) gives it while the device stays
};

// The removable volumes attached now: partitions of removable or
// hot-pluggable disks (the disk itself when it has none) and file-backed loop
// devices, never the disk the system runs from. Needs no read access to the
// devices; label and file system stay empty when they cannot be learnt.
QList<VolumeInfo> list_volumes();

// identity_of() of a block device node with these numbers, on a disk whose
// media sequence number is disk_sequence (0 when the kernel has none).
quint64 block_device_identity(quint32 major, quint32 minor, quint64 disk_sequence);

// A helper process that reads hostile bytes gets at most bytes of address
// space (limit_address_space in the child) and leaves no core file; set
// before it is started.
void limit_child_memory(QProcess &process, qint64 bytes);

} // namespace volume_platform
