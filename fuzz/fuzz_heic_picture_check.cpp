// The check of a HEIC photo's picture places over a file made of the input,
// read along pieces laid out of order on a volume with other bytes between
// them: every read stays inside the volume, the bytes read are bounded by
// the file's size, the answer is the same however the file is cut into
// pieces, and a stop asked for is never answered with a fit. A range of the
// file read at offsets and lengths from the input is its bytes there, and
// never more than the file holds.

#include "fuzztarget.h"
#include "heicitemplaces.h"
#include "heicpicturecheck.h"

#include <QtEndian>

#include <algorithm>
#include <numeric>
#include <random>

namespace {

// The file cut into pieces of 1 to 1500 bytes (one piece for seed 0), laid
// on a volume in shuffled order with a few bytes of 0xA5 before each.
struct PiecedFile
{
    QByteArray volume;
    VolumeExtents pieces;
};

PiecedFile laid_out(const QByteArray &file, quint32 cut_seed)
{
    PiecedFile laid;
    if (cut_seed == 0) {
        laid.volume = file;
        laid.pieces = {{0, file.size()}};
        return laid;
    }
    std::minstd_rand cuts(cut_seed);
    VolumeExtents in_file;
    for (qint64 at = 0; at < file.size();) {
        const qint64 n = qMin<qint64>(file.size() - at, 1 + cuts() % 1500);
        in_file.append({at, n});
        at += n;
    }
    QList<qsizetype> order(in_file.size());
    std::iota(order.begin(), order.end(), 0);
    std::shuffle(order.begin(), order.end(), cuts);
    laid.pieces.resize(in_file.size());
    for (qsizetype index : std::as_const(order)) {
        laid.volume.append(QByteArray(qsizetype(cuts() % 64), char(0xA5)));
        laid.pieces[index] = {laid.volume.size(), in_file.at(index).length};
        laid.volume.append(file.mid(in_file.at(index).offset, in_file.at(index).length));
    }
    return laid;
}

// The file along its pieces; reads that touch the volume's sector failing
// (none for -1) fail, and every read is counted in bytes_read.
ExtentReader reader_of(const PiecedFile &laid, qint64 failing, qint64 *bytes_read)
{
    return ExtentReader(laid.pieces, [&laid, failing, bytes_read](qint64 offset, char *buffer, qint64 count) -> qint64 {
        FUZZ_REQUIRE(offset >= 0 && count > 0 && count <= laid.volume.size() - offset);
        if (failing >= 0 && offset / 512 <= failing && (offset + count - 1) / 512 >= failing)
            return -1;
        std::copy_n(laid.volume.constData() + offset, count, buffer);
        *bytes_read += count;
        return count;
    });
}

struct Outcome
{
    bool fits = false;
    bool stopped = false;
};

// The check along the pieces, a stop asked for after stop_after questions
// (never for -1).
Outcome check(const PiecedFile &laid, qint64 file_size, qint64 failing, int stop_after)
{
    qint64 bytes_read = 0;
    const ExtentReader file = reader_of(laid, failing, &bytes_read);
    FUZZ_REQUIRE(file.length() == file_size);
    Outcome outcome;
    int questions = 0;
    outcome.fits = HeicPictureCheck::places_fit(file, [&] {
        outcome.stopped = outcome.stopped || (stop_after >= 0 && questions >= stop_after);
        ++questions;
        return outcome.stopped;
    });
    // the top-level box headers (8 bytes each at least), the meta box once,
    // and the NAL unit headers
    const qint64 most_read = 16 * (file_size / 8 + 1) + file_size + 6 * qint64(HeicPictureCheck::most_nal_reads);
    FUZZ_REQUIRE(bytes_read <= most_read);
    return outcome;
}

// A range read as the card's offsets and lengths may ask for it: the file's
// bytes there, none for an offset outside it, and never more than it holds.
void read_a_range(const PiecedFile &laid, const QByteArray &file, qint64 offset, qint64 length)
{
    qint64 bytes_read = 0;
    const QByteArray bytes = reader_of(laid, -1, &bytes_read).read_range(offset, length);
    const bool outside = offset < 0 || offset >= file.size() || length <= 0;
    FUZZ_REQUIRE(bytes == (outside ? QByteArray() : file.mid(offset, length)));
    FUZZ_REQUIRE(bytes_read == bytes.size());
}

} // namespace

int fuzz::heic_picture_check(const uint8_t *data, size_t size)
{
    // The first byte chooses the cut; the second asks for a sector that
    // cannot be read (bit 0x80) or a stop (bit 0x40), where or after how
    // many questions from its low bits, and for a range read (bit 0x20) at
    // the offset and length of the input's last 16 bytes; the rest is the file.
    if (size < 2)
        return 0;
    const quint32 cut_seed = data[0];
    const quint8 choice = data[1];
    const QByteArray file = bytes_of(data + 2, size - 2);
    const PiecedFile whole = laid_out(file, 0);
    const PiecedFile pieced = laid_out(file, cut_seed);
    const Outcome as_one = check(whole, file.size(), -1, -1);
    FUZZ_REQUIRE(!as_one.stopped);
    FUZZ_REQUIRE(check(pieced, file.size(), -1, -1).fits == as_one.fits);
    if (choice & 0x80) {
        const qint64 sectors = (pieced.volume.size() + 511) / 512;
        check(pieced, file.size(), sectors > 0 ? (choice & 0x1F) % sectors : -1, -1);
    }
    if (choice & 0x40) {
        const Outcome stopped = check(pieced, file.size(), -1, choice & 0x1F);
        FUZZ_REQUIRE(!stopped.stopped || !stopped.fits);
    }
    if ((choice & 0x20) && size >= 18) {
        const qint64 offset = qFromBigEndian<qint64>(data + size - 16);
        const qint64 length = qFromBigEndian<qint64>(data + size - 8);
        read_a_range(pieced, file, offset, length);
        // the same range brought inside the file, where it reads bytes
        if (!file.isEmpty())
            read_a_range(pieced, file, qint64(quint64(offset) % quint64(file.size())), length & 0xFFFF);
    }
    return 0;
}

FUZZ_ENTRY_POINT(heic_picture_check)
