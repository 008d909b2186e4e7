#include "fragmentsearch.h"

#include "jpegframelimits.h"
#include "jpegmarkerreader.h"
#include "jpegseamcheck.h"

#include <algorithm>
#include <cstdlib>
#include <array>
#include <cstring>
#include <limits>

namespace {

qint64 floor_sector(qint64 at)
{
    return at / FragmentSearch::sector * FragmentSearch::sector;
}

qint64 ceil_sector(qint64 at)
{
    return floor_sector(at + FragmentSearch::sector - 1);
}

const uchar *bytes_of(const QByteArray &data)
{
    return reinterpret_cast<const uchar *>(data.constData());
}

} // namespace

FragmentSearch::FragmentSearch(Reader reader, Occupied occupied, Stopped stopped)
    : read(std::move(reader))
    , occupied(std::move(occupied))
    , stopped(std::move(stopped))
{
    walker.set_interrupt([this] { return out_of_time(); });
}

bool FragmentSearch::could_be_photo(const QByteArray &candidate)
{
    return JpegFrameLimits::could_hold(JpegFrameLimits::read(candidate), candidate.size() + default_window);
}

bool FragmentSearch::could_be_entropy_data(const uchar *at, bool between_scans, int zero_run)
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
    quint64 high_bits = 0;
    int zero_words = 0;
    for (qint64 i = 0; i + 8 <= end; i += 8) {
        quint64 word;
        std::memcpy(&word, at + i, 8);
        high_bits |= word & 0x8080808080808080ull;
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
qint64 FragmentSearch::first_scan_at(const QByteArray &stream, qint64 limit, uchar *frame)
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

int FragmentSearch::scans_within(const QByteArray &stream, qint64 length)
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

qint64 FragmentSearch::first_unlikely_sector(const QByteArray &stream, qint64 limit)
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
bool FragmentSearch::turns_flat_at(const uchar *sector_bytes)
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

bool FragmentSearch::damaged_in_place(const QByteArray &stream, const JpegDecodeCheck::Result &decode)
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
    return true;
}

qint64 FragmentSearch::useful_length(const char *candidate, qint64 length, const Stopped &stopped)
{
    const auto *bytes = reinterpret_cast<const uchar *>(candidate);
    if (!JpegFrameLimits::could_hold(JpegFrameLimits::read(bytes, length), length + default_window))
        return 0; // a frame no camera makes, or more than its bytes could code
    JpegEntropyWalker walker;
    walker.set_interrupt(stopped);
    if (walker.parse_header(bytes, length)) {
        // A piece ends before the first sector no entropy-coded data could
        // fill: zeros or text behind a header are not walked.
        qint64 end = ceil_sector(walker.entropy_start());
        while (end + sector <= length && could_be_entropy_data(bytes + end, walker.has_later_scans()))
            end += sector;
        end = qMin(end + sector, length);
        JpegEntropyWalker::State state = walker.start_state();
        qint64 fault = end;
        if (walker.walk(state, bytes, end, -1, &fault) == JpegEntropyWalker::Outcome::Interrupted)
            fault = state.pos;
        return qMin(end, ceil_sector(fault) + sector);
    }
    // A progressive photo: its first scan must have begun.
    const QByteArray head = QByteArray::fromRawData(candidate, qMin<qint64>(length, 1024 * 1024));
    uchar frame = 0;
    if (first_scan_at(head, head.size(), &frame) > 0 && frame == 0xC2)
        return qMin<qint64>(length, progressive_limit);
    return 0;
}

// Every try reads from a few MiB of the window; each MiB is read from the
// volume once per candidate while it stays among the most recent.
QByteArray FragmentSearch::read_volume(qint64 offset, qint64 length)
{
    QByteArray bytes;
    for (qint64 at = offset; at < offset + length;) {
        const qint64 first = at / cache_chunk * cache_chunk;
        auto hit = std::find_if(cache.begin(), cache.end(), [first](const Chunk &c) { return c.offset == first; });
        if (hit == cache.end()) {
            if (cache.size() >= cache_chunks)
                cache.erase(cache.begin());
            cache.push_back({first, read(first, cache_chunk)});
            hit = cache.end() - 1;
        } else {
            std::rotate(hit, hit + 1, cache.end()); // most recent last
            hit = cache.end() - 1;
        }
        const qint64 from = at - first;
        const qint64 take = qMin(offset + length - at, qint64(hit->bytes.size()) - from);
        if (take <= 0)
            break; // the end of the volume
        bytes.append(hit->bytes.constData() + from, take);
        at += take;
    }
    return bytes;
}

FragmentSearch::Outcome FragmentSearch::resolve(qint64 start, const QByteArray &candidate)
{
    work = 0;
    unprovable = false;
    joins.clear();
    walked_before = walker.mcus_walked();
    second_pieces = 0;
    cache.clear();
    Outcome outcome;
    if (!could_be_photo(candidate))
        return outcome;
    if (!walker.parse_header(bytes_of(candidate), candidate.size())) {
        uchar frame = 0;
        if (first_scan_at(candidate, -1, &frame) > 0 && frame == 0xC2)
            return resolve_progressive(start, candidate);
        return outcome;
    }
    outcome.valid_mcu_rows = 0;
    window_end = start + candidate.size() + window;
    first_break = -1;
    first_break_rows = 0;
    // Fewer pieces first: a photo in two pieces is never taken for one in
    // three. A whole one comes out of the first pass whatever its limit, so
    // with the search on the candidate is not walked for one piece alone.
    for (piece_limit = search_enabled ? 2 : 1; piece_limit <= max_pieces && !out_of_time();
         ++piece_limit) {
        if (assemble(candidate, {{start, candidate.size()}}, 0, walker.start_state(), &outcome)) {
            cache.clear();
            return outcome;
        }
        if (!search_enabled || first_break < 0)
            break;
    }
    cache.clear();
    outcome.pieces.clear();
    outcome.stream.clear();
    if (first_break >= 0) {
        outcome.valid_length = first_break;
        outcome.valid_mcu_rows = first_break_rows;
    }
    return outcome;
}

// Walks the stream on from state; where it goes wrong, tries each place the
// photo may go on, and walks on from there in turn. A join that leads nowhere
// is undone.
bool FragmentSearch::assemble(QByteArray stream, VolumeExtents pieces, qint64 piece_start,
                              JpegEntropyWalker::State state, Outcome *outcome)
{
    const JpegEntropyWalker::State joined_at = state;
    qint64 fault = -1;
    JpegEntropyWalker::Outcome walked;
    for (;;) {
        walked = walker.walk(state, bytes_of(stream), stream.size(), -1, &fault);
        if (walked == JpegEntropyWalker::Outcome::Interrupted)
            return false;
        if (walked != JpegEntropyWalker::Outcome::NeedData || pieces.size() == 1)
            break;
        // A continuation is read as far as it goes on decoding.
        const qint64 next = pieces.last().offset + (stream.size() - piece_start);
        const qint64 more = qMin<qint64>(qMax<qint64>(stream.size() - piece_start, continuation_step), window_end - next);
        const QByteArray bytes = more > 0 ? read_volume(next, more) : QByteArray();
        if (bytes.isEmpty())
            break;
        stream.append(bytes);
    }
    // Sectors no entropy-coded data could fill (zeros, text) decode without
    // a fault all the same: the piece ends before the first of them.
    const qint64 walked_to = walked == JpegEntropyWalker::Outcome::Fault  ? fault
        : walked == JpegEntropyWalker::Outcome::NeedData                   ? stream.size()
                                                                           : state.pos - 2; // before FF D9
    const qint64 foreign = first_foreign_sector(stream, qMax(piece_start, ceil_sector(walker.entropy_start())),
                                                walked_to, pieces.last().offset - piece_start,
                                                walker.has_later_scans());
    if (foreign >= 0) {
        walked = JpegEntropyWalker::Outcome::Fault;
        fault = foreign;
    }
    if (walked == JpegEntropyWalker::Outcome::Finished) {
        if (pieces.size() > 1 && proves_little(joined_at, state.pos - piece_start))
            return false; // any data of the right kind would have done: the top part is what is sure
        if (pieces.size() > 1 && !seams_hold(stream.left(state.pos)))
            return false;
        pieces.last().length = state.pos - piece_start;
        if (pieces.size() == 1) {
            outcome->valid_length = state.pos;
            outcome->valid_mcu_rows = walker.mcu_count() / qMax(1, walker.mcus_wide());
        }
        outcome->pieces = pieces;
        outcome->stream = stream.left(state.pos);
        return true;
    }
    if (walked == JpegEntropyWalker::Outcome::NeedData)
        fault = stream.size();

    const QList<Break> breaks = break_candidates_of(stream, piece_start, fault, state.last_restart_end);
    if (breaks.isEmpty())
        return false;
    if (first_break < 0) {
        first_break = breaks.first().at;
        const JpegEntropyWalker::State &cut = breaks.first().state;
        first_break_rows = cut.scan > 0 ? walker.mcu_count() / qMax(1, walker.mcus_wide())
                                        : cut.mcu / qMax(1, walker.mcus_wide());
    }
    if (!search_enabled || pieces.size() >= piece_limit)
        return false;
    if (pieces.size() > 1 && ++second_pieces > second_pieces_followed)
        return false; // a third piece behind yet another second one is not worth the trials
    // What is left of the photo after the break would prove too little to
    // offer it whole: the search cannot gain anything over its top part.
    const Break &last = breaks.last();
    const bool in_last_scan = last.state.scan == 0 && !walker.has_later_scans();
    if (in_last_scan
        && proves_little(last.state, bytes_per_mcu(last) * (walker.mcu_count(last.state) - last.state.mcu)))
        return false;

    const std::vector<JpegEntropyWalker::McuDc> dc_before = prefix_dc;
    const qint64 volume_of_stream = pieces.last().offset - piece_start;
    // The next piece begins after the gap, so after the last sector that may
    // still be this piece's own.
    const qint64 search_from = volume_of_stream + breaks.first().at + sector;
    // Of the joins that lead to a whole photo, the last one that starts inside
    // the first one's piece wins: a piece that begins in another photo's data
    // can fall into step with the right data further on, while the right
    // piece holds no such detour.
    bool found = false;
    qint64 found_piece_end = 0;
    const int piece = int(pieces.size());
    Outcome best;
    const int joins_cap = pieces.size() > 1 ? joins_followed_deeper : joins_followed;
    for_each_continuation(stream, breaks, volume_of_stream, search_from, joins_cap, [&](const Break &at, qint64 c) {
        if (found && c >= found_piece_end)
            return true;
        VolumeExtents joined = pieces;
        joined.last().length = at.at - piece_start;
        joined.append({c, 0});
        // As much as the rest of the photo needs, going by its bytes so far;
        // assemble reads on when it needs more.
        const qint64 rest = bytes_per_mcu(at) * qMax(1, walker.mcu_count(at.state) - at.state.mcu) * 2;
        QByteArray next = stream.left(at.at);
        next.append(read_volume(c, qMin(qBound<qint64>(continuation_step, rest, 1024 * 1024), window_end - c)));
        // Following a join copies and checks the whole stream so far.
        if (charge(next.size() / 64))
            return true;
        Outcome trial_outcome;
        joins.push_back(at.state);
        const bool assembled = assemble(next, joined, at.at, at.state, &trial_outcome);
        joins.pop_back();
        if (assembled) {
            found = true;
            best = trial_outcome;
            found_piece_end = best.pieces.at(piece).end();
        }
        prefix_dc = dc_before;
        return false;
    });
    if (found)
        *outcome = best;
    return found;
}

qint64 FragmentSearch::first_foreign_sector(const QByteArray &stream, qint64 from, qint64 to,
                                            qint64 volume_of_stream, bool between_scans) const
{
    for (qint64 s = ceil_sector(from); s + sector <= stream.size() && s < to; s += sector)
        if (!could_be_entropy_data(bytes_of(stream) + s, between_scans)
            || occupied(volume_of_stream + s) > volume_of_stream + s)
            return s;
    return -1;
}

// Each scan of a progressive photo covers the whole picture, so the walker
// cannot follow one; libjpeg reads its coefficients instead. A join holds
// only when the photo then reads to its end-of-image marker with no fault
// and every scan of its progression in place: each scan's data must end
// exactly where the next marker stands, which data joined at the wrong
// place almost never does.
FragmentSearch::Outcome FragmentSearch::resolve_progressive(qint64 start, const QByteArray &candidate)
{
    Outcome outcome; // valid_mcu_rows stays -1: the decoder judges a leading part
    if (!search_enabled)
        return outcome;
    const qint64 scan = first_scan_at(candidate);
    window_end = start + candidate.size() + window;
    entropy_from = ceil_sector(scan + 2);
    // Fewer pieces first: a photo in two pieces is never taken for one in three.
    bool assembled = false;
    const JpegDecodeCheck::Coefficients read =
        JpegDecodeCheck::read_coefficients(candidate, [this] { return stopped && stopped(); });
    if (read.over_budget || read.interrupted)
        return outcome; // every trial would need as much: none can be judged
    // Damage inside the first sector of scan data is no break between pieces:
    // a file system cuts a photo at a cluster boundary, after its headers.
    if (!read.clean && !read.ran_out && read.fault_position < entropy_from + sector)
        return outcome;
    // The decoder read past the end-of-image marker the carver stopped at:
    // a segment length or table between the scans is damaged, and no other
    // piece can mend that.
    if (read.ran_out && candidate.endsWith("\xFF\xD9"))
        return outcome;
    for (piece_limit = 2; !assembled && piece_limit <= max_pieces && !out_of_time(); ++piece_limit)
        assembled = assemble_progressive(candidate, read, {{start, candidate.size()}}, 0, &outcome);
    if (!assembled) {
        outcome.pieces.clear();
        outcome.stream.clear();
    }
    cache.clear();
    return outcome;
}

bool FragmentSearch::assemble_progressive(const QByteArray &stream, const JpegDecodeCheck::Coefficients &read,
                                          VolumeExtents pieces, qint64 piece_start, Outcome *outcome)
{
    const qint64 volume_of_stream = pieces.last().offset - piece_start;
    const qint64 end = read.clean ? read.end_position : read.fault_position;
    if (read.clean && read.complete && first_foreign_sector(stream, qMax(piece_start, entropy_from), end,
                                                            volume_of_stream, true) < 0) {
        if (pieces.size() == 1)
            return false; // nothing wrong with it
        if (end - piece_start < smallest_proof)
            return false; // a few bytes of refinement read cleanly almost anywhere
        pieces.last().length = end - piece_start;
        outcome->pieces = pieces;
        outcome->stream = stream.left(end);
        return true;
    }
    if (int(pieces.size()) >= piece_limit || out_of_time())
        return false;
    if (pieces.size() > 1 && ++second_pieces > second_pieces_followed)
        return false; // a third piece behind yet another second one is not worth the trials
    // Bytes that ran out end the piece where they end.
    const QList<qint64> breaks = progressive_breaks(stream, piece_start, read.ran_out ? stream.size() : end,
                                                    volume_of_stream);
    if (breaks.isEmpty())
        return false;

    int plausible = 0;
    int trials = 0;
    for (qint64 c = volume_of_stream + breaks.first() + sector; c < window_end; c += sector) {
        const qint64 free_from = occupied(c);
        if (free_from > c) {
            c = ceil_sector(free_from) - sector;
            continue;
        }
        const QByteArray here = read_volume(c, sector);
        if (here.size() < sector)
            return false;
        if (!could_be_entropy_data(bytes_of(here), true))
            continue;
        if (++plausible > (near_only ? plausible_sectors_progressive / 4 : plausible_sectors_progressive))
            return false;
        for (const qint64 b : breaks) {
            if (out_of_time() || ++trials > progressive_trials)
                return false;
            if (c <= volume_of_stream + b)
                continue; // a piece follows the one before it, never itself
            // The continuation is read as far as the photo goes on decoding.
            QByteArray joined;
            JpegDecodeCheck::Coefficients trial;
            // Each trial ends at its first fault, so a short read that runs
            // out costs little more than the photo's first piece.
            for (qint64 more = qMin<qint64>(window_end - c, continuation_step);; more *= 2) {
                more = qMin(more, window_end - c);
                joined = stream.left(b);
                joined.append(read_volume(c, more));
                if (charge(joined.size() / 256))
                    return false;
                trial = JpegDecodeCheck::read_coefficients(joined, [this] { return charge(decoder_row_work); },
                                                           JpegDecodeCheck::memory_budget, true);
                if (!trial.ran_out || more >= window_end - c)
                    break;
            }
            const qint64 reached = trial.clean ? trial.end_position : trial.fault_position;
            const bool whole = trial.clean && trial.complete;
            const bool last_piece = int(pieces.size()) + 1 >= piece_limit;
            if (!whole && (last_piece || reached - b < progressive_run))
                continue;
            VolumeExtents joined_pieces = pieces;
            joined_pieces.last().length = b - piece_start;
            joined_pieces.append({c, joined.size() - b});
            if (assemble_progressive(joined, trial, joined_pieces, b, outcome))
                return true;
        }
    }
    return false;
}

// Where a progressive piece may end: at the first sector no scan data could
// fill or that something else holds, when there is one before the fault;
// otherwise on one of the sector boundaries shortly before the fault.
QList<qint64> FragmentSearch::progressive_breaks(const QByteArray &stream, qint64 piece_start, qint64 fault,
                                                 qint64 volume_of_stream) const
{
    const qint64 lowest = qMax(piece_start + sector, entropy_from);
    const qint64 foreign = first_foreign_sector(stream, lowest, fault, volume_of_stream, true);
    if (foreign >= 0)
        return {foreign};
    QList<qint64> breaks;
    const qint64 top = floor_sector(qMin<qint64>(fault, stream.size()));
    // Latest first: the damage begins at or shortly before the fault.
    for (qint64 b = top; b >= lowest && breaks.size() < progressive_break_candidates; b -= sector)
        breaks.append(b);
    return breaks;
}

QList<FragmentSearch::Break> FragmentSearch::break_candidates_of(const QByteArray &stream, qint64 piece_start,
                                                                 qint64 fault, qint64 sound)
{
    QList<Break> breaks;
    const qint64 lowest = qMax(piece_start + sector, ceil_sector(walker.entropy_start()));
    const qint64 top = floor_sector(qMin<qint64>(fault, stream.size()));
    if (top < lowest)
        return breaks;
    // Data up to a restart marker met in sequence is sound: the break lies after it.
    qint64 bottom = qMax(lowest, top - (break_candidates - 1) * sector);
    if (sound > 0)
        bottom = qMax(bottom, ceil_sector(sound));

    JpegEntropyWalker::State state = walker.start_state();
    for (qint64 b = qMax<qint64>(bottom, sector); b <= top; b += sector) {
        const JpegEntropyWalker::Outcome walked = walker.walk(state, bytes_of(stream), b);
        if (walked != JpegEntropyWalker::Outcome::NeedData)
            break;
        breaks.prepend({b, state});
    }
    prefix_dc = walker.mcu_dc();
    return breaks;
}

// A last piece that covers less than two rows of MCUs, or a few sectors,
// passes the join's tests with another photo's data about as easily as with
// its own: foreign data decodes for a while, and two rows of a dark or flat
// bottom edge show no seam.
bool FragmentSearch::proves_little(const JpegEntropyWalker::State &joined_at, qint64 piece_length) const
{
    if (piece_length < smallest_proof)
        return true;
    const bool in_last_scan = joined_at.scan == 0 ? !walker.has_later_scans() : false;
    return in_last_scan && walker.mcu_count(joined_at) - joined_at.mcu < 2 * walker.mcus_wide(joined_at);
}

// A photo that decodes to its end may still hold another photo's data from
// a join on: its pixels must run on across every join. Joins in a scan of
// only some components are judged by their decoding alone. A join where the
// picture is too flat to tell ends the search: any data of the same shade
// would pass there, so only the top part is sure.
bool FragmentSearch::seams_hold(const QByteArray &stream)
{
    if (walker.has_later_scans())
        return true;
    QList<int> mcus;
    for (const JpegEntropyWalker::State &join : joins)
        if (join.scan == 0)
            mcus.append(join.mcu);
    if (mcus.isEmpty() || charge(stream.size() / 64))
        return false;
    switch (JpegSeamCheck::judge(stream, mcus, JpegDecodeCheck::working_memory)) {
    case JpegSeamCheck::Verdict::Continuous:
        return true;
    case JpegSeamCheck::Verdict::Weak:
        unprovable = true;
        return false;
    case JpegSeamCheck::Verdict::Broken:
        return false;
    }
    return false;
}

qint64 FragmentSearch::bytes_per_mcu(const Break &at) const
{
    return qMax<qint64>(1, (at.at - walker.entropy_start()) / qMax(1, at.state.mcu));
}

bool FragmentSearch::for_each_continuation(const QByteArray &stream, const QList<Break> &breaks,
                                           qint64 volume_of_stream, qint64 search_from, int joins_cap,
                                           const std::function<bool(const Break &, qint64)> &try_joined)
{
    qint64 need = 4096;
    for (const Break &at : breaks)
        need = qMax(need, bytes_per_mcu(at) * walker.mcus_wide() * (rows_past_join + 2) * 2 + 4096);
    need = qMin<qint64>(need, 4 * 1024 * 1024);
    const qint64 chunk = 4 * 1024 * 1024;

    int plausible = 0;
    int passed = 0;
    for (qint64 c0 = search_from; c0 < window_end; c0 += chunk) {
        const QByteArray data = read_volume(c0, qMin(chunk, window_end - c0) + need);
        if (data.size() < sector)
            return false;
        const qint64 usable = qMin<qint64>(chunk, data.size());
        for (qint64 off = 0; off + sector <= usable; off += sector) {
            if (out_of_time())
                return false;
            const qint64 c = c0 + off;
            const qint64 free_from = occupied(c);
            if (free_from > c) {
                off = ceil_sector(free_from) - c0 - sector;
                continue;
            }
            const uchar *here = bytes_of(data) + off;
            if (!could_be_entropy_data(here))
                continue;
            if (++plausible > (near_only                     ? plausible_sectors_near
                               : joins_cap < joins_followed ? plausible_sectors_deeper
                                                            : plausible_sectors))
                return false;
            for (const Break &at : breaks) {
                if (c <= volume_of_stream + at.at)
                    continue; // a piece follows the one before it, never itself
                if (!join_holds(stream, at, here, qMin<qint64>(data.size() - off, need)))
                    continue;
                if (try_joined(at, c))
                    return true;
                // Joins that pass here and lead nowhere mean the join test
                // tells this photo's data from others' too poorly for more
                // trials to pay.
                if (++passed >= joins_cap)
                    return false;
                if (out_of_time())
                    return false;
            }
        }
    }
    return false;
}

bool FragmentSearch::join_holds(const QByteArray &stream, const Break &at, const uchar *more, qint64 more_length)
{
    if (charge((at.at - at.state.pos + more_length) / 256))
        return false;
    trial.resize(0);
    trial.append(stream.constData() + at.state.pos, at.at - at.state.pos);
    trial.append(reinterpret_cast<const char *>(more), more_length);
    JpegEntropyWalker::State state = at.state;
    state.pos = 0;
    const int wide = qMax(1, walker.mcus_wide(at.state));
    const int target = qMin(walker.mcu_count(at.state), (at.state.mcu / wide + 1 + rows_past_join) * wide);
    const JpegEntropyWalker::Outcome walked = walker.walk(state, bytes_of(trial), trial.size(), target);
    if (walked == JpegEntropyWalker::Outcome::Fault || walked == JpegEntropyWalker::Outcome::Interrupted)
        return false;
    if (walked == JpegEntropyWalker::Outcome::NeedData && state.scan == at.state.scan && state.mcu < target)
        return false;
    // The DC map follows the first scan only.
    return at.state.scan > 0 || continuous_across(at.state.mcu, state.scan > 0 ? walker.mcu_count() : state.mcu);
}

// Neighbouring rows of a photo differ about as much after the join as before
// it, in brightness and in colour; data decoded from the wrong place jumps.
bool FragmentSearch::continuous_across(int join_mcu, int end_mcu) const
{
    const int wide = qMax(1, walker.mcus_wide());
    const std::vector<JpegEntropyWalker::McuDc> &dc = walker.mcu_dc();
    // Beyond the MCUs the map notes, joins are judged by their decoding alone.
    if (size_t(qMin(end_mcu, join_mcu + wide)) > dc.size() || size_t(join_mcu) > prefix_dc.size())
        return true;
    // Trials overwrite the walker's map from their join on; before it the
    // map of the walk that found the breaks holds.
    const auto at = [&](int i) { return i < join_mcu ? prefix_dc[size_t(i)] : dc[size_t(i)]; };
    const auto vertical_step = [&](int from, int to) {
        qint64 sum = 0;
        int count = 0;
        for (int i = qMax(from, wide); i < to; ++i) {
            const JpegEntropyWalker::McuDc here = at(i);
            const JpegEntropyWalker::McuDc above = at(i - wide);
            sum += std::abs(here[0] - above[0]) + std::abs(here[1] - above[1]) + std::abs(here[2] - above[2]);
            ++count;
        }
        return count > 0 ? double(sum) / count : -1.0;
    };
    // One row of MCUs from the join on: further down the photo may have
    // edges of its own.
    const double before = vertical_step(qMax(0, join_mcu - 4 * wide), join_mcu);
    const double after = vertical_step(join_mcu, qMin(end_mcu, join_mcu + wide));
    if (before < 0 || after < 0)
        return true;
    return after <= 3.0 * before + 4.0;
}
