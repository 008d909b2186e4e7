#include "allocationmap.h"

#include <tsk/libtsk.h>

namespace {

constexpr qint64 longest_walk = 1 << 16; // blocks looked at per question

struct Walk
{
    bool first_used = false;
    bool started = false;
    TSK_DADDR_T end = 0;
};

TSK_WALK_RET_ENUM on_block(const TSK_FS_BLOCK *block, void *context)
{
    auto *walk = static_cast<Walk *>(context);
    const bool used = (block->flags & TSK_FS_BLOCK_FLAG_ALLOC) != 0;
    if (!walk->started) {
        walk->started = true;
        walk->first_used = used;
    } else if (used != walk->first_used) {
        return TSK_WALK_STOP;
    }
    walk->end = block->addr + 1;
    return TSK_WALK_CONT;
}

} // namespace

AllocationMap::~AllocationMap()
{
    close();
}

bool AllocationMap::open(const QString &raw_path)
{
    close();
    image = tsk_img_open_utf8_sing(raw_path.toUtf8().constData(), TSK_IMG_TYPE_RAW, 0); // a device node or a raw image, never a container format
    if (!image)
        return false;
    fs = tsk_fs_open_img(image, 0, TSK_FS_TYPE_DETECT);
    if (!fs) {
        close();
        return false;
    }
    return true;
}

void AllocationMap::close()
{
    if (fs)
        tsk_fs_close(fs);
    if (image)
        tsk_img_close(image);
    fs = nullptr;
    image = nullptr;
    cached = Run{};
    tsk_error_reset();
}

qint64 AllocationMap::block_size() const
{
    return fs ? qint64(fs->block_size) : 0;
}

AllocationMap::Run AllocationMap::run_holding(qint64 block) const
{
    if (block >= cached.first && block < cached.end)
        return cached;
    Run run;
    if (block < qint64(fs->first_block) || block > qint64(fs->last_block))
        return run;
    Walk walk;
    const TSK_DADDR_T last = TSK_DADDR_T(qMin<qint64>(qint64(fs->last_block), block + longest_walk - 1));
    const int flags = TSK_FS_BLOCK_WALK_FLAG_ALLOC | TSK_FS_BLOCK_WALK_FLAG_UNALLOC | TSK_FS_BLOCK_WALK_FLAG_CONT
        | TSK_FS_BLOCK_WALK_FLAG_META | TSK_FS_BLOCK_WALK_FLAG_AONLY;
    tsk_fs_block_walk(fs, TSK_DADDR_T(block), last, TSK_FS_BLOCK_WALK_FLAG_ENUM(flags), on_block, &walk);
    tsk_error_reset();
    if (!walk.started)
        return run;
    run.first = block;
    run.end = qint64(walk.end);
    run.used = walk.first_used;
    cached = run;
    return run;
}

qint64 AllocationMap::used_until(qint64 offset) const
{
    if (!fs || offset < 0)
        return offset;
    const qint64 size = qint64(fs->block_size);
    const Run run = run_holding(offset / size);
    return run.used ? qMax(offset, run.end * size) : offset;
}
