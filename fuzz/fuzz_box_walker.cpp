// The ISO box walker over a volume made of the input: every file found lies
// in the volume at a sector boundary and starts with a box the walker looks
// for, the same files come out however the volume is cut into blocks, and
// the open candidates stay within their bound.

#include "blockfeed.h"
#include "isoboxwalker.h"

#include <QList>

#include <zlib.h>

#include <tuple>

namespace {

using Files = QList<std::tuple<qint64, qint64, int>>; // offset, length, kind

Files walk(const QByteArray &volume, quint32 cut_seed, bool end_known, fuzz::Gaps gaps)
{
    Files files;
    const qint64 size = volume.size();
    IsoBoxWalker walker(size, [&](const IsoBoxWalker::Found &file) {
        FUZZ_REQUIRE(file.offset >= 0 && file.offset % IsoBoxWalker::alignment == 0);
        FUZZ_REQUIRE(file.length >= 16 && file.offset + file.length <= size);
        FUZZ_REQUIRE(IsoBoxWalker::is_start(reinterpret_cast<const uchar *>(volume.constData() + file.offset),
                                            size - file.offset));
        FUZZ_REQUIRE(file.tracks >= 0 && file.tracks <= IsoBoxWalker::most_tracks);
        const QByteArray written = fuzz::with_holes_zeroed(volume, file, gaps);
        FUZZ_REQUIRE(file.crc == crc32_z(0, reinterpret_cast<const Bytef *>(written.constData()), size_t(written.size())));
        files.append({file.offset, file.length, int(file.kind)});
    });
    if (end_known)
        walker.set_known_end([size](qint64 offset, qint64) { return offset == 0 ? size : -1; });
    fuzz::walk_in_blocks(walker, volume, cut_seed, gaps);
    return files;
}

} // namespace

int fuzz::box_walker(const uint8_t *data, size_t size)
{
    BlockInput input;
    if (!split_block_input(data, size, &input))
        return 0;
    // The first byte also says whether the end of a file at offset 0 is
    // known, and which sectors cannot be read.
    const bool end_known = input.first_byte & 0x80;
    const fuzz::Gaps gaps = fuzz::Gaps::of(input);
    FUZZ_REQUIRE(walk(input.volume, 0, end_known, gaps) == walk(input.volume, input.cut_seed, end_known, gaps));
    return 0;
}

FUZZ_ENTRY_POINT(box_walker)
