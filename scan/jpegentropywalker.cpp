#include "jpegentropywalker.h"

#include "jpegframelimits.h"
#include "jpegmarkerreader.h"

#include <algorithm>
#include <cstdlib>

namespace {

int be16(const uchar *at)
{
    return (at[0] << 8) | at[1];
}

} // namespace

bool JpegEntropyWalker::read_frame(uchar code, const uchar *segment, qint64 payload)
{
    if (frame.valid())
        return false; // a second frame header: libjpeg refuses the stream
    if (!frame.parse(code, segment, payload) || !frame.sequential_huffman()
        || !JpegFrameLimits::within_cap(frame.width, frame.height)) {
        frame = {}; // progressive or arithmetic coding, or no frame a camera makes
        return false;
    }
    return true;
}

bool JpegEntropyWalker::read_scan(const uchar *segment, int payload, Scan &scan) const
{
    if (!scan.read(segment, payload, frame))
        return false;
    if (scan.ss != 0 || scan.se != 63 || scan.ah != 0 || scan.al != 0)
        return false; // not a sequential scan
    // every component decodes with both its tables
    return std::all_of(scan.components.begin(), scan.components.end(), [&scan](const Component &component) {
        if (component.dc_table > 3 || component.ac_table > 3)
            return false;
        const Table &dc = scan.dc_tables[size_t(component.dc_table)];
        const Table &ac = scan.ac_tables[size_t(component.ac_table)];
        return dc.present && dc.valid && ac.present && ac.valid;
    });
}

JpegEntropyWalker::Segments JpegEntropyWalker::read_segments(const uchar *data, qint64 size, qint64 &at, Scan &next)
{
    JpegMarkerReader markers(data, size, at);
    for (;;) {
        const JpegMarkerReader::Read read = markers.next();
        if (read != JpegMarkerReader::Read::Marker)
            return read == JpegMarkerReader::Read::Fault ? Segments::Fault : Segments::NeedData;
        const JpegMarker &marker = markers.marker();
        const uchar *segment = markers.payload();
        const qint64 payload = marker.payload_length;
        bool sound = true;
        if (marker.code == JpegMarkerReader::eoi)
            return Segments::Fault; // the image ends before its scans do
        if (JpegMarkerReader::is_frame(marker.code))
            sound = read_frame(marker.code, segment, payload);
        else if (marker.code == JpegMarkerReader::dht)
            sound = HuffmanBitReader::read_tables(segment, payload, next.dc_tables, next.ac_tables);
        else if (marker.code == JpegMarkerReader::dri) {
            sound = payload == 2;
            if (sound)
                next.restart_mcus = be16(segment);
        } else if (marker.code == JpegMarkerReader::sos) {
            if (!read_scan(segment, int(payload), next))
                return Segments::Fault;
            at = marker.end();
            return Segments::Scan;
        }
        if (!sound)
            return Segments::Fault;
    }
}

bool JpegEntropyWalker::parse_header(const uchar *data, qint64 size)
{
    frame = {};
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

Q_ALWAYS_INLINE JpegEntropyWalker::Step JpegEntropyWalker::decode_blocks(Cursor &cursor, State &state,
                                                                         const uchar *data, qint64 size,
                                                                         const Scan &scan, McuDc *dc)
{
    int luma_sum = 0;
    int luma_blocks = 0;
    for (size_t c = 0; c < scan.components.size() && c < state.dc.size(); ++c) {
        const Component &component = scan.components[c];
        const Table &dc_table = scan.dc_tables[size_t(component.dc_table)];
        const Table &ac_table = scan.ac_tables[size_t(component.ac_table)];
        for (int block = 0; block < component.h * component.v; ++block) {
            int category = 0;
            Step step = HuffmanBitReader::decode(cursor, data, size, dc_table, &category);
            if (step != Step::Ok)
                return step;
            if (category > 11)
                return Step::Fault;
            int diff = 0;
            if (category > 0 && (step = HuffmanBitReader::receive(cursor, data, size, category, &diff)) != Step::Ok)
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
                if ((step = HuffmanBitReader::decode(cursor, data, size, ac_table, &rs)) != Step::Ok)
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
                if ((step = HuffmanBitReader::receive(cursor, data, size, bits, &value)) != Step::Ok)
                    return step;
                ++k;
            }
        }
    }
    (*dc)[0] = qint16(luma_blocks > 0 ? luma_sum / luma_blocks : 0);
    return Step::Ok;
}

JpegEntropyWalker::Step JpegEntropyWalker::decode_mcu(State &state, const uchar *data, qint64 size, const Scan &scan,
                                                      McuDc *dc)
{
    Cursor cursor{state.pos, state.bit_buffer, state.bits};
    const Step step = decode_blocks(cursor, state, data, size, scan, dc);
    state.pos = cursor.at;
    state.bit_buffer = cursor.bit_buffer;
    state.bits = cursor.bits;
    return step;
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
    JpegMarker marker;
    qint64 at = state.pos;
    const JpegMarkerReader::Read read = JpegMarkerReader::read_marker(data, size, at, marker);
    if (read == JpegMarkerReader::Read::NeedData)
        return Step::NeedData;
    const int expected = 0xD0 + ((state.mcu / scan.restart_mcus - 1) & 7);
    if (read == JpegMarkerReader::Read::Fault || marker.code != expected)
        return Step::Fault;
    state.pos = at;
    state.dc.fill(0);
    state.last_restart_end = state.pos;
    return Step::Ok;
}

// Segments (a DNL, a comment) may stand between the last scan and the end
// of image; another frame or scan may not.
JpegEntropyWalker::Step JpegEntropyWalker::read_image_end(State &state, const uchar *data, qint64 size) const
{
    JpegMarkerReader markers(data, size, state.pos);
    for (;;) {
        const JpegMarkerReader::Read read = markers.next();
        if (read != JpegMarkerReader::Read::Marker)
            return read == JpegMarkerReader::Read::Fault ? Step::Fault : Step::NeedData;
        const uchar code = markers.marker().code;
        if (code == JpegMarkerReader::eoi)
            break;
        if (code == JpegMarkerReader::sos || JpegMarkerReader::is_frame(code) || JpegMarkerReader::is_restart(code))
            return Step::Fault;
    }
    state.pos = markers.position();
    state.finished = true;
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
    if (scanned >= size_t(frame.component_count))
        return read_image_end(state, data, size);
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
