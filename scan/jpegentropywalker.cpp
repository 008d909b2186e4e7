#include "jpegentropywalker.h"

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

bool JpegEntropyWalker::read_huffman_tables(const uchar *at, qint64 length)
{
    qint64 i = 0;
    while (i + 17 <= length) {
        const int table_class = at[i] >> 4;
        const int id = at[i] & 0x0F;
        if (table_class > 1 || id > 3)
            return false;
        Table &table = table_class == 0 ? dc_tables[id] : ac_tables[id];
        table = Table{};
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
            code <<= 1;
        }
        if (total > 256 || i + 17 + total > length)
            return false;
        for (int k = 0; k < total; ++k)
            table.values[k] = at[i + 17 + k];
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

bool JpegEntropyWalker::parse_header(const uchar *data, qint64 size)
{
    struct FrameComponent
    {
        int id, h, v;
    };
    std::vector<FrameComponent> frame;
    int width = 0;
    int height = 0;
    restart_mcus = 0;
    components.clear();
    if (size < 4 || data[0] != 0xFF || data[1] != 0xD8)
        return false;
    qint64 i = 2;
    while (i + 4 <= size) {
        if (data[i] != 0xFF)
            return false;
        const uchar code = data[i + 1];
        if (code == 0xFF) {
            ++i;
            continue;
        }
        if (code == 0xD8 || code == 0x01 || (code >= 0xD0 && code <= 0xD7)) {
            i += 2;
            continue;
        }
        const int length = be16(data + i + 2);
        if (length < 2 || i + 2 + length > size)
            return false;
        const uchar *segment = data + i + 4;
        const int payload = length - 2;
        if (code == 0xC0 || code == 0xC1) {
            if (payload < 6 || segment[0] != 8)
                return false;
            height = be16(segment + 1);
            width = be16(segment + 3);
            const int count = segment[5];
            if (count < 1 || count > 4 || payload < 6 + 3 * count || width == 0 || height == 0)
                return false;
            for (int c = 0; c < count; ++c) {
                const uchar *at = segment + 6 + 3 * c;
                frame.push_back({at[0], qMax(1, at[1] >> 4), qMax(1, at[1] & 0x0F)});
            }
        } else if ((code >= 0xC2 && code <= 0xCF && code != 0xC4 && code != 0xC8 && code != 0xCC) || code == 0xD9) {
            return false; // progressive, lossless or arithmetic coding
        } else if (code == 0xC4) {
            if (!read_huffman_tables(segment, payload))
                return false;
        } else if (code == 0xDD) {
            if (payload < 2)
                return false;
            restart_mcus = be16(segment);
        } else if (code == 0xDA) {
            if (frame.empty() || payload < 1)
                return false;
            const int count = segment[0];
            if (count != int(frame.size()) || payload < 1 + 2 * count)
                return false;
            int h_max = 1;
            int v_max = 1;
            for (const FrameComponent &f : frame) {
                h_max = qMax(h_max, f.h);
                v_max = qMax(v_max, f.v);
            }
            for (int c = 0; c < count; ++c) {
                const int id = segment[1 + 2 * c];
                const int tables = segment[2 + 2 * c];
                const FrameComponent *match = nullptr;
                for (const FrameComponent &f : frame)
                    if (f.id == id)
                        match = &f;
                if (!match || (tables >> 4) > 3 || (tables & 15) > 3)
                    return false;
                Component component{id, match->h, match->v, tables >> 4, tables & 15};
                if (count == 1)
                    component.h = component.v = 1;
                if (!dc_tables[component.dc_table].present || !ac_tables[component.ac_table].present)
                    return false;
                components.push_back(component);
            }
            if (count == 1) {
                mcu_columns = ceil_div(ceil_div(width * frame[0].h, h_max), 8);
                mcu_rows = ceil_div(ceil_div(height * frame[0].v, v_max), 8);
            } else {
                mcu_columns = ceil_div(width, 8 * h_max);
                mcu_rows = ceil_div(height, 8 * v_max);
            }
            scan_start = i + 2 + length;
            dc_map.clear(); // grown as MCUs are walked: a false start may claim any size
            return true;
        }
        i += 2 + length;
    }
    return false;
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

JpegEntropyWalker::Step JpegEntropyWalker::decode_mcu(State &state, const uchar *data, qint64 size, McuDc *dc)
{
    int luma_sum = 0;
    int luma_blocks = 0;
    for (size_t c = 0; c < components.size(); ++c) {
        const Component &component = components[c];
        const Table &dc_table = dc_tables[component.dc_table];
        const Table &ac_table = ac_tables[component.ac_table];
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

JpegEntropyWalker::Step JpegEntropyWalker::read_restart(State &state, const uchar *data, qint64 size) const
{
    state.bits = 0; // the padding bits of the last byte
    state.bit_buffer = 0;
    if (state.pos + 1 >= size)
        return Step::NeedData;
    const int expected = 0xD0 + ((state.mcu / restart_mcus - 1) & 7);
    if (data[state.pos] != 0xFF || data[state.pos + 1] != expected)
        return Step::Fault;
    state.pos += 2;
    state.dc.fill(0);
    state.last_restart_end = state.pos;
    return Step::Ok;
}

JpegEntropyWalker::Step JpegEntropyWalker::read_end(State &state, const uchar *data, qint64 size) const
{
    state.bits = 0;
    state.bit_buffer = 0;
    if (state.pos + 1 >= size)
        return Step::NeedData;
    if (data[state.pos] != 0xFF || data[state.pos + 1] != 0xD9)
        return Step::Fault;
    state.pos += 2;
    state.finished = true;
    return Step::Ok;
}

JpegEntropyWalker::Outcome JpegEntropyWalker::walk(State &state, const uchar *data, qint64 size, int mcu_limit,
                                                   qint64 *fault_at)
{
    const auto fault = [&] {
        if (fault_at)
            *fault_at = state.pos;
        return Outcome::Fault;
    };
    while (!state.finished) {
        const State before = state;
        if (state.mcu == mcu_count()) {
            const Step step = read_end(state, data, size);
            if (step == Step::NeedData) {
                state = before;
                return Outcome::NeedData;
            }
            if (step == Step::Fault)
                return fault();
            break;
        }
        if (mcu_limit >= 0 && state.mcu >= mcu_limit)
            return Outcome::NeedData;
        Step step = Step::Ok;
        if (restart_mcus > 0 && state.mcu > 0 && state.mcu % restart_mcus == 0)
            step = read_restart(state, data, size);
        McuDc dc{};
        if (step == Step::Ok)
            step = decode_mcu(state, data, size, &dc);
        if (step == Step::NeedData) {
            state = before;
            return Outcome::NeedData;
        }
        if (step == Step::Fault)
            return fault();
        if (size_t(state.mcu) >= dc_map.size())
            dc_map.resize(qMin<size_t>(size_t(mcu_count()), qMax<size_t>(4096, dc_map.size() * 2)));
        dc_map[size_t(state.mcu)] = dc;
        ++state.mcu;
    }
    return Outcome::Finished;
}
