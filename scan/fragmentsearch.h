#pragma once

#include "candidateextent.h"
#include "jpegdecodecheck.h"
#include "jpegentropywalker.h"
#include "rowcontinuity.h"
#include "sectorscreen.h"
#include "volumeextent.h"
#include "volumereadcache.h"

#include <QByteArray>
#include <QList>

#include <functional>
#include <vector>

// Puts a broken JPEG candidate back together from its pieces. The candidate
// is followed MCU by MCU until its data goes wrong; the break is the sector
// boundary where foreign bytes begin. The sectors after the break are then
// tried in volume order, skipping those that live files or photos already
// found occupy and those that cannot be entropy-coded data: joined there, the
// data must go on decoding for several MCU rows, the picture must stay
// continuous across the join, and in the end the whole stream must decode.
// Up to three pieces. When nothing passes, only the valid leading part is
// left to offer.
class FragmentSearch
{
public:
    // Bytes of the volume from offset; fewer at its end.
    using Reader = std::function<QByteArray(qint64 offset, qint64 length)>;
    // The end of the occupied run (live file, photo already found) that holds
    // the byte at offset; offset itself when it is free.
    using Occupied = std::function<qint64(qint64 offset)>;

    struct Outcome
    {
        VolumeExtents pieces;    // two or more: the photo put back together
        QByteArray stream;       // its bytes, when pieces is set
        qint64 valid_length = 0; // otherwise: the bytes of the candidate before its data went wrong
        int valid_mcu_rows = -1; // MCU rows within valid_length; -1 when the walker cannot follow the stream
    };

    static constexpr qint64 sector = SectorScreen::sector;
    static constexpr qint64 default_window = 32 * 1024 * 1024;
    static constexpr int max_pieces = 3;
    // Where the walk of a piece stands is noted every so many MCUs: the
    // walk to its breaks starts from the last note before them.
    static constexpr int mcus_between_notes = 16;
    static constexpr int rows_past_join = 3;
    static constexpr int break_candidates = 3;
    // A join's first row of MCUs is walked so many at a time, its picture
    // judged after each step.
    static constexpr int mcus_judged_together = 2;
    // What one candidate may cost, in MCUs walked or read: counted in work,
    // not in seconds, the search ends the same way on a busy machine and an
    // idle one. About a second of a core.
    static constexpr qint64 work_budget = 8 * 1000 * 1000;
    // A libjpeg trial reports every row of MCUs it reads: so many MCUs each.
    static constexpr qint64 decoder_row_work = 128;
    // A piece follows the break within the first so many free sectors that
    // could be entropy-coded data: file systems put the next piece into the
    // next free clusters, and a search past them finds other photos' data.
    static constexpr int plausible_sectors = 4096;
    static constexpr int plausible_sectors_deeper = 512; // from the second piece's break
    static constexpr int plausible_sectors_near = 256;
    // A third piece is looked for behind at most so many second pieces, and
    // at most so many joins that pass the join test are followed from one
    // break.
    static constexpr int second_pieces_followed = 8;
    static constexpr int joins_followed = 256;
    static constexpr int joins_followed_deeper = 64; // from the second piece's break
    // What is read again of a progressive candidate, which the walker cannot follow.
    static constexpr qint64 progressive_limit = 16 * 1024 * 1024;
    // A progressive trial's continuation is read in steps of this, doubled
    // while the photo still reads on at the end of it.
    static constexpr qint64 continuation_step = 64 * 1024;
    // A last piece shorter than this proves too little to offer the photo
    // whole: its top part is offered instead.
    static constexpr qint64 smallest_proof = 2048;

    // True when the search must end at once (the scan was stopped).
    using Stopped = std::function<bool()>;

    FragmentSearch(Reader reader, Occupied occupied, Stopped stopped = {});

    void set_window(qint64 bytes) { window = bytes; }
    // What the last resolve cost, in the units of work_budget.
    qint64 work_done() const { return work + walker.mcus_walked() - walked_before; }
    // Off: only the valid leading part is found (for comparisons).
    void set_search_enabled(bool on) { search_enabled = on; }
    // Looks for further pieces only among the first plausible_sectors_near
    // sectors after each break.
    void set_near_only(bool on) { near_only = on; }

    // stream: the candidate's bytes from its first byte (at volume offset
    // start) as far as the carver took them.
    Outcome resolve(qint64 start, const QByteArray &stream);

    // Whether a given-up candidate could be (the first piece of) a photo: its
    // frame no larger than a camera makes, and codable in the bytes it has
    // and those its other pieces may add within the window.
    static bool could_be_photo(const QByteArray &candidate);

    // The sector tests of SectorScreen, for the callers that resolve candidates.
    static qint64 first_unlikely_sector(const QByteArray &stream, qint64 limit = -1)
    {
        return SectorScreen::first_unlikely_sector(stream, limit);
    }
    // A stream damaged where it lies rather than cut into pieces is offered
    // whole, as the card holds it; no search for other pieces could do better.
    static bool damaged_in_place(const QByteArray &stream, const JpegDecodeCheck::Result &decode)
    {
        return SectorScreen::damaged_in_place(stream, decode);
    }
    static qint64 first_scan_at(const QByteArray &stream, qint64 limit = -1, uchar *frame = nullptr)
    {
        return SectorScreen::first_scan_at(stream, limit, frame);
    }
    static int scans_within(const QByteArray &stream, qint64 length)
    {
        return SectorScreen::scans_within(stream, length);
    }
    // How much of a given-up candidate is worth reading again to resolve it;
    // 0 when it never reaches image data (a false start).
    static qint64 useful_length(const char *candidate, qint64 length, const Stopped &stopped = {})
    {
        return CandidateExtent::useful_length(candidate, length, default_window, progressive_limit, stopped);
    }

private:
    // Follows progressive candidates with the budget, reader and limits of this search.
    friend class ProgressiveFragmentSearch;

    struct Break
    {
        qint64 at;                      // stream offset of the break, a sector boundary
        JpegEntropyWalker::State state; // at the start of the MCU the break cuts
    };

    // The first sector in [from, to) of stream that no entropy-coded data
    // could fill, or that a live file or a photo found holds; -1 when none.
    qint64 first_foreign_sector(const QByteArray &stream, qint64 from, qint64 to, qint64 volume_of_stream,
                                bool between_scans = false) const;
    JpegEntropyWalker::Outcome walk_noting_states(JpegEntropyWalker::State &state, const QByteArray &stream,
                                                  qint64 *fault, std::vector<JpegEntropyWalker::State> *noted);
    QList<Break> break_candidates_of(const QByteArray &stream, qint64 piece_start, qint64 fault, qint64 sound,
                                     const JpegEntropyWalker::State &from,
                                     const std::vector<JpegEntropyWalker::State> &noted);
    bool assemble(QByteArray stream, VolumeExtents pieces, qint64 piece_start, JpegEntropyWalker::State state,
                  Outcome *outcome);
    // Calls try_joined for every place after the break where the data goes
    // on as it should, in volume order, until it returns true or joins_cap
    // of them led nowhere; passed_joins, when given, gets each such place.
    bool for_each_continuation(const QByteArray &stream, const QList<Break> &breaks, qint64 volume_of_stream,
                               qint64 search_from, int joins_cap,
                               const std::function<bool(const Break &, qint64)> &try_joined,
                               std::vector<std::pair<int, qint64>> *passed_joins = nullptr);
    RowContinuity row_after(const Break &at) const;
    bool join_holds(const QByteArray &stream, const Break &at, RowContinuity row, const uchar *more,
                    qint64 more_length);
    bool proves_little(const JpegEntropyWalker::State &joined_at, qint64 piece_length) const;
    bool seams_hold(const QByteArray &stream);
    qint64 bytes_per_mcu(const Break &at) const;
    // The candidate's work is spent or the scan was stopped: every walk and
    // every trial asks.
    bool out_of_time() const
    {
        return unprovable || work + walker.mcus_walked() - walked_before > work_budget || (stopped && stopped());
    }
    bool charge(qint64 units)
    {
        work += units;
        return out_of_time();
    }

    VolumeReadCache cache;
    Occupied occupied;
    Stopped stopped;
    JpegEntropyWalker walker;
    qint64 window = default_window;
    qint64 window_end = 0;
    qint64 first_break = -1;
    int piece_limit = max_pieces;
    int first_break_rows = 0;
    bool search_enabled = true;
    bool near_only = false;
    qint64 work = 0;          // trials' copies and libjpeg's rows
    qint64 walked_before = 0; // the walker's count when the candidate began
    int second_pieces = 0; // followed in search of a third
    std::vector<JpegEntropyWalker::State> joins; // of the pieces being tried, where each begins
    bool unprovable = false; // a join lies where the picture cannot tell its own data from others'
    QByteArray trial;
    // Where the first piece's joins passed the join test (break, sector), once
    // the search for two pieces went through them all.
    std::vector<std::pair<int, qint64>> first_piece_joins;
    bool first_piece_joins_known = false;
    std::vector<JpegEntropyWalker::McuDc> prefix_dc;
};
