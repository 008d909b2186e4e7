#include "allocationmap.h"

#include <QLibrary>

#include <tsk/libtsk.h>

namespace {

// The Sleuth Kit brings some forty libraries of its own (image formats,
// network, crypto) that take longer to map than a whole scan of a small
// card; it is loaded the first time a broken photo needs the map.
struct Tsk
{
    decltype(&tsk_img_open_utf8_sing) img_open = nullptr;
    decltype(&tsk_fs_open_img) fs_open = nullptr;
    decltype(&tsk_fs_close) fs_close = nullptr;
    decltype(&tsk_img_close) img_close = nullptr;
    decltype(&tsk_error_reset) error_reset = nullptr;
    decltype(&tsk_fs_block_walk) block_walk = nullptr;

    bool loaded() const { return img_open && fs_open && fs_close && img_close && error_reset && block_walk; }
};

template<typename Function>
void resolve(QLibrary &library, const char *name, Function &function)
{
    function = reinterpret_cast<Function>(library.resolve(name));
}

// Stays loaded for the rest of the process (QLibrary never unloads by itself).
const Tsk &tsk()
{
    static const Tsk functions = [] {
        Tsk t;
        QLibrary library(QStringLiteral("tsk"), 19);
        if (!library.load()) {
            library.setFileName(QStringLiteral("tsk"));
            if (!library.load())
                return t;
        }
        resolve(library, "tsk_img_open_utf8_sing", t.img_open);
        resolve(library, "tsk_fs_open_img", t.fs_open);
        resolve(library, "tsk_fs_close", t.fs_close);
        resolve(library, "tsk_img_close", t.img_close);
        resolve(library, "tsk_error_reset", t.error_reset);
        resolve(library, "tsk_fs_block_walk", t.block_walk);
        return t;
    }();
    return functions;
}

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
    if (!tsk().loaded())
        return false;
    image = tsk().img_open(raw_path.toUtf8().constData(), TSK_IMG_TYPE_RAW, 0); // a device node or a raw image, never a container format
    if (!image) {
        tsk().error_reset();
        return false;
    }
    fs = tsk().fs_open(image, 0, TSK_FS_TYPE_DETECT);
    if (!fs) {
        close();
        return false;
    }
    return true;
}

// Touches the library only when something was opened: a scan closes the
// map before it starts, and must not load the library for that.
void AllocationMap::close()
{
    const bool was_open = fs || image;
    if (fs)
        tsk().fs_close(fs);
    if (image)
        tsk().img_close(image);
    fs = nullptr;
    image = nullptr;
    cached = Run{};
    if (was_open)
        tsk().error_reset();
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
    tsk().block_walk(fs, TSK_DADDR_T(block), last, TSK_FS_BLOCK_WALK_FLAG_ENUM(flags), on_block, &walk);
    tsk().error_reset();
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
