#pragma once

#include "huffmanbitreader.h"
#include "progressivejpegheaders.h"

#include <QtGlobal>

#include <array>
#include <utility>
#include <vector>

// Follows the Huffman-coded scans of a progressive JPEG stream without
// making coefficients, and stops where valid data never goes: a code that
// does not exist, a run of coefficients or of empty blocks past the end of
// its band, scan or restart interval, a DC value out of range, a
// refinement that is no single bit, a marker out of its turn, a scan whose
// data does not end where its next marker stands, a scan header libjpeg
// refuses or that breaks the progression. Of each block it keeps only which
// coefficients are nonzero, all a refinement scan needs to be read: eight
// bytes a block, and only frames libjpeg decodes within the decoders'
// memory budget are taken.
//
// A walk can be kept at any place and walked on from there over other
// bytes again and again: what it changes is noted and can be undone.
class ProgressiveEntropyWalker
{
private:
    using Table = HuffmanBitReader::Table;
    using Cursor = HuffmanBitReader::Cursor;
    using Step = HuffmanBitReader::Step;
    using Component = ProgressiveJpegHeaders::Component;
    using Scan = ProgressiveJpegHeaders::Scan;

public:
    enum class Outcome { Finished, Fault, NeedData };

    // Scans a stream may have; an encoder writes about ten.
    static constexpr int max_scans = 128;

    // How far each component's coefficients are refined: the point
    // transform of the last scan that coded each one, -1 before the first.
    using Progression = std::array<std::array<qint8, 64>, 4>;

    struct State
    {
        qint64 pos = 0;        // next byte of the stream
        quint32 bit_buffer = 0;
        int bits = 0;
        int scan = 0;          // the scan being walked
        int mcu = 0;           // its MCUs (blocks, in a scan of one component) decoded so far
        int eob_run = 0;       // blocks still to pass as empty
        std::array<int, 4> dc{};
        Progression progression;
        bool finished = false; // the end-of-image marker read
    };

    // Reads the header up to the first start of scan; false when the stream
    // is not a progressive Huffman JPEG libjpeg would decode within the
    // decoders' memory budget.
    bool parse_header(const uchar *data, qint64 size);
    qint64 entropy_start() const { return scan_start; }
    State start_state() const;
    // Every coefficient of every component refined to its last bit.
    bool complete(const State &state) const;

    // Walks from state over data, the stream's bytes from offset base on (so
    // data[0] is the stream's byte base, and state.pos at least base), until
    // the image ends, a fault, or the data runs out. On NeedData the state
    // stands at the start of the MCU, or the marker segments, that could not
    // be read whole; on Fault, fault_at is where it was seen.
    Outcome walk(State &state, const uchar *data, qint64 size, qint64 base = 0, qint64 *fault_at = nullptr);

    // Blocks walked over all walks (a run of empty blocks counts once).
    qint64 blocks_walked() const { return walked; }

    // A place of a walk that can be gone back to: the state, the scans read
    // since the walk stood at an earlier place, and what changed in between.
    struct Checkpoint
    {
        State state;
        int scans_from = 0;
        std::vector<Scan> scans;
        std::vector<std::pair<quint32, quint64>> nonzero; // block, its nonzero coefficients
    };

    // Changes from here on are noted (and can be undone back to the mark).
    size_t mark();
    void undo(size_t to_mark, int scans_kept);
    // The place state stands at, made from the walk since to_mark, which
    // stood in scan scans_kept - 1 there.
    Checkpoint checkpoint(const State &state, size_t to_mark, int scans_kept) const;
    // Goes to a checkpoint (its changes noted, so undo() leaves it again).
    void restore(const Checkpoint &checkpoint);

private:
    Step begin_scan(State &state, const Scan &scan) const;
    Step read_restart(State &state, Cursor &cursor, const uchar *data, qint64 size) const;
    Step read_end(State &state, Cursor &cursor, const uchar *data, qint64 size);

    Step dc_first(State &state, Cursor &cursor, const uchar *data, qint64 size, const Scan &scan) const;
    Step dc_refine(Cursor &cursor, const uchar *data, qint64 size, const Scan &scan) const;
    Step ac_first(State &state, Cursor &cursor, const uchar *data, qint64 size, const Scan &scan);
    Step ac_refine(State &state, Cursor &cursor, const uchar *data, qint64 size, const Scan &scan);
    int blocks_left(const State &state, const Scan &scan) const;
    void set_nonzero(quint32 block, quint64 coefficients);

    ProgressiveJpegHeaders headers;
    std::vector<Scan> scans;
    std::vector<quint64> nonzero; // of each block (as headers numbers them), its nonzero AC coefficients by zigzag index
    std::vector<std::pair<quint32, quint64>> noted; // block, its value before the change
    bool noting = false;
    Progression first_progression{};
    qint64 scan_start = 0;
    qint64 walked = 0;
};
