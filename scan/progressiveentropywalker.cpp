#include "progressiveentropywalker.h"

#include <algorithm>
#include <bit>
#include <cstdlib>

namespace {

// No AC coefficient of an 8-bit photo has more than 10 bits, no DC
// difference more than 11, no DC value lies outside +-2048.
constexpr int ac_bits = 10;
constexpr int dc_difference_bits = 11;
constexpr qint64 dc_range = 2048;

// Coefficients from..to of a block, by their zigzag index.
quint64 band(int from, int to)
{
    const quint64 up_to = to >= 63 ? ~quint64(0) : (quint64(1) << (to + 1)) - 1;
    return up_to & ~((quint64(1) << from) - 1);
}

} // namespace

// Each coefficient is refined one bit at a time, after its first scan, and
// no AC band before its component's DC: libjpeg warns of anything else.
ProgressiveEntropyWalker::Step ProgressiveEntropyWalker::begin_scan(State &state, const Scan &scan) const
{
    for (const Component &component : scan.components) {
        std::array<qint8, 64> &bits = state.progression[size_t(component.index)];
        if (scan.ss != 0 && bits[0] < 0)
            return Step::Fault;
        for (int k = scan.ss; k <= scan.se; ++k) {
            if (scan.ah != qMax<int>(bits[size_t(k)], 0))
                return Step::Fault;
            bits[size_t(k)] = qint8(scan.al);
        }
    }
    return Step::Ok;
}

bool ProgressiveEntropyWalker::parse_header(const uchar *data, qint64 size)
{
    scans.clear();
    noted.clear();
    noting = false;
    qint64 at = 0;
    Scan first;
    const bool read = headers.read_first_scan(data, size, first, at);
    nonzero.assign(headers.frame().valid() ? headers.block_count() : 0, 0);
    if (!read)
        return false;
    State start;
    for (auto &component : start.progression)
        component.fill(-1);
    if (begin_scan(start, first) != Step::Ok)
        return false;
    first_progression = start.progression;
    scans.push_back(std::move(first));
    scan_start = at;
    return true;
}

ProgressiveEntropyWalker::State ProgressiveEntropyWalker::start_state() const
{
    State state;
    state.pos = scan_start;
    state.progression = first_progression;
    return state;
}

bool ProgressiveEntropyWalker::complete(const State &state) const
{
    const JpegFrameHeader &frame = headers.frame();
    for (int c = 0; c < frame.component_count; ++c)
        for (const qint8 bits : state.progression[size_t(c)])
            if (bits != 0)
                return false;
    return frame.valid();
}


// Blocks after the one being decoded that an end-of-band run may still
// cover: up to the end of the scan or of the restart interval.
int ProgressiveEntropyWalker::blocks_left(const State &state, const Scan &scan) const
{
    int end = scan.mcu_count();
    if (scan.restart_mcus > 0)
        end = qMin(end, (state.mcu / scan.restart_mcus + 1) * scan.restart_mcus);
    return end - state.mcu - 1;
}

void ProgressiveEntropyWalker::set_nonzero(quint32 block, quint64 coefficients)
{
    if (noting)
        noted.emplace_back(block, nonzero[block]);
    nonzero[block] = coefficients;
}

ProgressiveEntropyWalker::Step ProgressiveEntropyWalker::dc_first(State &state, Cursor &cursor, const uchar *data,
                                                                  qint64 size, const Scan &scan) const
{
    for (size_t c = 0; c < scan.components.size(); ++c) {
        const Component &component = scan.components[c];
        const Table &table = scan.dc_tables[size_t(component.dc_table)];
        for (int block = 0; block < component.h * component.v; ++block) {
            int category = 0;
            Step step = HuffmanBitReader::decode(cursor, data, size, table, &category);
            if (step != Step::Ok)
                return step;
            if (category > dc_difference_bits)
                return Step::Fault;
            int difference = 0;
            if ((step = HuffmanBitReader::receive(cursor, data, size, category, &difference)) != Step::Ok)
                return step;
            state.dc[c] += difference;
            if (qint64(std::abs(state.dc[c])) << scan.al > dc_range)
                return Step::Fault;
        }
    }
    return Step::Ok;
}

ProgressiveEntropyWalker::Step ProgressiveEntropyWalker::dc_refine(Cursor &cursor, const uchar *data, qint64 size,
                                                                   const Scan &scan) const
{
    int blocks = 0;
    for (const Component &component : scan.components)
        blocks += component.h * component.v;
    int bits = 0;
    return HuffmanBitReader::bits_of(cursor, data, size, blocks, &bits);
}

ProgressiveEntropyWalker::Step ProgressiveEntropyWalker::ac_first(State &state, Cursor &cursor, const uchar *data,
                                                                  qint64 size, const Scan &scan)
{
    const Component &component = scan.components.front();
    const Table &table = scan.ac_tables[size_t(component.ac_table)];
    quint64 coded = 0;
    for (int k = scan.ss; k <= scan.se; ++k) {
        int symbol = 0;
        Step step = HuffmanBitReader::decode(cursor, data, size, table, &symbol);
        if (step != Step::Ok)
            return step;
        const int run = symbol >> 4;
        const int bits = symbol & 15;
        if (bits != 0) {
            k += run;
            if (k > scan.se || bits > ac_bits)
                return Step::Fault; // a run past the band, or a value no photo has
            int value = 0;
            if ((step = HuffmanBitReader::bits_of(cursor, data, size, bits, &value)) != Step::Ok)
                return step;
            coded |= quint64(1) << k;
        } else if (run == 15) {
            k += 15;
            if (k > scan.se)
                return Step::Fault;
        } else {
            int extra = 0;
            if ((step = HuffmanBitReader::bits_of(cursor, data, size, run, &extra)) != Step::Ok)
                return step;
            const int more_blocks = (1 << run) + extra - 1;
            if (more_blocks > blocks_left(state, scan))
                return Step::Fault; // empty blocks past the scan or the restart interval
            state.eob_run = more_blocks;
            break;
        }
    }
    if (coded) {
        const quint32 block = headers.first_block(component.index) + quint32(state.mcu);
        set_nonzero(block, nonzero[block] | coded);
    }
    return Step::Ok;
}

ProgressiveEntropyWalker::Step ProgressiveEntropyWalker::ac_refine(State &state, Cursor &cursor, const uchar *data,
                                                                   qint64 size, const Scan &scan)
{
    const Component &component = scan.components.front();
    const Table &table = scan.ac_tables[size_t(component.ac_table)];
    const quint32 block = headers.first_block(component.index) + quint32(state.mcu);
    quint64 coefficients = nonzero[block];
    int k = scan.ss;
    int ignored = 0;
    Step step = Step::Ok;
    if (state.eob_run == 0) {
        for (; k <= scan.se; ++k) {
            int symbol = 0;
            if ((step = HuffmanBitReader::decode(cursor, data, size, table, &symbol)) != Step::Ok)
                return step;
            int run = symbol >> 4;
            const int bits = symbol & 15;
            if (bits > 1)
                return Step::Fault; // a refinement adds one bit, as libjpeg warns
            if (bits == 1 && (step = HuffmanBitReader::bits_of(cursor, data, size, 1, &ignored)) != Step::Ok)
                return step;
            if (bits == 0 && run != 15) {
                int extra = 0;
                if ((step = HuffmanBitReader::bits_of(cursor, data, size, run, &extra)) != Step::Ok)
                    return step;
                state.eob_run = (1 << run) + extra;
                if (state.eob_run - 1 > blocks_left(state, scan))
                    return Step::Fault;
                break;
            }
            // Past the coefficients already nonzero (each with its correction
            // bit) and run zero ones, to the one this symbol makes nonzero.
            for (;; ++k) {
                if (k > scan.se)
                    return Step::Fault;
                if (coefficients >> k & 1) {
                    if ((step = HuffmanBitReader::bits_of(cursor, data, size, 1, &ignored)) != Step::Ok)
                        return step;
                } else if (--run < 0) {
                    break;
                }
            }
            if (bits == 1)
                coefficients |= quint64(1) << k;
        }
    }
    if (state.eob_run > 0) {
        // A correction bit for each nonzero coefficient left in the band.
        for (int left = std::popcount(coefficients & band(qMin(k, 63), scan.se)) * (k <= scan.se); left > 0;) {
            const int now = qMin(left, 16);
            if ((step = HuffmanBitReader::bits_of(cursor, data, size, now, &ignored)) != Step::Ok)
                return step;
            left -= now;
        }
        --state.eob_run;
    }
    if (coefficients != nonzero[block])
        set_nonzero(block, coefficients);
    return Step::Ok;
}

ProgressiveEntropyWalker::Step ProgressiveEntropyWalker::read_restart(State &state, Cursor &cursor,
                                                                      const uchar *data, qint64 size) const
{
    // Only the padding bits of the last byte may be left: a whole byte more
    // is data no block used.
    if (cursor.bits >= 8)
        return Step::Fault;
    JpegMarker marker;
    qint64 at = cursor.at;
    const JpegMarkerReader::Read read = JpegMarkerReader::read_marker(data, size, at, marker);
    if (read == JpegMarkerReader::Read::NeedData)
        return Step::NeedData;
    const Scan &scan = scans[size_t(state.scan)];
    const int expected = 0xD0 + ((state.mcu / scan.restart_mcus - 1) & 7);
    if (read == JpegMarkerReader::Read::Fault || marker.code != expected)
        return Step::Fault;
    cursor = {at, 0, 0};
    state.dc.fill(0);
    state.eob_run = 0;
    return Step::Ok;
}

// After the last block of a scan: the next scan's header, or the end of image.
ProgressiveEntropyWalker::Step ProgressiveEntropyWalker::read_end(State &state, Cursor &cursor, const uchar *data,
                                                                  qint64 size)
{
    if (cursor.bits >= 8)
        return Step::Fault; // bytes no block used
    Scan next;
    const Scan &current = scans[size_t(state.scan)];
    next.dc_tables = current.dc_tables;
    next.ac_tables = current.ac_tables;
    next.restart_mcus = current.restart_mcus;
    qint64 at = cursor.at;
    bool image_end = false;
    const Step read = headers.read_next_scan(data, size, at, next, image_end);
    if (read == Step::Fault)
        cursor.at = at;
    if (read != Step::Ok)
        return read;
    cursor = {at, 0, 0};
    if (image_end) {
        state.finished = true;
        return Step::Ok;
    }
    if (state.scan + 1 >= max_scans || begin_scan(state, next) != Step::Ok)
        return Step::Fault;
    // The scans after this one were read from other bytes (another walk).
    scans.resize(size_t(state.scan) + 1);
    scans.push_back(std::move(next));
    ++state.scan;
    state.mcu = 0;
    state.eob_run = 0;
    state.dc.fill(0);
    return Step::Ok;
}

ProgressiveEntropyWalker::Outcome ProgressiveEntropyWalker::walk(State &state, const uchar *data, qint64 size,
                                                                 qint64 base, qint64 *fault_at)
{
    Cursor cursor{state.pos - base, state.bit_buffer, state.bits};
    const auto stop = [&](Outcome outcome) {
        state.pos = base + cursor.at;
        state.bit_buffer = cursor.bit_buffer;
        state.bits = cursor.bits;
        if (outcome == Outcome::Fault && fault_at)
            *fault_at = state.pos;
        return outcome;
    };
    if (cursor.at < 0 || cursor.at > size || state.scan < 0 || size_t(state.scan) >= scans.size())
        return stop(Outcome::Fault);
    while (!state.finished) {
        const Scan &scan = scans[size_t(state.scan)];
        if (state.mcu == scan.mcu_count()) {
            const State before = state;
            const Cursor before_cursor = cursor;
            const Step step = read_end(state, cursor, data, size);
            if (step == Step::NeedData) {
                state = before;
                cursor = before_cursor;
                return stop(Outcome::NeedData);
            }
            if (step == Step::Fault)
                return stop(Outcome::Fault);
            continue;
        }
        ++walked;
        const bool ac = scan.ss != 0;
        if (ac && scan.ah == 0 && state.eob_run > 0) {
            // Empty blocks: nothing to read in them.
            state.mcu += state.eob_run;
            state.eob_run = 0;
            continue;
        }
        const Cursor before = cursor;
        const int eob_run = state.eob_run;
        const std::array<int, 4> dc = state.dc;
        Step step = Step::Ok;
        if (scan.restart_mcus > 0 && state.mcu > 0 && state.mcu % scan.restart_mcus == 0 && eob_run == 0)
            step = read_restart(state, cursor, data, size);
        if (step == Step::Ok) {
            if (!ac)
                step = scan.ah == 0 ? dc_first(state, cursor, data, size, scan) : dc_refine(cursor, data, size, scan);
            else
                step = scan.ah == 0 ? ac_first(state, cursor, data, size, scan)
                                    : ac_refine(state, cursor, data, size, scan);
        }
        if (step == Step::NeedData) {
            cursor = before;
            state.eob_run = eob_run;
            state.dc = dc;
            return stop(Outcome::NeedData);
        }
        if (step == Step::Fault)
            return stop(Outcome::Fault);
        ++state.mcu;
    }
    return stop(Outcome::Finished);
}

size_t ProgressiveEntropyWalker::mark()
{
    noting = true;
    return noted.size();
}

void ProgressiveEntropyWalker::undo(size_t to_mark, int scans_kept)
{
    while (noted.size() > to_mark) {
        nonzero[noted.back().first] = noted.back().second;
        noted.pop_back();
    }
    scans.resize(size_t(qMax(1, scans_kept)));
}

ProgressiveEntropyWalker::Checkpoint ProgressiveEntropyWalker::checkpoint(const State &state, size_t to_mark,
                                                                          int scans_kept) const
{
    Checkpoint kept;
    kept.state = state;
    kept.scans_from = scans_kept;
    kept.scans.assign(scans.begin() + qMin<qsizetype>(scans_kept, qsizetype(scans.size())), scans.end());
    for (size_t i = to_mark; i < noted.size(); ++i)
        kept.nonzero.emplace_back(noted[i].first, nonzero[noted[i].first]);
    return kept;
}

void ProgressiveEntropyWalker::restore(const Checkpoint &kept)
{
    scans.resize(size_t(kept.scans_from));
    scans.insert(scans.end(), kept.scans.begin(), kept.scans.end());
    for (const auto &[block, coefficients] : kept.nonzero)
        set_nonzero(block, coefficients);
}
