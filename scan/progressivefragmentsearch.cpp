#include "progressivefragmentsearch.h"

#include <algorithm>

namespace {

constexpr qint64 sector = FragmentSearch::sector;

qint64 floor_sector(qint64 at)
{
    return at / sector * sector;
}

qint64 ceil_sector(qint64 at)
{
    return floor_sector(at + sector - 1);
}

} // namespace

ProgressiveFragmentSearch::ProgressiveFragmentSearch(FragmentSearch &search)
    : search(search)
{
}

// A join holds only when the photo then reads to its end-of-image marker
// with no fault and every scan of its progression in place: each scan's data
// must end exactly where the next marker stands, which data joined at the
// wrong place almost never does.
FragmentSearch::Outcome ProgressiveFragmentSearch::resolve(qint64 start, const QByteArray &candidate)
{
    FragmentSearch::Outcome outcome; // valid_mcu_rows stays -1: the decoder judges a leading part
    if (!search.search_enabled)
        return outcome;
    const qint64 scan = SectorScreen::first_scan_at(candidate);
    search.window_end = start + candidate.size() + search.window;
    entropy_from = ceil_sector(scan + 2);
    // Fewer pieces first: a photo in two pieces is never taken for one in three.
    bool assembled = false;
    const JpegDecodeCheck::Coefficients read =
        JpegDecodeCheck::read_coefficients(candidate, [this] { return search.stopped && search.stopped(); });
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
    // Damaged where it lies as far as its bytes tell, with the header of a
    // later scan behind the fault: the bytes after the fault are its own, so
    // no other piece can take their place.
    if (search.near_only && !read.clean && !read.ran_out && candidate.indexOf("\xFF\xDA", read.fault_position) > 0)
        return outcome;
    first_piece_trials.clear();
    first_piece_trials_known = false;
    for (search.piece_limit = 2;
         !assembled && search.piece_limit <= FragmentSearch::max_pieces && !search.out_of_time();
         ++search.piece_limit) {
        assembled = assemble(candidate, read, {{start, candidate.size()}}, 0, &outcome);
        first_piece_trials_known = !search.out_of_time();
    }
    if (!assembled) {
        outcome.pieces.clear();
        outcome.stream.clear();
    }
    search.cache.clear();
    return outcome;
}

bool ProgressiveFragmentSearch::assemble(const QByteArray &stream, const JpegDecodeCheck::Coefficients &read,
                                         VolumeExtents pieces, qint64 piece_start,
                                         FragmentSearch::Outcome *outcome)
{
    const qint64 volume_of_stream = pieces.last().offset - piece_start;
    const qint64 end = read.clean ? read.end_position : read.fault_position;
    if (read.clean && read.complete && search.first_foreign_sector(stream, qMax(piece_start, entropy_from), end,
                                                            volume_of_stream, true) < 0) {
        if (pieces.size() == 1)
            return false; // nothing wrong with it
        if (end - piece_start < FragmentSearch::smallest_proof)
            return false; // a few bytes of refinement read cleanly almost anywhere
        pieces.last().length = end - piece_start;
        outcome->pieces = pieces;
        outcome->stream = stream.left(end);
        return true;
    }
    if (int(pieces.size()) >= search.piece_limit || search.out_of_time())
        return false;
    if (pieces.size() > 1 && ++search.second_pieces > FragmentSearch::second_pieces_followed)
        return false; // a third piece behind yet another second one is not worth the trials
    // Bytes that ran out end the piece where they end.
    const QList<qint64> breaks = breaks_of(stream, piece_start, read.ran_out ? stream.size() : end,
                                                    volume_of_stream);
    if (breaks.isEmpty())
        return false;

    // The first piece's trials in the search for two pieces are the same in
    // the search for three: only those that read on far enough are followed.
    if (pieces.size() == 1 && first_piece_trials_known) {
        for (const Trial &t : first_piece_trials) {
            QByteArray joined = stream.left(t.at);
            joined.append(search.cache.read(t.continuation, t.length));
            if (search.charge(joined.size() / 256))
                return false;
            VolumeExtents joined_pieces = pieces;
            joined_pieces.last().length = t.at - piece_start;
            joined_pieces.append({t.continuation, joined.size() - t.at});
            if (assemble(joined, t.read, joined_pieces, t.at, outcome))
                return true;
        }
        return false;
    }
    BreakWalks walks(stream, breaks);
    search.charge(walks.blocks_walked());
    int plausible = 0;
    int trials = 0;
    for (qint64 c = volume_of_stream + breaks.first() + sector; c < search.window_end; c += sector) {
        const qint64 free_from = search.occupied(c);
        if (free_from > c) {
            c = ceil_sector(free_from) - sector;
            continue;
        }
        const QByteArray here = search.cache.read(c, sector);
        if (here.size() < sector)
            return false;
        if (!SectorScreen::could_be_entropy_data(reinterpret_cast<const uchar *>(here.constData()), true))
            continue;
        if (++plausible > (search.near_only ? plausible_sectors / 4 : plausible_sectors))
            return false;
        qint64 last_fault = -1; // on the volume, of the last trial at c
        for (int i = 0; i < breaks.size(); ++i) {
            const qint64 b = breaks[i];
            if (search.out_of_time())
                return false;
            // A continuation whose data goes wrong soon after the join costs
            // no libjpeg trial, and no trial counts it.
            const Joined tried = c > volume_of_stream + b ? try_join(walks, i, stream, c) : Joined{};
            if (search.out_of_time())
                return false;
            if (tried.ruled_out)
                continue;
            if (++trials > trials_per_break)
                return false;
            if (c <= volume_of_stream + b)
                continue; // a piece follows the one before it, never itself
            const JpegDecodeCheck::Coefficients &trial = tried.read;
            const qint64 reached = trial.clean ? trial.end_position : trial.fault_position;
            const bool whole = trial.clean && trial.complete;
            const bool last_piece = int(pieces.size()) + 1 >= search.piece_limit;
            // A continuation that goes wrong at the same byte after two
            // breaks goes wrong by its own data (another photo's next scan
            // header, most often): no other break mends it.
            const qint64 fault = c + reached - b;
            const bool wrong_by_itself = !whole && fault == last_fault;
            last_fault = fault;
            if (!whole && reached - b >= run_past_join && pieces.size() == 1)
                first_piece_trials.push_back({b, c, tried.length, trial});
            if (!whole && (last_piece || reached - b < run_past_join)) {
                if (wrong_by_itself)
                    break;
                continue;
            }
            QByteArray joined = stream.left(b);
            joined.append(search.cache.read(c, tried.length));
            if (search.charge(joined.size() / 256))
                return false;
            VolumeExtents joined_pieces = pieces;
            joined_pieces.last().length = b - piece_start;
            joined_pieces.append({c, joined.size() - b});
            if (assemble(joined, trial, joined_pieces, b, outcome))
                return true;
            if (wrong_by_itself)
                break;
        }
    }
    return false;
}

// The photo joined at a break to the continuation at c, judged as far as it
// goes on: by the walker where it follows the piece (libjpeg then judges
// only a photo the walker reads to its end), else by libjpeg, the
// continuation read in growing steps while the photo still reads on.
ProgressiveFragmentSearch::Joined ProgressiveFragmentSearch::try_join(BreakWalks &walks, int break_index,
                                                                      const QByteArray &stream, qint64 c)
{
    Joined joined;
    const qint64 b = walks.at(break_index);
    const qint64 room = search.window_end - c;
    if (walks.follows(break_index)) {
        const qint64 walked_before = walks.blocks_walked();
        const BreakWalks::Walked walked =
            walks.walk_on(break_index, [this, c](qint64 length) { return search.cache.read(c, length); }, room);
        search.charge(walks.blocks_walked() - walked_before);
        joined.length = walked.read;
        joined.ruled_out =
            walked.outcome == ProgressiveEntropyWalker::Outcome::Fault && walked.reached - b < run_past_join;
        if (walked.outcome == ProgressiveEntropyWalker::Outcome::Fault) {
            joined.read.fault_position = walked.reached;
            return joined;
        }
        if (walked.outcome == ProgressiveEntropyWalker::Outcome::NeedData) {
            joined.read.ran_out = true;
            joined.read.fault_position = b + walked.read;
            return joined;
        }
    } else if (walks.impossible(break_index)) {
        joined.ruled_out = true;
        return joined;
    }
    // Each trial ends at its first fault, so a short read that runs out
    // costs little more than the photo's first piece.
    for (qint64 more = qMin<qint64>(room, FragmentSearch::continuation_step);; more *= 2) {
        more = qMin(more, room);
        QByteArray bytes = stream.left(b);
        bytes.append(search.cache.read(c, more));
        joined.length = bytes.size() - b;
        if (search.charge(bytes.size() / 256))
            return joined;
        const auto row_read = [this] { return search.charge(FragmentSearch::decoder_row_work); };
        joined.read = JpegDecodeCheck::read_coefficients(bytes, row_read, JpegDecodeCheck::memory_budget, true);
        if (!joined.read.ran_out || more >= room)
            return joined;
    }
}

// Where a progressive piece may end: at the first sector no scan data could
// fill or that something else holds, when there is one before the fault;
// otherwise on one of the sector boundaries shortly before the fault.
QList<qint64> ProgressiveFragmentSearch::breaks_of(const QByteArray &stream, qint64 piece_start, qint64 fault,
                                                   qint64 volume_of_stream) const
{
    const qint64 lowest = qMax(piece_start + sector, entropy_from);
    const qint64 foreign = search.first_foreign_sector(stream, lowest, fault, volume_of_stream, true);
    if (foreign >= 0)
        return {foreign};
    QList<qint64> breaks;
    const qint64 top = floor_sector(qMin<qint64>(fault, stream.size()));
    // Latest first: the damage begins at or shortly before the fault.
    for (qint64 b = top; b >= lowest && breaks.size() < break_candidates; b -= sector)
        breaks.append(b);
    return breaks;
}

// The walker walks the piece once to its lowest break, and from there to
// each of the others, keeping what it changes on the way. Where the piece's
// own data goes wrong before a break, no continuation mends it.
ProgressiveFragmentSearch::BreakWalks::BreakWalks(const QByteArray &stream, const QList<qint64> &breaks)
    : stream(stream)
    , breaks(breaks)
    , kinds(size_t(breaks.size()), Kind::Unknown)
    , kept(size_t(breaks.size()))
{
    const auto *data = reinterpret_cast<const uchar *>(stream.constData());
    if (breaks.isEmpty() || !walker.parse_header(data, stream.size()))
        return;
    const qint64 lowest = *std::min_element(breaks.begin(), breaks.end());
    ProgressiveEntropyWalker::State low = walker.start_state();
    if (lowest < walker.entropy_start() || lowest > stream.size())
        return;
    const ProgressiveEntropyWalker::Outcome to_lowest = walker.walk(low, data, lowest);
    if (to_lowest == ProgressiveEntropyWalker::Outcome::Fault)
        kinds.assign(kinds.size(), Kind::Impossible);
    if (to_lowest != ProgressiveEntropyWalker::Outcome::NeedData)
        return;
    scans_kept = low.scan + 1;
    mark = walker.mark();
    for (size_t i = 0; i < size_t(breaks.size()); ++i) {
        ProgressiveEntropyWalker::State at = low;
        const ProgressiveEntropyWalker::Outcome outcome = walker.walk(at, data, breaks[qsizetype(i)]);
        if (outcome == ProgressiveEntropyWalker::Outcome::Fault) {
            kinds[i] = Kind::Impossible;
        } else if (outcome == ProgressiveEntropyWalker::Outcome::NeedData) {
            kinds[i] = Kind::Kept;
            kept[i] = walker.checkpoint(at, mark, scans_kept);
        }
        walker.undo(mark, scans_kept);
    }
}

ProgressiveFragmentSearch::BreakWalks::Walked
ProgressiveFragmentSearch::BreakWalks::walk_on(int break_index, const std::function<QByteArray(qint64)> &continuation,
                                               qint64 room)
{
    const ProgressiveEntropyWalker::Checkpoint &at = kept[size_t(break_index)];
    const qint64 b = breaks[break_index];
    walker.restore(at);
    ProgressiveEntropyWalker::State state = at.state;
    // The bytes of the MCU the break cuts, then the continuation: a little
    // of it first, since most continuations go wrong at once.
    const QByteArray cut_mcu = stream.mid(at.state.pos, b - at.state.pos);
    Walked walked;
    for (qint64 length = qMin(room, run_past_join + sector);;
         length = qMin(room, qMax(2 * length, FragmentSearch::continuation_step))) {
        trial = cut_mcu;
        const QByteArray more = continuation(length);
        trial.append(more);
        walked.read = more.size();
        qint64 fault = -1;
        walked.outcome = walker.walk(state, reinterpret_cast<const uchar *>(trial.constData()), trial.size(),
                                     at.state.pos, &fault);
        walked.reached = walked.outcome == ProgressiveEntropyWalker::Outcome::Fault ? fault : state.pos;
        if (walked.outcome != ProgressiveEntropyWalker::Outcome::NeedData || more.size() < length || length >= room)
            break;
    }
    walker.undo(mark, scans_kept);
    return walked;
}
