#pragma once

#include "fuzztarget.h"
#include "sectorwalker.h"

#include <QByteArray>

#include <random>

// What the targets that see a volume block by block share: the input's first
// two bytes choose how the volume (the rest) is cut into blocks, and the
// part fed them keeps its position with what was fed.
namespace fuzz {

struct BlockInput
{
    quint32 cut_seed = 0; // never 0: the volume arrives in blocks of 1 to 1500 bytes
    quint8 first_byte = 0;
    quint8 second_byte = 0;
    QByteArray volume;
};

inline bool split_block_input(const uint8_t *data, size_t size, BlockInput *input)
{
    if (size < 2)
        return false;
    input->cut_seed = 1 + (data[0] << 8 | data[1]);
    input->first_byte = data[0];
    input->second_byte = data[1];
    input->volume = bytes_of(data + 2, size - 2);
    return true;
}

// Sectors that cannot be read: every period-th sector (none for period 0),
// from sector phase on.
struct Gaps
{
    qint64 period = 0;
    qint64 phase = 0;
    static constexpr qint64 sector = 512;

    bool at(qint64 offset) const { return period > 0 && (offset / sector) % period == phase; }
    // The first byte's bit 0x40 asks for gaps, its low three bits say how
    // far apart (8 to 1024 sectors), the second byte where they begin.
    static Gaps of(const BlockInput &input)
    {
        if (!(input.first_byte & 0x40))
            return {};
        const qint64 period = qint64(8) << (input.first_byte & 0x07);
        return Gaps{period, input.second_byte % period};
    }
};

// Feeds the volume whole (cut_seed 0) or in the blocks the seed chooses,
// calls after_block with the bytes fed so far after each, then finishes.
// A gap sector is never fed: the part is told it cannot be read, whole.
template <typename Part, typename AfterBlock>
void feed_in_blocks(Part &part, const QByteArray &volume, quint32 cut_seed, AfterBlock after_block, Gaps gaps = {})
{
    const qint64 size = volume.size();
    std::minstd_rand cuts(cut_seed);
    qint64 fed = 0;
    while (fed < size) {
        const qint64 n = cut_seed == 0 ? size : qMin<qint64>(size - fed, 1 + cuts() % 1500);
        const qint64 end = fed + n;
        while (fed < end) {
            if (gaps.at(fed)) {
                const qint64 gap = qMin(size, (fed / Gaps::sector + 1) * Gaps::sector) - fed;
                if constexpr (requires { part.skip_unreadable(gap); })
                    part.skip_unreadable(gap);
                fed += gap;
                continue;
            }
            qint64 until = end;
            if (gaps.period > 0) {
                for (qint64 sector = (fed / Gaps::sector + 1) * Gaps::sector; sector < end; sector += Gaps::sector) {
                    if (gaps.at(sector)) {
                        until = sector;
                        break;
                    }
                }
            }
            part.feed(volume.constData() + fed, until - fed);
            fed = until;
        }
        FUZZ_REQUIRE(part.position() == fed);
        after_block(fed);
    }
    part.finish();
}

// A walker keeps its open candidates within bounds and behind what was fed,
// and closes them all at the volume's end.
template <typename Walker>
void walk_in_blocks(Walker &walker, const QByteArray &volume, quint32 cut_seed, Gaps gaps = {})
{
    feed_in_blocks(
        walker, volume, cut_seed,
        [&walker](qint64 fed) {
            FUZZ_REQUIRE(walker.open_candidates() <= Walker::most_candidates);
            FUZZ_REQUIRE(walker.earliest_open_start() < fed);
        },
        gaps);
    FUZZ_REQUIRE(walker.open_candidates() == 0);
    FUZZ_REQUIRE(walker.earliest_open_start() == -1);
}

// A file's bytes as it is written: its holes as zeros. Each hole lies
// inside the file and on gap sectors.
inline QByteArray with_holes_zeroed(const QByteArray &volume, const WalkedFile &file, Gaps gaps)
{
    QByteArray bytes = volume.mid(file.offset, file.length);
    for (const VolumeExtent &hole : file.unreadable) {
        FUZZ_REQUIRE(hole.offset > file.offset && hole.length > 0 && hole.end() <= file.offset + file.length);
        FUZZ_REQUIRE(hole.offset % Gaps::sector == 0 && gaps.at(hole.offset) && gaps.at(hole.end() - 1));
        bytes.replace(hole.offset - file.offset, hole.length, QByteArray(hole.length, '\0'));
    }
    return bytes;
}

} // namespace fuzz
