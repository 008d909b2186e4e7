#include "rowcontinuity.h"

#include <cstdlib>

RowContinuity::RowContinuity(const Map &before, int wide, int join_mcu, int row_end)
    : before(before)
    , wide(qMax(1, wide))
    , join(join_mcu)
    , summed_to(qMax(join_mcu, this->wide))
{
    if (size_t(join) > before.size())
        return;
    // Four rows above the join: further up the photo may have edges of its own.
    const int from = qMax(qMax(0, join - 4 * this->wide), this->wide);
    if (from >= join || row_end <= summed_to)
        return;
    const double mean_before = double(steps(before, from, join)) / (join - from);
    allowed_mean = 3.0 * mean_before + 4.0;
}

// Trials overwrite the walker's map from their join on; before it the map of
// the walk that found the breaks holds.
qint64 RowContinuity::steps(const Map &after, int from, int to) const
{
    const auto at = [&](int i) { return i < join ? before[size_t(i)] : after[size_t(i)]; };
    qint64 sum = 0;
    for (int i = from; i < to; ++i) {
        const JpegEntropyWalker::McuDc here = at(i);
        const JpegEntropyWalker::McuDc above = at(i - wide);
        sum += std::abs(here[0] - above[0]) + std::abs(here[1] - above[1]) + std::abs(here[2] - above[2]);
    }
    return sum;
}

bool RowContinuity::judged(const Map &after, int end_mcu) const
{
    // Beyond the MCUs the map notes, joins are judged by their decoding alone.
    return allowed_mean >= 0 && size_t(end_mcu) <= after.size();
}

bool RowContinuity::holds(const Map &after, int end_mcu) const
{
    const int end = qMin(end_mcu, join + wide);
    const int from = qMax(join, wide);
    if (!judged(after, end) || end <= from)
        return true;
    // One row of MCUs from the join on: further down the photo may have
    // edges of its own.
    return double(steps(after, from, end)) / (end - from) <= allowed_mean;
}

bool RowContinuity::may_hold(const Map &after, int walked_to)
{
    const int end = qMin(walked_to, join + wide);
    if (!judged(after, end) || end <= summed_to)
        return true;
    sum_so_far += steps(after, summed_to, end);
    summed_to = end;
    return sum_so_far <= allowed_mean * (join + wide - qMax(join, wide));
}
