// The fragment search over a small volume: a real photo cut in two at a
// sector boundary with the input between its pieces. The carver runs over the
// volume as a scan does and every candidate it leaves is resolved: the pieces
// of an assembled photo lie inside the volume, in order and apart, and are
// exactly the bytes of the photo put together; the valid leading part lies
// within the candidate.

#include "fragmentsearch.h"
#include "fuzztarget.h"
#include "jpegcarver.h"
#include "testsupport.h"


namespace {

constexpr qint64 sector = FragmentSearch::sector;
constexpr qint64 largest_gap = 64 * 1024;
constexpr int most_candidates = 3;

QByteArray encoded(bool progressive)
{
    return testsupport::qt_jpeg(testsupport::make_picture(192, 128, 7), 85, progressive);
}

const QByteArray &photo(bool progressive)
{
    static const QByteArray photos[2] = {encoded(false), encoded(true)};
    FUZZ_REQUIRE(photos[progressive].size() > 4 * sector);
    return photos[progressive];
}

QByteArray padded(QByteArray bytes)
{
    bytes.append(QByteArray((sector - bytes.size() % sector) % sector, '\0'));
    return bytes;
}

// A sector of zeros, the photo's first piece, the gap, the rest, zeros.
QByteArray volume_of(const QByteArray &jpeg, qint64 cut, const QByteArray &gap)
{
    return QByteArray(sector, '\0') + jpeg.left(cut) + padded(gap) + padded(jpeg.mid(cut)) + QByteArray(sector, '\0');
}

void require_sound(const FragmentSearch::Outcome &outcome, qint64 start, const QByteArray &candidate,
                   const QByteArray &volume)
{
    FUZZ_REQUIRE(outcome.valid_length >= 0 && outcome.valid_length <= candidate.size());
    FUZZ_REQUIRE(outcome.valid_mcu_rows >= -1);
    if (outcome.pieces.isEmpty())
        return;
    // one piece: the candidate was whole after all
    FUZZ_REQUIRE(outcome.pieces.size() <= FragmentSearch::max_pieces);
    FUZZ_REQUIRE(outcome.pieces.first().offset == start);
    QByteArray joined;
    qint64 end = -1;
    for (const VolumeExtent &piece : outcome.pieces) {
        FUZZ_REQUIRE(piece.offset % sector == 0 && piece.offset > end);
        FUZZ_REQUIRE(piece.length > 0 && piece.end() <= volume.size());
        joined += volume.mid(piece.offset, piece.length);
        end = piece.end();
    }
    FUZZ_REQUIRE(joined == outcome.stream);
}

} // namespace

int fuzz::fragment_search(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    // The first byte chooses the coding, the second where the photo is cut,
    // the rest lies between its pieces.
    const QByteArray &jpeg = photo(data[0] & 1);
    const qint64 sectors = jpeg.size() / sector;
    const qint64 cut = sector * (1 + data[1] % (sectors - 1));
    const QByteArray volume = volume_of(jpeg, cut, bytes_of(data + 2, qMin<size_t>(size - 2, largest_gap)));

    QList<QPair<qint64, QByteArray>> candidates;
    JpegCarver carver([&](const char *stream, qint64 length, qint64 offset) {
        candidates.append({offset, QByteArray(stream, length)});
    });
    carver.set_give_up_handler([&](const char *candidate, qint64 sound_length, qint64 offset, JpegCarver::GiveUp) {
        const qint64 useful = FragmentSearch::useful_length(candidate, sound_length);
        FUZZ_REQUIRE(useful >= 0 && useful <= sound_length);
        if (useful > 0)
            candidates.append({offset, volume.mid(offset, useful)});
    });
    carver.feed(volume.constData(), volume.size());
    carver.finish();

    FragmentSearch search(
        [&](qint64 offset, qint64 length) {
            FUZZ_REQUIRE(offset >= 0 && length >= 0);
            return volume.mid(offset, length);
        },
        [&](qint64 offset) {
            FUZZ_REQUIRE(offset >= 0);
            return offset;
        });
    search.set_window(256 * 1024);
    for (const auto &[start, candidate] : candidates.mid(0, most_candidates)) {
        if (candidate.size() < sector)
            continue;
        require_sound(search.resolve(start, candidate), start, candidate, volume);
    }
    return 0;
}

FUZZ_ENTRY_POINT(fragment_search)
