#pragma once

#include "huffmanbitreader.h"
#include "jpegmarkerreader.h"
#include "jpegscanheader.h"

#include <QtGlobal>

#include <array>
#include <functional>
#include <vector>

// Follows the entropy-coded data of a baseline (sequential Huffman) JPEG one
// MCU at a time without making pixels: cheap enough to try thousands of
// places where a broken photo might go on. It stops at the first thing valid
// data never holds (a Huffman code that does not exist, a coefficient run
// past the end of a block, a DC value out of range, a marker other than the
// next restart marker in sequence) and notes each MCU's DC values, so the
// caller can see whether the picture stays continuous across a join. Its
// state is a small value: save it where the data of one piece ends and walk
// on from there over the bytes of another. Headers are read as strictly as
// libjpeg reads them: one frame header, at most four components in a scan,
// each of them in the frame, and Huffman tables libjpeg would build. A
// stream whose components come in scans of their own is followed scan by
// scan.
class JpegEntropyWalker
{
public:
    // Interrupted: the interrupt function asked to stop.
    enum class Outcome { Finished, Fault, NeedData, Interrupted };

    // Asked every few hundred MCUs; true ends a walk with Outcome::Interrupted.
    using Interrupt = std::function<bool()>;
    // MCUs whose DC values are noted: beyond them a photo's DC map would
    // cost more than a candidate may hold (6 MiB a copy).
    static constexpr int dc_map_limit = 1 << 20;
    // MCUs walked between two calls of the interrupt function.
    static constexpr int interrupt_every = 256;

    struct State
    {
        qint64 pos = 0;        // next byte of the data passed to walk()
        quint32 bit_buffer = 0;
        int bits = 0;
        int scan = 0;          // scans finished before the one being walked
        int mcu = 0;           // MCUs of this scan decoded so far
        std::array<int, 4> dc{}; // one predictor for each component of the scan, at most four
        qint64 last_restart_end = -1; // just past the last restart marker met, in the data walked
        bool finished = false;
    };

    // Reads the header up to the first start of scan; false when the stream
    // is not a baseline Huffman JPEG this walker follows (progressive,
    // arithmetic, a header cut short) or not one libjpeg would decode.
    bool parse_header(const uchar *data, qint64 size);
    void set_interrupt(Interrupt interrupt) { interrupted = std::move(interrupt); }

    qint64 entropy_start() const { return scan_start; }
    // The first scan's MCUs, the ones the DC map notes.
    int mcus_wide() const { return scans.empty() ? 0 : scans.front().mcu_columns; }
    int mcu_count() const { return scans.empty() ? 0 : scans.front().mcu_count(); }
    // The MCUs of the scan a state stands in.
    int mcus_wide(const State &state) const { return scan_of(state).mcu_columns; }
    int mcu_count(const State &state) const { return scan_of(state).mcu_count(); }
    // Components left for later scans: tables and scan headers stand between
    // the scans' data.
    bool has_later_scans() const
    {
        return !scans.empty() && scans.front().components.size() < size_t(frame.component_count);
    }
    // Each MCU's DC values: the mean of its first component's blocks, and the
    // next two components' first blocks.
    using McuDc = std::array<qint16, 3>;
    const std::vector<McuDc> &mcu_dc() const { return dc_map; }

    // MCUs this walker has walked over all its walks: what its work cost.
    qint64 mcus_walked() const { return walked; }

    // The state at the start of the entropy-coded data.
    State start_state() const;

    // Walks MCUs from state over data[state.pos, size) until the image ends
    // (its end-of-image marker read), a fault, or the data runs out. Given an
    // mcu_limit, it stops early with Outcome::NeedData once state.mcu reaches
    // it or the walk enters the next scan. On NeedData the state stands at
    // the start of the MCU that could not be completed. On Fault, fault_at is
    // where it was seen.
    Outcome walk(State &state, const uchar *data, qint64 size, int mcu_limit = -1, qint64 *fault_at = nullptr);

private:
    using Table = HuffmanBitReader::Table;
    using Scan = JpegScanHeader;
    using Component = JpegScanHeader::Component;
    using Step = HuffmanBitReader::Step;
    enum class Segments { Scan, Fault, NeedData };

    // The marker segments from at up to and with the next start of scan (or
    // the end of image), the scan read into next; at is moved past them.
    Segments read_segments(const uchar *data, qint64 size, qint64 &at, Scan &next);
    bool read_frame(uchar code, const uchar *segment, qint64 payload);
    bool read_scan(const uchar *segment, int payload, Scan &scan) const;
    const Scan &scan_of(const State &state) const;
    // The bit reader's part of a State, held in locals while an MCU is
    // walked: the data's bytes may alias anything, so the state itself would
    // be stored and loaded again around every byte read.
    using Cursor = HuffmanBitReader::Cursor;
    Step decode_blocks(Cursor &cursor, State &state, const uchar *data, qint64 size, const Scan &scan, McuDc *dc);
    Step decode_mcu(State &state, const uchar *data, qint64 size, const Scan &scan, McuDc *dc);
    Step read_restart(State &state, const uchar *data, qint64 size, const Scan &scan) const;
    Step read_end(State &state, const uchar *data, qint64 size);
    Step read_image_end(State &state, const uchar *data, qint64 size) const;
    void note_dc(int mcu, const McuDc &dc);

    JpegFrameHeader frame;
    std::vector<Scan> scans; // as far as they have been read
    qint64 scan_start = 0;
    std::vector<McuDc> dc_map;
    Interrupt interrupted;
    qint64 walked = 0;
};
