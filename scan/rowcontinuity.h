#pragma once

#include "jpegentropywalker.h"

#include <vector>

// Whether a photo's picture runs on across a join, judged from the DC
// values of its MCUs as the entropy walker notes them: neighbouring rows
// differ about as much after the join as before it. The row after the join
// can be judged while it is walked: once its steps add up to more than the
// whole row may hold, no later MCU can make it continuous.
//
// The picture may have an edge of its own along a row of MCUs right below
// the join. A seam runs along the boundary between two rows only on one side
// of the join's column and along the next boundary on the other side (a
// stair); an edge the picture has runs along one boundary all the way
// across. So a step across the join that the same boundary shows on the far
// side of the join's column, by the same shade, is an edge, not a seam.
class RowContinuity
{
public:
    using Map = std::vector<JpegEntropyWalker::McuDc>;

    // before: the DC map of the walk up to the join. wide: MCUs in a row;
    // row_end: where the row after the join ends (the join one row on, or
    // the end of the scan).
    RowContinuity(const Map &before, int wide, int join_mcu, int row_end);

    // after: the map of the trial from the join on, walked up to end_mcu.
    bool holds(const Map &after, int end_mcu) const;
    // False once the MCUs up to walked_to already step more than the row
    // may, whether or not an edge runs along it.
    bool may_hold(const Map &after, int walked_to);
    // Whether the steps of the row after the join are an edge along it, once
    // the walk reached walked_to: the far side of the join's column on the
    // row below tells the shade of the lower boundary. Fails when the row may
    // hold no edge at all.
    bool holds_as_edge(const Map &after, int walked_to) const;

    // A boundary's shade is told from so many MCUs or more; over fewer, the
    // steps across the join count as they are.
    static constexpr int shortest_edge = 6;

private:
    using Shade = std::array<int, 3>;

    JpegEntropyWalker::McuDc step(const Map &after, int mcu) const;
    qint64 steps(const Map &after, int from, int to) const;
    qint64 steps_off(const Map &after, int from, int to, const Shade &shade) const;
    Shade shade_of(const Map &after, int from, int to) const;
    qint64 edge_steps_at_least(const Map &after, int to) const;
    bool judged(const Map &after, int end_mcu) const;
    int row_break() const { return (join / wide + 1) * wide; }

    const Map &before;
    int wide;
    int join;
    double allowed_mean = -1; // negative: no rows above to judge by
    qint64 sum_so_far = 0;
    int summed_to = 0;
    int row_end = 0;
};
