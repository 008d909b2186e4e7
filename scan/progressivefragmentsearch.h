#pragma once

#include "fragmentsearch.h"
#include "progressiveentropywalker.h"

#include <QByteArray>
#include <QList>

#include <functional>
#include <vector>

// Puts a broken progressive JPEG candidate back together. Each scan of a
// progressive photo covers the whole picture, so a photo's rows cannot be
// judged one by one: libjpeg reads the coefficients of every trial that
// may hold, from the photo's start. The progressive entropy walker, kept at
// each break, rules out first, in microseconds, the continuations whose
// data goes wrong soon after the join. It shares the reader, the budget and
// the limits of the FragmentSearch it serves, and lives for one candidate.
class ProgressiveFragmentSearch
{
public:
    // A progressive trial decodes the photo from its start, so it looks less
    // far after a break than the walker does.
    static constexpr int plausible_sectors = 64;
    // Each trial decodes the photo from its start: at most so many from one break.
    static constexpr int trials_per_break = 160;
    // How far a photo must read on past a join before a further piece is
    // looked for behind it.
    static constexpr qint64 run_past_join = 2048;
    // Sectors before the decoder's fault that may hold the break: libjpeg
    // meets the damage some way after it begins.
    static constexpr int break_candidates = 8;

    explicit ProgressiveFragmentSearch(FragmentSearch &search);

    FragmentSearch::Outcome resolve(qint64 start, const QByteArray &candidate);

private:
    // The walker kept at each break of one piece: a trial walks only the
    // bytes from the break's MCU on, not the photo before it.
    class BreakWalks
    {
    public:
        BreakWalks(const QByteArray &stream, const QList<qint64> &breaks);
        struct Walked
        {
            ProgressiveEntropyWalker::Outcome outcome = ProgressiveEntropyWalker::Outcome::NeedData;
            qint64 reached = -1; // in the joined stream: the fault, or the end of the walk
            qint64 read = 0;     // bytes of the continuation read
        };
        qint64 at(int break_index) const { return breaks[break_index]; }
        // The walker follows the piece to the break.
        bool follows(int break_index) const { return kinds[size_t(break_index)] == Kind::Kept; }
        // The piece's own data goes wrong before the break: no continuation mends it.
        bool impossible(int break_index) const { return kinds[size_t(break_index)] == Kind::Impossible; }
        // Walks on from a break the walker follows into the continuation,
        // read by length from continuation, room bytes at most, until the
        // photo ends, goes wrong or the bytes run out.
        Walked walk_on(int break_index, const std::function<QByteArray(qint64)> &continuation, qint64 room);
        qint64 blocks_walked() const { return walker.blocks_walked(); }

    private:
        enum class Kind { Unknown, Impossible, Kept };
        const QByteArray &stream;
        const QList<qint64> &breaks;
        ProgressiveEntropyWalker walker;
        std::vector<Kind> kinds;
        std::vector<ProgressiveEntropyWalker::Checkpoint> kept;
        size_t mark = 0;
        int scans_kept = 1;
        QByteArray trial;
    };

    struct Joined
    {
        bool ruled_out = false; // the photo goes wrong soon after the join
        JpegDecodeCheck::Coefficients read;
        qint64 length = 0; // bytes of the continuation read
    };
    Joined try_join(BreakWalks &walks, int break_index, const QByteArray &stream, qint64 continuation);

    // read: the stream's coefficients as JpegDecodeCheck read them.
    bool assemble(const QByteArray &stream, const JpegDecodeCheck::Coefficients &read, VolumeExtents pieces,
                  qint64 piece_start, FragmentSearch::Outcome *outcome);
    QList<qint64> breaks_of(const QByteArray &stream, qint64 piece_start, qint64 fault, qint64 volume_of_stream) const;

    FragmentSearch &search;
    qint64 entropy_from = 0; // the photo's first scan data, in its stream
    // The first piece's trials that read on far enough to be followed: the
    // break, the continuation's sector and length, what was read.
    struct Trial
    {
        qint64 at;
        qint64 continuation;
        qint64 length;
        JpegDecodeCheck::Coefficients read;
    };
    std::vector<Trial> first_piece_trials;
    bool first_piece_trials_known = false;
};
