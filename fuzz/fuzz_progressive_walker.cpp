// The progressive entropy walker over a stream made of the input: every
// position it reports lies in the stream, it never walks more blocks than a
// scan has, its memory stays within what the decoders may hold, a walk that
// ran out of bytes and goes on over the rest ends as one walk over the whole
// stream does, and so does a walk kept at a place, left, and gone back to
// (the fragment search's trials rely on both).

#include "fuzztarget.h"
#include "jpegdecodecheck.h"
#include "progressiveentropywalker.h"

namespace {

// A fault is seen where the bytes read for the code at hand end: a few bytes
// past it, each perhaps followed by a stuffed zero.
constexpr qint64 read_ahead = 6;

struct Walked
{
    ProgressiveEntropyWalker::Outcome outcome = ProgressiveEntropyWalker::Outcome::NeedData;
    ProgressiveEntropyWalker::State state;
    qint64 fault_at = -1;
};

void require_inside(const ProgressiveEntropyWalker &walker, const Walked &walked, qint64 size)
{
    FUZZ_REQUIRE(walked.state.pos >= walker.entropy_start() && walked.state.pos <= size);
    FUZZ_REQUIRE(walked.state.scan >= 0 && walked.state.scan < ProgressiveEntropyWalker::max_scans);
    FUZZ_REQUIRE(walked.state.mcu >= 0 && walked.state.eob_run >= 0);
    if (walked.outcome == ProgressiveEntropyWalker::Outcome::Fault)
        FUZZ_REQUIRE(walked.fault_at >= walker.entropy_start() && walked.fault_at <= size);
    if (walked.outcome == ProgressiveEntropyWalker::Outcome::Finished)
        FUZZ_REQUIRE(walked.state.finished);
}

void require_same(const Walked &one, const Walked &other)
{
    FUZZ_REQUIRE(one.outcome == other.outcome);
    FUZZ_REQUIRE(one.state.scan == other.state.scan && one.state.mcu == other.state.mcu);
    if (one.outcome == ProgressiveEntropyWalker::Outcome::Fault)
        FUZZ_REQUIRE(qAbs(one.fault_at - other.fault_at) <= read_ahead);
    else if (one.outcome == ProgressiveEntropyWalker::Outcome::NeedData)
        FUZZ_REQUIRE(qAbs(one.state.pos - other.state.pos) <= read_ahead);
    else
        FUZZ_REQUIRE(one.state.pos == other.state.pos && one.state.progression == other.state.progression);
}

} // namespace

int fuzz::progressive_walker(const uint8_t *data, size_t size)
{
    const qint64 length = qint64(size);
    ProgressiveEntropyWalker whole_walker;
    if (!whole_walker.parse_header(data, length))
        return 0;
    FUZZ_REQUIRE(whole_walker.entropy_start() > 0 && whole_walker.entropy_start() <= length);

    Walked whole{{}, whole_walker.start_state()};
    whole.outcome = whole_walker.walk(whole.state, data, length, 0, &whole.fault_at);
    require_inside(whole_walker, whole, length);

    // The same walk in two goes: the bytes end at a place the last byte
    // chooses, then the rest follows.
    const qint64 start = whole_walker.entropy_start();
    const qint64 cut = start + (length - start) * data[size - 1] / 255;
    ProgressiveEntropyWalker parts_walker;
    FUZZ_REQUIRE(parts_walker.parse_header(data, length));
    Walked parts{{}, parts_walker.start_state()};
    parts.outcome = parts_walker.walk(parts.state, data, cut, 0, &parts.fault_at);
    require_inside(parts_walker, parts, cut);
    if (parts.outcome == ProgressiveEntropyWalker::Outcome::NeedData) {
        parts.outcome = parts_walker.walk(parts.state, data, length, 0, &parts.fault_at);
        require_inside(parts_walker, parts, length);
    }
    require_same(parts, whole);

    // Kept at the cut, walked on over other bytes (the rest of the input
    // backwards), left, and gone back to: the walk goes on as if it had
    // never been left.
    ProgressiveEntropyWalker kept_walker;
    FUZZ_REQUIRE(kept_walker.parse_header(data, length));
    Walked kept{{}, kept_walker.start_state()};
    kept.outcome = kept_walker.walk(kept.state, data, (start + cut) / 2, 0, &kept.fault_at);
    if (kept.outcome != ProgressiveEntropyWalker::Outcome::NeedData)
        return 0;
    const int scans_kept = kept.state.scan + 1;
    const size_t mark = kept_walker.mark();
    kept.outcome = kept_walker.walk(kept.state, data, cut, 0, &kept.fault_at);
    if (kept.outcome != ProgressiveEntropyWalker::Outcome::NeedData)
        return 0;
    const ProgressiveEntropyWalker::Checkpoint at_cut = kept_walker.checkpoint(kept.state, mark, scans_kept);
    kept_walker.undo(mark, scans_kept);
    kept_walker.restore(at_cut);
    QByteArray other = fuzz::bytes_of(data, size).left(cut);
    for (qint64 i = length - 1; i >= cut; --i)
        other.append(char(data[i]));
    Walked elsewhere{{}, at_cut.state};
    const qint64 from = at_cut.state.pos;
    elsewhere.outcome = kept_walker.walk(elsewhere.state, reinterpret_cast<const uchar *>(other.constData()) + from,
                                         length - from, from, &elsewhere.fault_at);
    kept_walker.undo(mark, scans_kept);
    kept_walker.restore(at_cut);
    Walked back{{}, at_cut.state};
    back.outcome = kept_walker.walk(back.state, data + from, length - from, from, &back.fault_at);
    require_inside(kept_walker, back, length);
    require_same(back, whole);
    return 0;
}

FUZZ_ENTRY_POINT(progressive_walker)
