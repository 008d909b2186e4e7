// The carver over a volume made of the input: every stream found lies in the
// volume at a sector boundary, is the volume's own bytes from FF D8 to FF D9,
// and the same streams come out however the volume is cut into blocks.

#include "blockfeed.h"
#include "jpegcarver.h"

#include <QList>

#include <cstring>

namespace {

struct Carved
{
    QList<QPair<qint64, qint64>> streams; // offset, length
    QList<QPair<qint64, qint64>> given_up; // offset, sound length
};

Carved carve(const QByteArray &volume, quint32 cut_seed)
{
    Carved carved;
    const qint64 size = volume.size();
    JpegCarver carver([&](const char *stream, qint64 length, qint64 offset) {
        FUZZ_REQUIRE(offset >= 0 && offset % JpegCarver::alignment == 0);
        FUZZ_REQUIRE(length >= 4 && offset + length <= size);
        FUZZ_REQUIRE(std::memcmp(stream, volume.constData() + offset, size_t(length)) == 0);
        FUZZ_REQUIRE(uchar(stream[0]) == 0xFF && uchar(stream[1]) == 0xD8);
        FUZZ_REQUIRE(uchar(stream[length - 2]) == 0xFF && uchar(stream[length - 1]) == 0xD9);
        carved.streams.append({offset, length});
    });
    carver.set_give_up_handler([&](const char *candidate, qint64 sound_length, qint64 offset, JpegCarver::GiveUp) {
        FUZZ_REQUIRE(offset >= 0 && offset % JpegCarver::alignment == 0);
        FUZZ_REQUIRE(sound_length >= 0 && offset + sound_length <= size);
        FUZZ_REQUIRE(std::memcmp(candidate, volume.constData() + offset, size_t(sound_length)) == 0);
        carved.given_up.append({offset, sound_length});
    });
    fuzz::feed_in_blocks(carver, volume, cut_seed, [&carver](qint64 fed) {
        FUZZ_REQUIRE(carver.buffered() >= 0 && carver.buffered() <= fed);
    });
    return carved;
}

} // namespace

int fuzz::carver(const uint8_t *data, size_t size)
{
    BlockInput input;
    if (!split_block_input(data, size, &input))
        return 0;
    const Carved whole = carve(input.volume, 0);
    const Carved cut = carve(input.volume, input.cut_seed);
    FUZZ_REQUIRE(whole.streams == cut.streams);
    return 0;
}

FUZZ_ENTRY_POINT(carver)
