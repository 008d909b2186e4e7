#pragma once

#include "fuzztarget.h"

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
    QByteArray volume;
};

inline bool split_block_input(const uint8_t *data, size_t size, BlockInput *input)
{
    if (size < 2)
        return false;
    input->cut_seed = 1 + (data[0] << 8 | data[1]);
    input->first_byte = data[0];
    input->volume = bytes_of(data + 2, size - 2);
    return true;
}

// Feeds the volume whole (cut_seed 0) or in the blocks the seed chooses,
// calls after_block with the bytes fed so far after each, then finishes.
template <typename Part, typename AfterBlock>
void feed_in_blocks(Part &part, const QByteArray &volume, quint32 cut_seed, AfterBlock after_block)
{
    const qint64 size = volume.size();
    std::minstd_rand cuts(cut_seed);
    qint64 fed = 0;
    while (fed < size) {
        const qint64 n = cut_seed == 0 ? size : qMin<qint64>(size - fed, 1 + cuts() % 1500);
        part.feed(volume.constData() + fed, n);
        fed += n;
        FUZZ_REQUIRE(part.position() == fed);
        after_block(fed);
    }
    part.finish();
}

// A walker keeps its open candidates within bounds and behind what was fed,
// and closes them all at the volume's end.
template <typename Walker>
void walk_in_blocks(Walker &walker, const QByteArray &volume, quint32 cut_seed)
{
    feed_in_blocks(walker, volume, cut_seed, [&walker](qint64 fed) {
        FUZZ_REQUIRE(walker.open_candidates() <= Walker::most_candidates);
        FUZZ_REQUIRE(walker.earliest_open_start() < fed);
    });
    FUZZ_REQUIRE(walker.open_candidates() == 0);
    FUZZ_REQUIRE(walker.earliest_open_start() == -1);
}

} // namespace fuzz
