// velvora-fs-reader: reads a volume's file system with The Sleuth Kit and
// tells what it holds (see filesystemprotocol.h). Every byte comes from the
// process that started it, over stdin, so this process needs no access to
// the device, and a crash or an endless loop in the library on a damaged
// file system ends only this process.

#include "byteruns.h"
#include "filesystemprotocol.h"
#include "helperpipe.h"

#include <tsk/libtsk.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace proto = file_system_protocol;

// The library's image structure must come first: the library sees only it.
// Reads of the first boot_length bytes are served from boot_from on: a
// damaged boot region is then read as its backup copy.
struct ExternalImage
{
    TSK_IMG_INFO info;
    int64_t boot_from = 0;
    int64_t boot_length = 0;
};

namespace {

using helper_pipe::put;

void put_string(const std::string &text)
{
    helper_pipe::put_string(text, proto::longest_string);
}

// Bytes of the volume from the reader, at most largest_read of them.
ssize_t ask_for(int64_t offset, char *buffer, size_t count)
{
    const int64_t want = std::min<int64_t>(int64_t(count), proto::largest_read);
    return ssize_t(helper_pipe::ask_for_bytes(char(proto::Read), offset, buffer, want));
}

ssize_t read_volume(TSK_IMG_INFO *image, TSK_OFF_T offset, char *buffer, size_t count)
{
    const auto *external = reinterpret_cast<const ExternalImage *>(image);
    size_t done = 0;
    while (done < count) {
        const int64_t at = int64_t(offset) + int64_t(done);
        size_t piece = count - done;
        int64_t from = at;
        if (at < external->boot_length) {
            piece = std::min<size_t>(piece, size_t(external->boot_length - at));
            from = external->boot_from + at;
        }
        const ssize_t got = ask_for(from, buffer + done, piece);
        if (got < 0)
            return done > 0 ? ssize_t(done) : -1;
        done += size_t(got);
        if (size_t(got) < std::min<size_t>(piece, proto::largest_read))
            break;
    }
    return ssize_t(done);
}

void close_volume(TSK_IMG_INFO *image)
{
    delete reinterpret_cast<ExternalImage *>(image);
}

void describe_volume(TSK_IMG_INFO *, FILE *) {}

using Runs = std::vector<std::pair<int64_t, int64_t>>;

struct Walk
{
    TSK_FS_INFO *fs = nullptr;
    bool fat_family = false;
    int64_t data_start = 0;
    int64_t cluster_size = 0;
    ByteRuns used; // what live files and folders hold: no other live file may claim it again
    uint32_t runs_left = proto::most_runs_in_all;
    int deleted_files = 0;
    bool over_bounds = false;
};

Runs runs_of(TSK_FS_FILE *file, int64_t block_size)
{
    Runs runs;
    const TSK_FS_ATTR *attribute = tsk_fs_file_attr_get(file);
    if (!attribute || !(attribute->flags & TSK_FS_ATTR_NONRES)) {
        tsk_error_reset();
        return runs;
    }
    for (const TSK_FS_ATTR_RUN *run = attribute->nrd.run; run && runs.size() < proto::most_runs; run = run->next) {
        if (run->flags & (TSK_FS_ATTR_RUN_FLAG_FILLER | TSK_FS_ATTR_RUN_FLAG_SPARSE))
            continue;
        runs.emplace_back(int64_t(run->addr) * block_size, int64_t(run->len) * block_size);
    }
    return runs;
}

// The FAT family keeps a file's first cluster as its content, also for a
// deleted entry whose chain is gone (as the entry says it: on FAT32 a
// delete may have cleared its high 16 bits).
uint32_t first_cluster_of(const Walk &walk, const TSK_FS_META *meta)
{
    if (!walk.fat_family || !meta->content_ptr || meta->content_len < sizeof(TSK_DADDR_T))
        return 0;
    const TSK_DADDR_T cluster = static_cast<const TSK_DADDR_T *>(meta->content_ptr)[0];
    return cluster >= 2 && cluster <= 0x0FFFFFFF ? uint32_t(cluster) : 0;
}

void send_file(const Walk &walk, TSK_FS_FILE *file, const char *folder, const Runs &runs, uint8_t flags)
{
    const TSK_FS_META *meta = file->meta;
    // exFAT has no 8.3 names, and its names survive a delete whole
    if (walk.fat_family && walk.fs->ftype != TSK_FS_TYPE_EXFAT
        && (!file->name->shrt_name || file->name->shrt_name[0] == '\0'))
        flags |= proto::ShortNameOnly;
    const uint32_t first_cluster = first_cluster_of(walk, meta);
    int64_t first_offset = runs.empty() ? -1 : runs.front().first;
    if (first_cluster >= 2)
        first_offset = walk.data_start + int64_t(first_cluster - 2) * walk.cluster_size;
    put(char(proto::File));
    put(flags);
    put(int64_t(meta->size));
    put(first_offset);
    put(first_cluster);
    put(int64_t(meta->mtime));
    put(int64_t(meta->crtime));
    put(int64_t(meta->atime));
    put_string(file->name->name);
    std::string path = folder ? folder : "";
    while (!path.empty() && path.back() == '/')
        path.pop_back();
    put_string(path);
    put(uint32_t(runs.size()));
    for (const auto &[offset, length] : runs) {
        put(offset);
        put(length);
    }
}

void send_over_bounds(Walk &walk, const std::string &why)
{
    walk.over_bounds = true;
    put(char(proto::OverBounds));
    put_string(why);
}

// A live file whose first cluster a live file or folder already holds
// shares its bytes: its chain need not be followed to know that.
bool starts_in_claimed(const Walk &walk, const TSK_FS_META *meta)
{
    const uint32_t cluster = first_cluster_of(walk, meta);
    return cluster >= 2 && walk.used.holds(walk.data_start + int64_t(cluster - 2) * walk.cluster_size);
}

TSK_WALK_RET_ENUM on_entry(TSK_FS_FILE *file, const char *folder, void *context)
{
    auto *walk = static_cast<Walk *>(context);
    if (!file->name || !file->meta)
        return TSK_WALK_CONT;
    const char *name = file->name->name;
    if (!name || std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0)
        return TSK_WALK_CONT;
    const bool deleted = (file->name->flags & TSK_FS_NAME_FLAG_UNALLOC) || !(file->meta->flags & TSK_FS_META_FLAG_ALLOC);
    const bool regular = file->meta->type == TSK_FS_META_TYPE_REG;
    if (deleted && !regular)
        return TSK_WALK_CONT;
    uint8_t flags = deleted ? proto::Deleted : 0;
    Runs runs;
    if (!deleted && regular && starts_in_claimed(*walk, file->meta)) {
        flags |= proto::SharedRuns;
    } else {
        runs = runs_of(file, int64_t(walk->fs->block_size));
        if (!deleted && regular && walk->used.overlaps(runs)) {
            flags |= proto::SharedRuns;
            runs.clear();
        }
    }
    if (runs.size() > walk->runs_left) {
        send_over_bounds(*walk, "The file system lists more pieces of files than it can hold.");
        return TSK_WALK_STOP;
    }
    walk->runs_left -= uint32_t(runs.size());
    if (!deleted) {
        for (const auto &[offset, length] : runs)
            walk->used.claim(offset, length);
    }
    if (regular) {
        walk->deleted_files += deleted;
        send_file(*walk, file, folder, runs, flags);
    }
    return TSK_WALK_CONT;
}

uint32_t little_endian(const unsigned char *bytes, int count)
{
    uint32_t value = 0;
    for (int i = count - 1; i >= 0; --i)
        value = value << 8 | bytes[i];
    return value;
}

// Where cluster 2 begins and how large a cluster is, from the boot sector
// the library has just accepted (its own tables of these are private).
bool read_fat_geometry(TSK_IMG_INFO *image, TSK_FS_INFO *fs, Walk &walk)
{
    unsigned char boot[512];
    if (tsk_img_read(image, 0, reinterpret_cast<char *>(boot), sizeof boot) != ssize_t(sizeof boot))
        return false;
    int64_t sector = 0;
    int64_t cluster = 0;
    int64_t data_start = 0;
    if (fs->ftype == TSK_FS_TYPE_EXFAT) {
        if (boot[108] < 9 || boot[108] > 12 || boot[109] > 25)
            return false;
        sector = int64_t(1) << boot[108];
        cluster = sector << boot[109];
        data_start = int64_t(little_endian(boot + 88, 4)) * sector;
    } else {
        sector = little_endian(boot + 11, 2);
        cluster = sector * boot[13];
        const int64_t fat_sectors = little_endian(boot + 22, 2) ? little_endian(boot + 22, 2) : little_endian(boot + 36, 4);
        const int64_t root_bytes = int64_t(little_endian(boot + 17, 2)) * 32;
        if (sector < 512 || sector > 4096 || cluster == 0)
            return false;
        data_start = (little_endian(boot + 14, 2) + int64_t(boot[16]) * fat_sectors) * sector
            + (root_bytes + sector - 1) / sector * sector;
    }
    walk.cluster_size = cluster;
    walk.data_start = data_start;
    return data_start > 0 && data_start < int64_t(image->size);
}

void claim_root_folder(Walk &walk)
{
    TSK_FS_FILE *root = tsk_fs_file_open_meta(walk.fs, nullptr, walk.fs->root_inum);
    if (!root) {
        tsk_error_reset();
        return;
    }
    const Runs runs = runs_of(root, int64_t(walk.fs->block_size));
    if (runs.size() <= walk.runs_left) {
        walk.runs_left -= uint32_t(runs.size());
        for (const auto &[offset, length] : runs)
            walk.used.claim(offset, length);
    }
    tsk_fs_file_close(root);
}

void send_used(const ByteRuns &used)
{
    for (const auto &[start, end] : used.all()) {
        put(char(proto::Used));
        put(start);
        put(end - start);
    }
}

// Where a damaged boot region may keep its copy, for a volume of size bytes.
struct Backup
{
    int64_t from;
    int64_t length;
    size_t name_at; // where the copy names its file system
    const char *name;
};

std::vector<Backup> backups_of(int64_t size, int64_t sector)
{
    return {
        {6 * sector, sector, 82, "FAT32   "},          // FAT32: the boot sector's copy at sector 6
        {12 * sector, 12 * sector, 3, "EXFAT   "},     // exFAT: the whole boot region's copy from sector 12
        {size - sector, sector, 3, "NTFS    "},        // NTFS: the boot sector's copy in the last sector
    };
}

bool looks_like(const Backup &backup)
{
    char sector[512];
    if (backup.from <= 0 || ask_for(backup.from, sector, sizeof sector) != ssize_t(sizeof sector))
        return false;
    return uint8_t(sector[510]) == 0x55 && uint8_t(sector[511]) == 0xAA
        && std::memcmp(sector + backup.name_at, backup.name, std::strlen(backup.name)) == 0;
}

TSK_IMG_INFO *open_image(int64_t size, uint32_t sector_size, const Backup *backup)
{
    auto *external = new ExternalImage{};
    if (backup) {
        external->boot_from = backup->from;
        external->boot_length = backup->length;
    }
    TSK_IMG_INFO *image =
        tsk_img_open_external(external, TSK_OFF_T(size), sector_size, read_volume, close_volume, describe_volume);
    if (!image)
        delete external;
    return image;
}

// The file systems of cards and sticks only: probing for every type the
// library knows reads tens of megabytes of a blank card.
TSK_FS_INFO *open_file_system(TSK_IMG_INFO *image, std::string *why)
{
    for (const TSK_FS_TYPE_ENUM type : {TSK_FS_TYPE_FAT_DETECT, TSK_FS_TYPE_NTFS_DETECT, TSK_FS_TYPE_EXT_DETECT}) {
        TSK_FS_INFO *fs = tsk_fs_open_img(image, 0, type);
        if (fs) {
            tsk_error_reset();
            return fs;
        }
        const char *error = tsk_error_get();
        if (error && why->empty() && tsk_error_get_errno() != TSK_ERR_FS_MAGIC)
            *why = error;
        tsk_error_reset();
    }
    return nullptr;
}

// What the first sector says the volume holds, to tell a damaged file
// system from none at all.
std::string claimed_type(TSK_IMG_INFO *image)
{
    unsigned char boot[1536] = {};
    if (tsk_img_read(image, 0, reinterpret_cast<char *>(boot), sizeof boot) != ssize_t(sizeof boot))
        return {};
    if (std::memcmp(boot + 3, "EXFAT   ", 8) == 0)
        return "exFAT";
    if (std::memcmp(boot + 3, "NTFS    ", 8) == 0)
        return "NTFS";
    if (std::memcmp(boot + 82, "FAT32   ", 8) == 0)
        return "FAT32";
    if (std::memcmp(boot + 54, "FAT", 3) == 0)
        return "FAT";
    if (boot[1024 + 56] == 0x53 && boot[1024 + 57] == 0xEF)
        return "ext";
    return {};
}

std::string reason_for(const std::string &type, const std::string &library_says)
{
    if (type.empty())
        return {}; // none at all: a raw image, or a card never formatted
    std::string why = "The " + type + " file system is damaged";
    if (!library_says.empty())
        why += " (" + library_says + ")";
    return why + ".";
}

void walk_folders(Walk &walk, TSK_INUM_T from, bool orphans = false)
{
    const int flags = TSK_FS_DIR_WALK_FLAG_RECURSE | TSK_FS_DIR_WALK_FLAG_ALLOC | TSK_FS_DIR_WALK_FLAG_UNALLOC
        | (orphans ? 0 : TSK_FS_DIR_WALK_FLAG_NOORPHAN);
    tsk_fs_dir_walk(walk.fs, from, TSK_FS_DIR_WALK_FLAG_ENUM(flags), on_entry, &walk);
    tsk_error_reset();
}

} // namespace

int main()
{
    int64_t size = 0;
    uint32_t sector_size = 0;
    if (!helper_pipe::take(&size, sizeof size) || !helper_pipe::take(&sector_size, sizeof sector_size))
        return 2;

    TSK_IMG_INFO *image = open_image(size, sector_size, nullptr);
    if (!image)
        return 2;
    std::string library_says;
    TSK_FS_INFO *fs = open_file_system(image, &library_says);
    if (!fs) {
        // A damaged boot region: its copy, read in its place.
        const std::string type = claimed_type(image);
        for (const Backup &backup : backups_of(size, sector_size)) {
            if (!looks_like(backup))
                continue;
            TSK_IMG_INFO *copy = open_image(size, sector_size, &backup);
            std::string ignored;
            fs = copy ? open_file_system(copy, &ignored) : nullptr;
            if (fs) {
                tsk_img_close(image);
                image = copy;
                break;
            }
            if (copy)
                tsk_img_close(copy);
        }
        if (!fs) {
            put(char(proto::NoFileSystem));
            put_string(reason_for(type, library_says));
            std::fflush(stdout);
            tsk_img_close(image);
            return 0;
        }
    }

    Walk walk;
    walk.fs = fs;
    walk.fat_family = TSK_FS_TYPE_ISFAT(fs->ftype);
    walk.cluster_size = int64_t(fs->block_size);
    if (walk.fat_family) {
        if (!read_fat_geometry(image, fs, walk))
            walk.fat_family = false;
        else // the boot sector, the tables and a FAT12/16 root folder
            walk.used.claim(0, walk.data_start);
    }
    put(char(proto::Geometry));
    put(uint8_t(walk.fat_family));
    put(uint8_t(fs->ftype == TSK_FS_TYPE_FAT32));
    put(int64_t(fs->block_size));
    put(walk.cluster_size);
    put(walk.data_start);
    put_string(tsk_fs_type_toname(fs->ftype));

    claim_root_folder(walk);
    walk_folders(walk, fs->root_inum);
    if (!walk.over_bounds) {
        send_used(walk.used);
        // Folders without a deleted file may be new ones over old (a quick
        // format): the old entries still stand in the unused space.
        if (walk.deleted_files == 0) {
            put(char(proto::Orphans));
            std::fflush(stdout);
            walk_folders(walk, TSK_FS_ORPHANDIR_INUM(fs), true);
        }
        if (!walk.over_bounds)
            put(char(proto::Done));
    }
    std::fflush(stdout);
    tsk_fs_close(fs);
    tsk_img_close(image);
    return 0;
}
