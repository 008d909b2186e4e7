#pragma once

#include "jpegentropywalker.h"

#include <vector>

// Whether a photo's picture runs on across a join, judged from the DC
// values of its MCUs as the entropy walker notes them: neighbouring rows
// differ about as much after the join as before it. The row after the join
// can be judged while it is walked: once its steps add up to more than the
// whole row may hold, no later MCU can make it continuous.
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
    // False once the MCUs up to walked_to already step more than the row may.
    bool may_hold(const Map &after, int walked_to);

private:
    qint64 steps(const Map &after, int from, int to) const;
    bool judged(const Map &after, int end_mcu) const;

    const Map &before;
    int wide;
    int join;
    double allowed_mean = -1; // negative: no rows above to judge by
    qint64 sum_so_far = 0;
    int summed_to = 0;
};
