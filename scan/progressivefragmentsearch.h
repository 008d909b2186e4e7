#pragma once

#include "fragmentsearch.h"

#include <QByteArray>
#include <QList>

#include <vector>

// Puts a broken progressive JPEG candidate back together. Each scan of a
// progressive photo covers the whole picture, so the entropy walker cannot
// follow one: libjpeg reads the coefficients of every trial instead, from
// the photo's start. It shares the reader, the budget and the limits of the
// FragmentSearch it serves, and lives for one candidate.
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
