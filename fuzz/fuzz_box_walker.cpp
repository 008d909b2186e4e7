// The ISO box walker over a volume made of the input: every file found lies
// in the volume at a sector boundary and starts with a box the walker looks
// for, the same files come out however the volume is cut into blocks, and
// the open candidates stay within their bound.

#include "fuzztarget.h"
#include "isoboxwalker.h"

#include <QList>

#include <zlib.h>

#include <random>
#include <tuple>

namespace {

using Files = QList<std::tuple<qint64, qint64, int>>; // offset, length, kind

Files walk(const QByteArray &volume, quint32 cut_seed, bool end_known)
{
    Files files;
    const qint64 size = volume.size();
    IsoBoxWalker walker(size, [&](const IsoBoxWalker::Found &file) {
        FUZZ_REQUIRE(file.offset >= 0 && file.offset % IsoBoxWalker::alignment == 0);
        FUZZ_REQUIRE(file.length >= 16 && file.offset + file.length <= size);
        FUZZ_REQUIRE(IsoBoxWalker::is_start(reinterpret_cast<const uchar *>(volume.constData() + file.offset),
                                            size - file.offset));
        FUZZ_REQUIRE(file.tracks >= 0 && file.tracks <= IsoBoxWalker::most_tracks);
        FUZZ_REQUIRE(!file.read_whole
                     || file.crc == crc32_z(0, reinterpret_cast<const Bytef *>(volume.constData() + file.offset),
                                            size_t(file.length)));
        files.append({file.offset, file.length, int(file.kind)});
    });
    if (end_known)
        walker.set_known_end([size](qint64 offset) { return offset == 0 ? size : -1; });
    std::minstd_rand cuts(cut_seed);
    qint64 fed = 0;
    while (fed < size) {
        const qint64 n = cut_seed == 0 ? size : qMin<qint64>(size - fed, 1 + cuts() % 1500);
        walker.feed(volume.constData() + fed, n);
        fed += n;
        FUZZ_REQUIRE(walker.position() == fed);
        FUZZ_REQUIRE(walker.open_candidates() <= IsoBoxWalker::most_candidates);
        FUZZ_REQUIRE(walker.earliest_open_start() < fed);
    }
    walker.finish();
    FUZZ_REQUIRE(walker.open_candidates() == 0);
    return files;
}

} // namespace

int fuzz::box_walker(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    // The first two bytes choose the cuts and whether the end is known, the rest is the volume.
    const quint32 cut_seed = 1 + (data[0] << 8 | data[1]);
    const bool end_known = data[0] & 0x80;
    const QByteArray volume = bytes_of(data + 2, size - 2);
    FUZZ_REQUIRE(walk(volume, 0, end_known) == walk(volume, cut_seed, end_known));
    return 0;
}

FUZZ_ENTRY_POINT(box_walker)
