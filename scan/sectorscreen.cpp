#include "sectorscreen.h"

#include "jpegmarkerreader.h"
#include "jpegseamcheck.h"
#include "rowcontinuity.h"

#include <array>
#include <cstring>
#include <limits>

namespace {

qint64 ceil_sector(qint64 at)
{
    return (at + SectorScreen::sector - 1) / SectorScreen::sector * SectorScreen::sector;
}

const uchar *bytes_of(const QByteArray &data)
{
    return reinterpret_cast<const uchar *>(data.constData());
}

} // namespace

bool SectorScreen::could_be_entropy_data(const uchar *at, bool between_scans, int zero_run)
{
    qint64 end = sector;
    for (const uchar *p = at; (p = static_cast<const uchar *>(std::memchr(p, 0xFF, size_t(at + sector - 1 - p))));
         ++p) {
        const uchar next = p[1];
        if (next == 0xD9) {
            end = p - at; // the end of a photo; what follows is slack
            break;
        }
        if (next != 0x00 && !JpegMarkerReader::is_restart(next)
            && !(between_scans && JpegMarkerReader::stands_between_scans(next)))
            return false;
    }
    // Seven zero words in a row hold 56 zero bytes; Huffman-coded data of a
    // real photo has no such runs. Text has no byte at or above 0x80 in a
    // whole sector.
    // Without a zero-run rule the first high bit settles it: every clean
    // photo's sectors are screened, so the rest is not read.
    const bool zeros_count = zero_run < std::numeric_limits<int>::max();
    quint64 high_bits = 0;
    int zero_words = 0;
    for (qint64 i = 0; i + 8 <= end; i += 8) {
        quint64 word;
        std::memcpy(&word, at + i, 8);
        high_bits |= word & 0x8080808080808080ull;
        if (!zeros_count) {
            if (high_bits != 0)
                break;
            continue;
        }
        zero_words = word == 0 ? zero_words + 1 : 0;
        if (zero_words * 8 >= zero_run)
            return false;
    }
    if (end < sector / 2 || high_bits != 0)
        return true;
    if (zero_run < std::numeric_limits<int>::max())
        return false;
    // Doubting a stream that decoded cleanly: a flat picture's codes repeat
    // a few low bytes, zeros among them, while text uses many different ones.
    std::array<bool, 128> seen{};
    int distinct = 0;
    for (qint64 i = 0; i < end; ++i)
        if (!seen[at[i]]) {
            seen[at[i]] = true;
            ++distinct;
        }
    return distinct < 16;
}

// Where the first scan's header begins, found by stepping over the marker
// segments before it (their payload may hold anything, an EXIF thumbnail's
// scan among it); -1 when the stream does not get that far.
qint64 SectorScreen::first_scan_at(const QByteArray &stream, qint64 limit, uchar *frame)
{
    if (frame)
        *frame = 0;
    const qint64 end = limit < 0 ? stream.size() : qMin<qint64>(limit, stream.size());
    JpegMarkerReader markers(bytes_of(stream), end, 2);
    while (markers.next(false) == JpegMarkerReader::Read::Marker) {
        const uchar code = markers.marker().code;
        if (code == JpegMarkerReader::sos)
            return markers.marker().offset;
        if (code == JpegMarkerReader::eoi)
            return -1;
        if (frame && JpegMarkerReader::is_frame(code))
            *frame = code;
    }
    return -1;
}

int SectorScreen::scans_within(const QByteArray &stream, qint64 length)
{
    const qint64 first = first_scan_at(stream, length);
    if (first < 0)
        return 0;
    const uchar *at = bytes_of(stream);
    const qint64 end = qMin<qint64>(length, stream.size());
    int scans = 1;
    for (qint64 i = first + 2; i + 1 < end; ++i)
        if (at[i] == 0xFF && at[i + 1] == 0xDA)
            ++scans; // FF DA never stands inside entropy-coded data
    return scans;
}

qint64 SectorScreen::first_unlikely_sector(const QByteArray &stream, qint64 limit)
{
    const qint64 end = limit < 0 ? stream.size() : qMin<qint64>(limit, stream.size());
    const uchar *at = bytes_of(stream);
    const qint64 scan = first_scan_at(stream, end);
    if (scan < 0)
        return -1;
    qint64 s = ceil_sector(scan + 2);
    for (; s + sector <= end; s += sector) {
        if (!could_be_entropy_data(at + s, true, std::numeric_limits<int>::max()))
            return s;
        if (s >= sector && turns_flat_at(at + s))
            return s;
    }
    return -1;
}

// A flat picture's codes run into zero bytes gradually; a sector of zeros
// right after one of widely varying bytes, starting exactly at its boundary,
// is a gap between pieces, not the picture turning flat.
bool SectorScreen::turns_flat_at(const uchar *sector_bytes)
{
    if (sector_bytes[-1] == 0)
        return false;
    for (qint64 i = 0; i < sector; ++i)
        if (sector_bytes[i] != 0)
            return false;
    std::array<bool, 256> seen{};
    int distinct = 0;
    for (const uchar *p = sector_bytes - sector; p < sector_bytes; ++p)
        if (!seen[*p]) {
            seen[*p] = true;
            ++distinct;
        }
    return distinct >= 64;
}

bool SectorScreen::damaged_in_place(const QByteArray &stream, const JpegDecodeCheck::Result &decode)
{
    if (decode.clean || !decode.reached_frame_end || !stream.endsWith("\xFF\xD9"))
        return false;
    const qint64 scan = first_scan_at(stream);
    if (scan < 0)
        return false;
    const bool between_scans = scans_within(stream, stream.size()) > 1;
    for (qint64 s = ceil_sector(scan + 2); s + sector <= stream.size(); s += sector)
        if (!could_be_entropy_data(bytes_of(stream) + s, between_scans))
            return false;
    // Each scan of a photo of several covers the whole picture: the one that
    // another photo's data ran into ends early.
    if (between_scans)
        return !JpegSeamCheck::scan_ends_rows_early(stream, JpegDecodeCheck::working_memory);
    return turns_foreign_at(stream) < 0;
}

qint64 SectorScreen::turns_foreign_at(const QByteArray &stream)
{
    JpegEntropyWalker walker;
    if (!walker.parse_header(bytes_of(stream), stream.size()) || walker.has_later_scans())
        return -1;
    JpegEntropyWalker::State state = walker.start_state();
    qint64 fault = -1;
    if (walker.walk(state, bytes_of(stream), stream.size(), -1, &fault) != JpegEntropyWalker::Outcome::Fault)
        return -1;
    const bool at_end_marker = fault >= stream.size() - 2;
    if (at_end_marker && walker.mcu_count() - state.mcu > mcus_short_in_place) {
        if (fault % sector == 0)
            return fault; // the marker begins a sector of another file; the data before it is as sound as it looks
        const qint64 seam = first_seam_sector(walker, stream, fault);
        return seam >= 0 ? seam : fault / sector * sector;
    }
    // Another photo's data decodes for a few codes before it goes wrong;
    // so does this one's after a changed byte, which lies anywhere in a
    // sector: only a fault within about two MCUs of a boundary points to it.
    const qint64 bytes_per_mcu = (fault - walker.entropy_start()) / qMax(1, state.mcu);
    const qint64 near = qBound<qint64>(16, 2 * bytes_per_mcu, sector / 4);
    if (at_end_marker || fault <= ceil_sector(walker.entropy_start()) || fault % sector >= near)
        return -1;
    // The fault is where the MCU it stopped in begins. A marker in that MCU
    // is a changed byte of the photo's own (another photo's entropy-coded
    // data holds none but restart markers), or the restart marker that puts
    // the coding back in step, after which the data is the photo's own: out
    // of turn, it keeps the stream from decoding to its end.
    const qint64 look_to = qMin(stream.size() - 1, fault + 4 * bytes_per_mcu + 16);
    for (qint64 i = fault; i < look_to; ++i)
        if (bytes_of(stream)[i] == 0xFF && bytes_of(stream)[i + 1] != 0x00)
            return -1;
    return fault / sector * sector;
}

// The first sector boundary of the entropy-coded data before end from whose
// MCU on the next row of MCUs does not run on from the rows above it, judged
// by the DC map of one walk; -1 when every row runs on.
qint64 SectorScreen::first_seam_sector(JpegEntropyWalker &walker, const QByteArray &stream, qint64 end)
{
    std::vector<std::pair<qint64, int>> boundaries; // sector boundary, the MCU it cuts
    JpegEntropyWalker::State state = walker.start_state();
    for (qint64 s = ceil_sector(walker.entropy_start() + 1); s < end; s += sector) {
        if (walker.walk(state, bytes_of(stream), s) != JpegEntropyWalker::Outcome::NeedData || state.scan > 0)
            break;
        boundaries.emplace_back(s, state.mcu);
    }
    walker.walk(state, bytes_of(stream), end);
    const int walked = state.scan > 0 ? walker.mcu_count() : state.mcu;
    const RowContinuity::Map &map = walker.mcu_dc();
    const int wide = walker.mcus_wide();
    for (const auto &[at, mcu] : boundaries) {
        const int row_end = qMin(walker.mcu_count(), mcu + wide);
        if (row_end > walked || size_t(row_end) > map.size())
            break;
        if (!RowContinuity(map, wide, mcu, row_end).holds(map, row_end))
            return at;
    }
    return -1;
}
