// velvora-fs-reader: reads a volume's file system with The Sleuth Kit and
// tells what it holds (see filesystemprotocol.h). Every byte comes from the
// process that started it, over stdin, so this process needs no access to
// the device, and a crash or an endless loop in the library on a damaged
// file system ends only this process.

#include "filesystemprotocol.h"

#include <tsk/libtsk.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace proto = file_system_protocol;

// The library's image structure must come first: the library sees only it.
struct ExternalImage
{
    TSK_IMG_INFO info;
};

namespace {

bool read_exact(void *buffer, size_t count)
{
    return std::fread(buffer, 1, count, stdin) == count;
}

void put_bytes(const void *data, size_t count)
{
    std::fwrite(data, 1, count, stdout);
}

template<typename T>
void put(T value)
{
    put_bytes(&value, sizeof value);
}

void put_string(const std::string &text)
{
    const uint32_t size = uint32_t(std::min<size_t>(text.size(), proto::longest_string));
    put(size);
    put_bytes(text.data(), size);
}

ssize_t read_volume(TSK_IMG_INFO *, TSK_OFF_T offset, char *buffer, size_t count)
{
    const int64_t want = std::min<int64_t>(int64_t(count), proto::largest_read);
    put(char(proto::Read));
    put(int64_t(offset));
    put(want);
    std::fflush(stdout);
    int64_t got = -1;
    if (!read_exact(&got, sizeof got) || got > want)
        std::_Exit(3); // the reader has gone or is confused: nothing more to do
    if (got < 0)
        return -1;
    if (!read_exact(buffer, size_t(got)))
        std::_Exit(3);
    return ssize_t(got);
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
    Runs used;
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

void send_file(const Walk &walk, TSK_FS_FILE *file, const char *folder, const Runs &runs, bool deleted)
{
    const TSK_FS_META *meta = file->meta;
    uint8_t flags = deleted ? proto::Deleted : 0;
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
    if (!deleted || regular) {
        const Runs runs = runs_of(file, int64_t(walk->fs->block_size));
        if (!deleted)
            walk->used.insert(walk->used.end(), runs.begin(), runs.end());
        if (regular)
            send_file(*walk, file, folder, runs, deleted);
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

void add_root_folder(Walk &walk)
{
    TSK_FS_FILE *root = tsk_fs_file_open_meta(walk.fs, nullptr, walk.fs->root_inum);
    if (!root) {
        tsk_error_reset();
        return;
    }
    const Runs runs = runs_of(root, int64_t(walk.fs->block_size));
    walk.used.insert(walk.used.end(), runs.begin(), runs.end());
    tsk_fs_file_close(root);
}

void send_used(Runs runs)
{
    std::sort(runs.begin(), runs.end());
    int64_t start = -1;
    int64_t end = -1;
    for (const auto &[offset, length] : runs) {
        if (length <= 0)
            continue;
        if (offset > end) {
            if (end > start) {
                put(char(proto::Used));
                put(start);
                put(end - start);
            }
            start = offset;
        }
        end = std::max(end, offset + length);
    }
    if (end > start) {
        put(char(proto::Used));
        put(start);
        put(end - start);
    }
}

} // namespace

int main()
{
    int64_t size = 0;
    uint32_t sector_size = 0;
    if (!read_exact(&size, sizeof size) || !read_exact(&sector_size, sizeof sector_size))
        return 2;

    auto *external = new ExternalImage{};
    TSK_IMG_INFO *image =
        tsk_img_open_external(external, TSK_OFF_T(size), sector_size, read_volume, close_volume, describe_volume);
    if (!image) {
        delete external;
        return 2;
    }
    // The file systems of cards and sticks only: probing for every type the
    // library knows reads tens of megabytes of a blank card.
    TSK_FS_INFO *fs = nullptr;
    for (const TSK_FS_TYPE_ENUM type : {TSK_FS_TYPE_FAT_DETECT, TSK_FS_TYPE_NTFS_DETECT, TSK_FS_TYPE_EXT_DETECT}) {
        fs = tsk_fs_open_img(image, 0, type);
        tsk_error_reset();
        if (fs)
            break;
    }
    if (!fs) {
        put(char(proto::NoFileSystem));
        std::fflush(stdout);
        tsk_img_close(image);
        return 0;
    }

    Walk walk;
    walk.fs = fs;
    walk.fat_family = TSK_FS_TYPE_ISFAT(fs->ftype);
    walk.cluster_size = int64_t(fs->block_size);
    if (walk.fat_family) {
        if (!read_fat_geometry(image, fs, walk))
            walk.fat_family = false;
        else // the boot sector, the tables and a FAT12/16 root folder
            walk.used.emplace_back(0, walk.data_start);
    }
    put(char(proto::Geometry));
    put(uint8_t(walk.fat_family));
    put(uint8_t(fs->ftype == TSK_FS_TYPE_FAT32));
    put(int64_t(fs->block_size));
    put(walk.cluster_size);
    put(walk.data_start);
    put_string(tsk_fs_type_toname(fs->ftype));

    const int flags = TSK_FS_DIR_WALK_FLAG_RECURSE | TSK_FS_DIR_WALK_FLAG_ALLOC | TSK_FS_DIR_WALK_FLAG_UNALLOC
        | TSK_FS_DIR_WALK_FLAG_NOORPHAN;
    tsk_fs_dir_walk(fs, fs->root_inum, TSK_FS_DIR_WALK_FLAG_ENUM(flags), on_entry, &walk);
    tsk_error_reset();
    add_root_folder(walk);
    send_used(std::move(walk.used));
    put(char(proto::Done));
    std::fflush(stdout);
    tsk_fs_close(fs);
    tsk_img_close(image);
    return 0;
}
