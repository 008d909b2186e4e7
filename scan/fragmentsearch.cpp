#include "fragmentsearch.h"

#include "jpegframelimits.h"
#include "jpegseamcheck.h"
#include "progressivefragmentsearch.h"

#include <algorithm>

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
    : cache(std::move(reader))
    , occupied(std::move(occupied))
    , stopped(std::move(stopped))
{
    walker.set_interrupt([this] { return out_of_time(); });
}

bool FragmentSearch::could_be_photo(const QByteArray &candidate)
{
    return JpegFrameLimits::could_hold(JpegFrameLimits::read(candidate), candidate.size() + default_window);
}

FragmentSearch::Outcome FragmentSearch::resolve(qint64 start, const QByteArray &candidate)
{
    work = 0;
    unprovable = false;
    first_piece_joins_known = false;
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
            return ProgressiveFragmentSearch(*this).resolve(start, candidate);
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
    std::vector<JpegEntropyWalker::State> noted;
    for (;;) {
        walked = walk_noting_states(state, stream, &fault, &noted);
        if (walked == JpegEntropyWalker::Outcome::Interrupted)
            return false;
        if (walked != JpegEntropyWalker::Outcome::NeedData || pieces.size() == 1)
            break;
        // A continuation is read as far as it goes on decoding.
        const qint64 next = pieces.last().offset + (stream.size() - piece_start);
        const qint64 more = qMin<qint64>(qMax<qint64>(stream.size() - piece_start, continuation_step), window_end - next);
        const QByteArray bytes = more > 0 ? cache.read(next, more) : QByteArray();
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
    // Data that meets the end-of-image marker well short of its frame's end
    // turned into another photo's data somewhere before: where its rows stop
    // running on.
    if (pieces.size() == 1 && walked == JpegEntropyWalker::Outcome::Fault && fault >= stream.size() - 2
        && walker.mcu_count() - state.mcu > SectorScreen::mcus_short_in_place) {
        const qint64 turn = SectorScreen::turns_foreign_at(stream);
        if (turn >= 0 && turn < fault && turn >= state.last_restart_end)
            fault = turn; // restart markers met in sequence vouch for the data before them
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

    const QList<Break> breaks = break_candidates_of(stream, piece_start, fault, state.last_restart_end, joined_at,
                                                    noted);
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
    const auto try_joined = [&](const Break &at, qint64 c) {
        if (found && c >= found_piece_end)
            return true;
        VolumeExtents joined = pieces;
        joined.last().length = at.at - piece_start;
        joined.append({c, 0});
        // As much as the rest of the photo needs, going by its bytes so far;
        // assemble reads on when it needs more.
        const qint64 rest = bytes_per_mcu(at) * qMax(1, walker.mcu_count(at.state) - at.state.mcu) * 2;
        QByteArray next = stream.left(at.at);
        next.append(cache.read(c, qMin(qBound<qint64>(continuation_step, rest, 1024 * 1024), window_end - c)));
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
    };
    // The first piece's joins that passed in the search for two pieces are
    // the same in the search for three: only they are followed again.
    if (pieces.size() == 1 && first_piece_joins_known) {
        int passed = 0;
        for (const auto &[index, c] : first_piece_joins)
            if (out_of_time() || try_joined(breaks.at(index), c) || ++passed >= joins_cap)
                break;
    } else {
        std::vector<std::pair<int, qint64>> *record = pieces.size() == 1 ? &first_piece_joins : nullptr;
        if (record)
            record->clear();
        for_each_continuation(stream, breaks, volume_of_stream, search_from, joins_cap, try_joined, record);
        if (record)
            first_piece_joins_known = !out_of_time();
    }
    if (found)
        *outcome = best;
    return found;
}

qint64 FragmentSearch::first_foreign_sector(const QByteArray &stream, qint64 from, qint64 to,
                                            qint64 volume_of_stream, bool between_scans) const
{
    for (qint64 s = ceil_sector(from); s + sector <= stream.size() && s < to; s += sector)
        if (!SectorScreen::could_be_entropy_data(bytes_of(stream) + s, between_scans)
            || occupied(volume_of_stream + s) > volume_of_stream + s)
            return s;
    return -1;
}

// Walks the stream on from state, noting where it stands every few MCUs:
// the breaks are then found by walking on from the last of these before
// them rather than from the piece's start.
JpegEntropyWalker::Outcome FragmentSearch::walk_noting_states(JpegEntropyWalker::State &state,
                                                              const QByteArray &stream, qint64 *fault,
                                                              std::vector<JpegEntropyWalker::State> *noted)
{
    for (int steps = 1;; ++steps) {
        if (steps % (JpegEntropyWalker::interrupt_every / mcus_between_notes) == 0 && out_of_time())
            return JpegEntropyWalker::Outcome::Interrupted;
        noted->push_back(state);
        const int scan = state.scan;
        const int limit = state.mcu + mcus_between_notes;
        const JpegEntropyWalker::Outcome walked = walker.walk(state, bytes_of(stream), stream.size(), limit, fault);
        if (walked != JpegEntropyWalker::Outcome::NeedData || (state.scan == scan && state.mcu < limit))
            return walked;
    }
}

// The walk to the breaks starts at the last state the walk of the piece
// noted before them: before the piece, the pieces already joined were walked,
// and their DC map is the one of the search so far.
QList<FragmentSearch::Break> FragmentSearch::break_candidates_of(const QByteArray &stream, qint64 piece_start,
                                                                 qint64 fault, qint64 sound,
                                                                 const JpegEntropyWalker::State &from,
                                                                 const std::vector<JpegEntropyWalker::State> &noted)
{
    QList<Break> breaks;
    const qint64 lowest = qMax(piece_start + sector, ceil_sector(walker.entropy_start()));
    // A fault on a sector's last byte may be the first half of a stuffed
    // FF 00 that the break cut in two: the piece may end after it.
    const qint64 top = floor_sector(qMin<qint64>(fault + 1, stream.size()));
    if (top < lowest)
        return breaks;
    // Data up to a restart marker met in sequence is sound: the break lies after it.
    qint64 bottom = qMax(lowest, top - (break_candidates - 1) * sector);
    if (sound > 0)
        bottom = qMax(bottom, ceil_sector(sound));

    const qint64 first = qMax<qint64>(bottom, sector);
    JpegEntropyWalker::State state = from;
    for (const JpegEntropyWalker::State &at : noted) {
        if (at.pos > first)
            break;
        state = at; // every MCU up to here lies before the first break
    }
    for (qint64 b = first; b <= top; b += sector) {
        const JpegEntropyWalker::Outcome walked = walker.walk(state, bytes_of(stream), b);
        if (walked != JpegEntropyWalker::Outcome::NeedData)
            break;
        breaks.prepend({b, state});
    }
    if (from.scan > 0)
        return breaks; // the first scan's DC map stays the one of the pieces before
    std::vector<JpegEntropyWalker::McuDc> dc = walker.mcu_dc();
    std::copy_n(prefix_dc.begin(), qMin(size_t(from.mcu), qMin(prefix_dc.size(), dc.size())), dc.begin());
    prefix_dc = std::move(dc);
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
                                           const std::function<bool(const Break &, qint64)> &try_joined,
                                           std::vector<std::pair<int, qint64>> *passed_joins)
{
    qint64 need = 4096;
    for (const Break &at : breaks)
        need = qMax(need, bytes_per_mcu(at) * walker.mcus_wide() * (rows_past_join + 2) * 2 + 4096);
    need = qMin<qint64>(need, 4 * 1024 * 1024);
    // Most searches end within their first few hundred sectors: the window
    // is read in chunks that start small and grow.
    qint64 chunk = qMax<qint64>(256 * 1024, ceil_sector(need));

    // What the picture above each break allows is the same for every place tried.
    std::vector<RowContinuity> rows;
    rows.reserve(size_t(breaks.size()));
    for (const Break &at : breaks)
        rows.push_back(row_after(at));

    int plausible = 0;
    int passed = 0;
    for (qint64 c0 = search_from; c0 < window_end; c0 += chunk, chunk = qMin<qint64>(2 * chunk, 4 * 1024 * 1024)) {
        const QByteArray data = cache.read(c0, qMin(chunk, window_end - c0) + need);
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
            if (!SectorScreen::could_be_entropy_data(here))
                continue;
            if (++plausible > (near_only                     ? plausible_sectors_near
                               : joins_cap < joins_followed ? plausible_sectors_deeper
                                                            : plausible_sectors))
                return false;
            for (qsizetype index = 0; index < breaks.size(); ++index) {
                const Break &at = breaks.at(index);
                if (c <= volume_of_stream + at.at)
                    continue; // a piece follows the one before it, never itself
                if (!join_holds(stream, at, rows[size_t(index)], here, qMin<qint64>(data.size() - off, need)))
                    continue;
                if (passed_joins)
                    passed_joins->push_back({int(index), c});
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

// One row of MCUs past the join settles whether the picture runs on (the DC
// map follows the first scan only).
RowContinuity FragmentSearch::row_after(const Break &at) const
{
    const int wide = qMax(1, walker.mcus_wide(at.state));
    return RowContinuity(prefix_dc, walker.mcus_wide(), at.state.mcu,
                         qMin(walker.mcu_count(at.state), at.state.mcu + wide));
}

bool FragmentSearch::join_holds(const QByteArray &stream, const Break &at, RowContinuity row, const uchar *more,
                                qint64 more_length)
{
    // The MCU the break cuts, then the continuation, taken only as far as
    // the walk needs it: most places fail within their first sector.
    trial.resize(0);
    trial.append(stream.constData() + at.state.pos, at.at - at.state.pos);
    qint64 taken = qMin(more_length, 2 * sector);
    trial.append(reinterpret_cast<const char *>(more), taken);
    if (charge(trial.size() / 256))
        return false;
    JpegEntropyWalker::State state = at.state;
    state.pos = 0;
    const auto walk_to = [&](int target) {
        for (;;) {
            const JpegEntropyWalker::Outcome walked = walker.walk(state, bytes_of(trial), trial.size(), target);
            if (walked != JpegEntropyWalker::Outcome::NeedData || state.scan != at.state.scan || state.mcu >= target
                || taken >= more_length)
                return walked;
            const qint64 step = qMin(more_length - taken, taken);
            if (charge(step / 256))
                return JpegEntropyWalker::Outcome::Interrupted;
            trial.append(reinterpret_cast<const char *>(more) + taken, step);
            taken += step;
        }
    };
    const auto reached = [&](JpegEntropyWalker::Outcome walked, int target) {
        return walked == JpegEntropyWalker::Outcome::Finished
            || (walked == JpegEntropyWalker::Outcome::NeedData
                && (state.scan != at.state.scan || state.mcu >= target));
    };
    const int wide = qMax(1, walker.mcus_wide(at.state));
    const int count = walker.mcu_count(at.state);
    // Further rows than the one row judges must decode.
    const int row_past = qMin(count, at.state.mcu + wide);
    // Another photo's data of the same coding decodes as well as the right
    // one: its MCUs are judged a few at a time, and the walk ends as soon as
    // the picture can no longer run on.
    JpegEntropyWalker::Outcome walked;
    do {
        const int next = qMin(row_past, state.mcu + mcus_judged_together);
        walked = walk_to(next);
        if (!reached(walked, next))
            return false;
        if (at.state.scan == 0 && state.scan == 0 && !row.may_hold(walker.mcu_dc(), state.mcu))
            return false;
    } while (walked == JpegEntropyWalker::Outcome::NeedData && state.scan == at.state.scan && state.mcu < row_past);
    // Steps too large for the picture to run on may still be an edge it
    // has along the row below the join: the rows after it tell.
    const auto walked_to = [&] { return state.scan > 0 ? walker.mcu_count() : state.mcu; };
    const bool edge_only = at.state.scan == 0 && !row.holds(walker.mcu_dc(), walked_to());
    if (walked == JpegEntropyWalker::Outcome::Finished || state.scan != at.state.scan)
        return !edge_only || row.holds_as_edge(walker.mcu_dc(), walked_to());
    const int target = qMin(count, (at.state.mcu / wide + 1 + rows_past_join) * wide);
    walked = walk_to(target);
    return reached(walked, target) && (!edge_only || row.holds_as_edge(walker.mcu_dc(), walked_to()));
}
