#include "jpegentropywalker.h"

#include "jpegframelimits.h"

#include <algorithm>
#include <cstdlib>

namespace {

int be16(const uchar *at)
{
    return (at[0] << 8) | at[1];
}

int ceil_div(int a, int b)
{
    return (a + b - 1) / b;
}

} // namespace

bool JpegEntropyWalker::read_huffman_tables(const uchar *at, qint64 length, Scan &scan)
{
    qint64 i = 0;
    while (i + 17 <= length) {
        const int table_class = at[i] >> 4;
        const int id = at[i] & 0x0F;
        if (table_class > 1 || id > 3)
            return false;
        Table &table = table_class == 0 ? scan.dc_tables[id] : scan.ac_tables[id];
        table = Table{};
        table.valid = true;
        int total = 0;
        int code = 0;
        for (int l = 1; l <= 16; ++l) {
            const int count = at[i + l];
            table.value_offset[l] = total - code;
            code += count;
            total += count;
            table.max_code[l] = count > 0 ? code - 1 : -1;
            if (code > (1 << l))
                return false; // more codes than bits allow
            if (code == (1 << l))
                table.valid = false; // the all-ones code, which libjpeg refuses
            code <<= 1;
        }
        if (total > 256 || i + 17 + total > length)
            return false;
        for (int k = 0; k < total; ++k) {
            table.values[k] = at[i + 17 + k];
            if (table_class == 0 && table.values[k] > 15)
                table.valid = false; // no DC difference has more than 15 bits
        }
        int first_code = 0;
        int k = 0;
        for (int l = 1; l <= 16; ++l) {
            for (int n = 0; n < at[i + l]; ++n, ++k, ++first_code) {
                if (l > fast_bits)
                    continue;
                const int spread = 1 << (fast_bits - l);
                for (int fill = 0; fill < spread; ++fill)
                    table.fast[size_t((first_code << (fast_bits - l)) | fill)] = quint16((l << 8) | table.values[k]);
            }
            first_code <<= 1;
        }
        table.present = true;
        i += 17 + total;
    }
    return i == length;
}

bool JpegEntropyWalker::read_frame(const uchar *segment, int payload)
{
    if (!frame.empty() || payload < 6 || segment[0] != 8)
        return false; // a second frame header, or not 8-bit
    height = be16(segment + 1);
    width = be16(segment + 3);
    const int count = segment[5];
    if (count < 1 || count > 4 || payload < 6 + 3 * count || width == 0 || height == 0
        || !JpegFrameLimits::within_cap(width, height))
        return false;
    for (int c = 0; c < count; ++c) {
        const uchar *at = segment + 6 + 3 * c;
        const int h = at[1] >> 4;
        const int v = at[1] & 0x0F;
        if (h < 1 || h > 4 || v < 1 || v > 4)
            return false;
        frame.push_back({at[0], h, v});
    }
    return true;
}

bool JpegEntropyWalker::read_scan(const uchar *segment, int payload, Scan &scan) const
{
    if (frame.empty() || payload < 1)
        return false;
    const int count = segment[0];
    if (count < 1 || count > 4 || payload != 1 + 2 * count + 3)
        return false;
    const uchar *selection = segment + 1 + 2 * count;
    if (selection[0] != 0 || selection[1] != 63 || selection[2] != 0)
        return false; // not a sequential scan
    int h_max = 1;
    int v_max = 1;
    for (const FrameComponent &f : frame) {
        h_max = qMax(h_max, f.h);
        v_max = qMax(v_max, f.v);
    }
    scan.components.clear();
    int blocks_in_mcu = 0;
    for (int c = 0; c < count; ++c) {
        const int id = segment[1 + 2 * c];
        const int tables = segment[2 + 2 * c];
        const auto match = std::find_if(frame.begin(), frame.end(), [id](const FrameComponent &f) { return f.id == id; });
        const bool repeated = std::any_of(scan.components.begin(), scan.components.end(),
                                          [id](const Component &known) { return known.id == id; });
        if (match == frame.end() || repeated || (tables >> 4) > 3 || (tables & 15) > 3)
            return false;
        Component component{id, match->h, match->v, tables >> 4, tables & 15};
        const Table &dc = scan.dc_tables[size_t(component.dc_table)];
        const Table &ac = scan.ac_tables[size_t(component.ac_table)];
        if (!dc.present || !dc.valid || !ac.present || !ac.valid)
            return false;
        blocks_in_mcu += component.h * component.v;
        scan.components.push_back(component);
    }
    if (count == 1) {
        // A scan of one component goes block by block over that component alone.
        const Component &only = scan.components.front();
        scan.mcu_columns = ceil_div(ceil_div(width * only.h, h_max), 8);
        scan.mcu_rows = ceil_div(ceil_div(height * only.v, v_max), 8);
        scan.components.front().h = scan.components.front().v = 1;
    } else {
        if (blocks_in_mcu > 10)
            return false;
        scan.mcu_columns = ceil_div(width, 8 * h_max);
        scan.mcu_rows = ceil_div(height, 8 * v_max);
    }
    return true;
}

JpegEntropyWalker::Segments JpegEntropyWalker::read_segments(const uchar *data, qint64 size, qint64 &at, Scan &next)
{
    qint64 i = at;
    while (i + 2 <= size) {
        if (data[i] != 0xFF)
            return Segments::Fault;
        const uchar code = data[i + 1];
        if (code == 0xFF) {
            ++i;
            continue;
        }
        if (code == 0x00)
            return Segments::Fault; // a stuffed byte: entropy data where a marker must stand
        if (code == 0xD9) {
            at = i + 2;
            return Segments::End;
        }
        if (code == 0xD8 || code == 0x01 || (code >= 0xD0 && code <= 0xD7)) {
            i += 2;
            continue;
        }
        if (i + 4 > size)
            return Segments::NeedData;
        const int length = be16(data + i + 2);
        if (length < 2)
            return Segments::Fault;
        if (i + 2 + length > size)
            return Segments::NeedData;
        const uchar *segment = data + i + 4;
        const int payload = length - 2;
        if (code == 0xC0 || code == 0xC1) {
            if (!read_frame(segment, payload))
                return Segments::Fault;
        } else if (code >= 0xC2 && code <= 0xCF && code != 0xC4 && code != 0xC8 && code != 0xCC) {
            return Segments::Fault; // progressive, lossless or arithmetic coding
        } else if (code == 0xC4) {
            if (!read_huffman_tables(segment, payload, next))
                return Segments::Fault;
        } else if (code == 0xDD) {
            if (payload < 2)
                return Segments::Fault;
            next.restart_mcus = be16(segment);
        } else if (code == 0xDA) {
            if (!read_scan(segment, payload, next))
                return Segments::Fault;
            at = i + 2 + length;
            return Segments::Scan;
        }
        i += 2 + length;
    }
    return Segments::NeedData;
}

bool JpegEntropyWalker::parse_header(const uchar *data, qint64 size)
{
    frame.clear();
    scans.clear();
    dc_map.clear(); // grown as MCUs are walked: a false start may claim any size
    if (size < 4 || data[0] != 0xFF || data[1] != 0xD8)
        return false;
    qint64 at = 2;
    Scan first;
    if (read_segments(data, size, at, first) != Segments::Scan)
        return false;
    scans.push_back(std::move(first));
    scan_start = at;
    return true;
}

const JpegEntropyWalker::Scan &JpegEntropyWalker::scan_of(const State &state) const
{
    static const Scan none;
    return state.scan >= 0 && size_t(state.scan) < scans.size() ? scans[size_t(state.scan)] : none;
}

JpegEntropyWalker::State JpegEntropyWalker::start_state() const
{
    State state;
    state.pos = scan_start;
    return state;
}

JpegEntropyWalker::Step JpegEntropyWalker::fill(State &state, const uchar *data, qint64 size, int wanted) const
{
    while (state.bits < wanted) {
        if (state.pos >= size)
            return Step::NeedData;
        uchar byte = data[state.pos];
        if (byte == 0xFF) {
            if (state.pos + 1 >= size)
                return Step::NeedData;
            if (data[state.pos + 1] != 0x00)
                return Step::Fault; // a marker where the MCU still needs bits
            state.pos += 2;
        } else {
            state.pos += 1;
        }
        state.bit_buffer = (state.bit_buffer << 8) | byte;
        state.bits += 8;
    }
    return Step::Ok;
}

JpegEntropyWalker::Step JpegEntropyWalker::decode(State &state, const uchar *data, qint64 size, const Table &table,
                                                  int *symbol) const
{
    // Most codes are short: look them up by their first bits when those are
    // at hand. Near a marker fewer may be, and the code is read bit by bit.
    if (state.bits >= fast_bits || fill(state, data, size, fast_bits) == Step::Ok) {
        const quint16 entry = table.fast[(state.bit_buffer >> (state.bits - fast_bits)) & ((1u << fast_bits) - 1u)];
        if (entry != 0) {
            state.bits -= entry >> 8;
            state.bit_buffer &= (1u << state.bits) - 1u;
            *symbol = entry & 0xFF;
            return Step::Ok;
        }
    }
    int code = 0;
    for (int l = 1; l <= 16; ++l) {
        if (state.bits == 0) {
            const Step step = fill(state, data, size, 1);
            if (step != Step::Ok)
                return step;
        }
        --state.bits;
        code = (code << 1) | int((state.bit_buffer >> state.bits) & 1u);
        state.bit_buffer &= (1u << state.bits) - 1u;
        if (code <= table.max_code[l]) {
            *symbol = table.values[code + table.value_offset[l]];
            return Step::Ok;
        }
    }
    return Step::Fault; // no such code
}

JpegEntropyWalker::Step JpegEntropyWalker::receive(State &state, const uchar *data, qint64 size, int count,
                                                   int *value) const
{
    const Step step = fill(state, data, size, count);
    if (step != Step::Ok)
        return step;
    state.bits -= count;
    int v = int((state.bit_buffer >> state.bits) & ((1u << count) - 1u));
    state.bit_buffer &= (1u << state.bits) - 1u;
    if (v < (1 << (count - 1)))
        v -= (1 << count) - 1;
    *value = v;
    return Step::Ok;
}

JpegEntropyWalker::Step JpegEntropyWalker::decode_mcu(State &state, const uchar *data, qint64 size, const Scan &scan,
                                                      McuDc *dc)
{
    int luma_sum = 0;
    int luma_blocks = 0;
    for (size_t c = 0; c < scan.components.size() && c < state.dc.size(); ++c) {
        const Component &component = scan.components[c];
        const Table &dc_table = scan.dc_tables[size_t(component.dc_table)];
        const Table &ac_table = scan.ac_tables[size_t(component.ac_table)];
        for (int block = 0; block < component.h * component.v; ++block) {
            int category = 0;
            Step step = decode(state, data, size, dc_table, &category);
            if (step != Step::Ok)
                return step;
            if (category > 11)
                return Step::Fault;
            int diff = 0;
            if (category > 0 && (step = receive(state, data, size, category, &diff)) != Step::Ok)
                return step;
            state.dc[c] += diff;
            if (std::abs(state.dc[c]) > 2048)
                return Step::Fault;
            if (c == 0) {
                luma_sum += state.dc[c];
                ++luma_blocks;
            } else if (c < 3 && block == 0) {
                (*dc)[c] = qint16(state.dc[c]);
            }
            for (int k = 1; k < 64;) {
                int rs = 0;
                if ((step = decode(state, data, size, ac_table, &rs)) != Step::Ok)
                    return step;
                const int run = rs >> 4;
                const int bits = rs & 15;
                if (bits == 0) {
                    if (run != 15)
                        break; // end of block
                    k += 16;
                    if (k > 63)
                        return Step::Fault;
                    continue;
                }
                if (bits > 10)
                    return Step::Fault;
                k += run;
                if (k > 63)
                    return Step::Fault; // a run past the end of the block
                int value = 0;
                if ((step = receive(state, data, size, bits, &value)) != Step::Ok)
                    return step;
                ++k;
            }
        }
    }
    (*dc)[0] = qint16(luma_blocks > 0 ? luma_sum / luma_blocks : 0);
    return Step::Ok;
}

JpegEntropyWalker::Step JpegEntropyWalker::read_restart(State &state, const uchar *data, qint64 size,
                                                        const Scan &scan) const
{
    // Only the padding bits of the last byte may be left: a whole byte more
    // is data no MCU used (libjpeg's "extraneous bytes before marker"), and
    // taking it would make the answer depend on where the bytes were cut.
    if (state.bits >= 8)
        return Step::Fault;
    state.bits = 0;
    state.bit_buffer = 0;
    if (state.pos + 1 >= size)
        return Step::NeedData;
    const int expected = 0xD0 + ((state.mcu / scan.restart_mcus - 1) & 7);
    if (data[state.pos] != 0xFF || data[state.pos + 1] != expected)
        return Step::Fault;
    state.pos += 2;
    state.dc.fill(0);
    state.last_restart_end = state.pos;
    return Step::Ok;
}

// After the last MCU of a scan: the end of image once every component of
// the frame has had its scan, otherwise the next scan's header.
JpegEntropyWalker::Step JpegEntropyWalker::read_end(State &state, const uchar *data, qint64 size)
{
    if (state.bits >= 8)
        return Step::Fault; // bytes no MCU used, as before a restart marker
    state.bits = 0;
    state.bit_buffer = 0;
    size_t scanned = 0;
    for (int k = 0; k <= state.scan; ++k)
        scanned += scans[size_t(k)].components.size();
    if (scanned >= frame.size()) {
        if (state.pos + 1 >= size)
            return Step::NeedData;
        if (data[state.pos] != 0xFF || data[state.pos + 1] != 0xD9)
            return Step::Fault;
        state.pos += 2;
        state.finished = true;
        return Step::Ok;
    }
    Scan next;
    const Scan &current = scans[size_t(state.scan)];
    next.dc_tables = current.dc_tables;
    next.ac_tables = current.ac_tables;
    next.restart_mcus = current.restart_mcus;
    qint64 at = state.pos;
    const Segments read = read_segments(data, size, at, next);
    if (read == Segments::NeedData)
        return Step::NeedData;
    if (read != Segments::Scan)
        return Step::Fault;
    // A sequential stream codes every component in exactly one scan.
    for (int k = 0; k <= state.scan; ++k)
        for (const Component &earlier : scans[size_t(k)].components)
            for (const Component &now : next.components)
                if (earlier.id == now.id)
                    return Step::Fault;
    // The scans after this one were read from other bytes (another join).
    scans.resize(size_t(state.scan) + 1);
    scans.push_back(std::move(next));
    ++state.scan;
    state.mcu = 0;
    state.dc.fill(0);
    state.pos = at;
    return Step::Ok;
}

void JpegEntropyWalker::note_dc(int mcu, const McuDc &dc)
{
    if (mcu >= dc_map_limit)
        return;
    if (size_t(mcu) >= dc_map.size())
        dc_map.resize(qMin<size_t>(size_t(qMin(mcu_count(), dc_map_limit)), qMax<size_t>(4096, dc_map.size() * 2)));
    dc_map[size_t(mcu)] = dc;
}

JpegEntropyWalker::Outcome JpegEntropyWalker::walk(State &state, const uchar *data, qint64 size, int mcu_limit,
                                                   qint64 *fault_at)
{
    const auto fault = [&] {
        if (fault_at)
            *fault_at = state.pos;
        return Outcome::Fault;
    };
    if (scans.empty() || state.scan < 0 || size_t(state.scan) >= scans.size())
        return fault();
    const int first_scan = state.scan;
    int until_interrupt = interrupt_every;
    while (!state.finished) {
        if (interrupted && --until_interrupt <= 0) {
            until_interrupt = interrupt_every;
            if (interrupted())
                return Outcome::Interrupted;
        }
        ++walked;
        const State before = state;
        if (state.mcu == scans[size_t(state.scan)].mcu_count()) {
            const Step step = read_end(state, data, size);
            if (step == Step::NeedData) {
                state = before;
                return Outcome::NeedData;
            }
            if (step == Step::Fault)
                return fault();
            continue;
        }
        if (mcu_limit >= 0 && (state.scan != first_scan || state.mcu >= mcu_limit))
            return Outcome::NeedData;
        const Scan &scan = scans[size_t(state.scan)];
        Step step = Step::Ok;
        if (scan.restart_mcus > 0 && state.mcu > 0 && state.mcu % scan.restart_mcus == 0)
            step = read_restart(state, data, size, scan);
        McuDc dc{};
        if (step == Step::Ok)
            step = decode_mcu(state, data, size, scan, &dc);
        if (step == Step::NeedData) {
            state = before;
            return Outcome::NeedData;
        }
        if (step == Step::Fault)
            return fault();
        if (state.scan == 0)
            note_dc(state.mcu, dc);
        ++state.mcu;
    }
    return Outcome::Finished;
}
