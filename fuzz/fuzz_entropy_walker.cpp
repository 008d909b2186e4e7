// The entropy walker over a stream made of the input: every position it
// reports lies in the stream, it never walks more MCUs than the frame has,
// and a walk that ran out of bytes and goes on over the rest ends exactly as
// one walk over the whole stream does (the fragment search relies on that),
// a fault seen within the bytes the walker reads ahead.

#include "fuzztarget.h"
#include "jpegentropywalker.h"

namespace {

// A fault is seen where the bytes read for the code at hand end: up to three
// bytes past it, each perhaps followed by a stuffed zero. How far the walker
// had read ahead when it stopped for want of bytes moves that by as much, and
// so the start of an MCU it has to wait for.
constexpr qint64 read_ahead = 6;

struct Walked
{
    JpegEntropyWalker::Outcome outcome;
    JpegEntropyWalker::State state;
    qint64 fault_at = -1;
};

void require_inside(const JpegEntropyWalker &walker, const Walked &walked, qint64 size)
{
    FUZZ_REQUIRE(walked.state.pos >= walker.entropy_start() && walked.state.pos <= size);
    FUZZ_REQUIRE(walked.state.mcu >= 0 && walked.state.mcu <= walker.mcu_count());
    FUZZ_REQUIRE(walker.mcu_dc().size() <= size_t(walker.mcu_count()));
    FUZZ_REQUIRE(walked.state.last_restart_end <= walked.state.pos);
    if (walked.outcome == JpegEntropyWalker::Outcome::Fault)
        FUZZ_REQUIRE(walked.fault_at >= walker.entropy_start() && walked.fault_at <= size);
    if (walked.outcome == JpegEntropyWalker::Outcome::Finished)
        FUZZ_REQUIRE(walked.state.finished && walked.state.mcu == walker.mcu_count());
}

} // namespace

int fuzz::entropy_walker(const uint8_t *data, size_t size)
{
    const qint64 length = qint64(size);
    JpegEntropyWalker walker;
    if (!walker.parse_header(data, length))
        return 0;
    FUZZ_REQUIRE(walker.entropy_start() > 0 && walker.entropy_start() <= length);
    FUZZ_REQUIRE(walker.mcus_wide() >= 0 && walker.mcu_count() >= 0);

    Walked whole{{}, walker.start_state()};
    whole.outcome = walker.walk(whole.state, data, length, -1, &whole.fault_at);
    require_inside(walker, whole, length);

    // The same walk in two goes: the bytes end at a place the last byte
    // chooses, then the rest follows.
    const qint64 cut = walker.entropy_start() + (length - walker.entropy_start()) * data[size - 1] / 255;
    Walked parts{{}, walker.start_state()};
    parts.outcome = walker.walk(parts.state, data, cut, -1, &parts.fault_at);
    require_inside(walker, parts, cut);
    if (parts.outcome == JpegEntropyWalker::Outcome::NeedData) {
        parts.outcome = walker.walk(parts.state, data, length, -1, &parts.fault_at);
        require_inside(walker, parts, length);
    }
    FUZZ_REQUIRE(parts.outcome == whole.outcome);
    FUZZ_REQUIRE(parts.state.mcu == whole.state.mcu);
    if (whole.outcome == JpegEntropyWalker::Outcome::Fault)
        FUZZ_REQUIRE(qAbs(parts.fault_at - whole.fault_at) <= read_ahead);
    else if (whole.outcome == JpegEntropyWalker::Outcome::NeedData) // at the same MCU, read ahead as far as it went
        FUZZ_REQUIRE(qAbs(parts.state.pos - whole.state.pos) <= read_ahead);
    else
        FUZZ_REQUIRE(parts.state.pos == whole.state.pos);
    return 0;
}

FUZZ_ENTRY_POINT(entropy_walker)
