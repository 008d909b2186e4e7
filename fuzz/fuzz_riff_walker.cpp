// The RIFF walker over a volume made of the input: every AVI file found lies
// in the volume at a sector boundary, starts with its RIFF header and holds
// its frames' list, every clip lost at unreadable sectors spans bytes of the
// volume from its RIFF header on, and the same files and lost clips come out
// however the volume is cut.

#include "blockfeed.h"
#include "riffwalker.h"

#include <QList>

#include <zlib.h>

#include <cstring>
#include <tuple>

namespace {

using Files = QList<std::tuple<qint64, qint64, qint64>>; // offset, length, frames' list (-1: a lost clip)

Files walk(const QByteArray &volume, quint32 cut_seed, fuzz::Gaps gaps)
{
    Files files;
    const qint64 size = volume.size();
    RiffWalker walker(size, [&](const RiffWalker::Found &file) {
        FUZZ_REQUIRE(file.offset >= 0 && file.offset % RiffWalker::alignment == 0);
        FUZZ_REQUIRE(file.length >= 12 && file.offset + file.length <= size);
        FUZZ_REQUIRE(std::memcmp(volume.constData() + file.offset, "RIFF", 4) == 0);
        FUZZ_REQUIRE(file.movi_offset > file.offset && file.movi_offset + file.movi_length <= file.offset + file.length);
        FUZZ_REQUIRE(std::memcmp(volume.constData() + file.movi_offset + 8, "movi", 4) == 0);
        const QByteArray written = fuzz::with_holes_zeroed(volume, file, gaps);
        FUZZ_REQUIRE(file.crc == crc32_z(0, reinterpret_cast<const Bytef *>(written.constData()), size_t(written.size())));
        files.append({file.offset, file.length, file.movi_offset});
    });
    walker.set_lost_handler([&](qint64 start, qint64 end) {
        FUZZ_REQUIRE(start >= 0 && start % RiffWalker::alignment == 0 && start < end && end <= size);
        FUZZ_REQUIRE(std::memcmp(volume.constData() + start, "RIFF", 4) == 0);
        files.append({start, end - start, -1});
    });
    fuzz::walk_in_blocks(walker, volume, cut_seed, gaps);
    return files;
}

} // namespace

int fuzz::riff_walker(const uint8_t *data, size_t size)
{
    BlockInput input;
    if (!split_block_input(data, size, &input))
        return 0;
    // The first byte also says which sectors cannot be read.
    const fuzz::Gaps gaps = fuzz::Gaps::of(input);
    FUZZ_REQUIRE(walk(input.volume, 0, gaps) == walk(input.volume, input.cut_seed, gaps));
    return 0;
}

FUZZ_ENTRY_POINT(riff_walker)
