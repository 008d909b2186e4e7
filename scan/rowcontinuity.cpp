#include "rowcontinuity.h"

#include <algorithm>
#include <cstdlib>

RowContinuity::RowContinuity(const Map &before, int wide, int join_mcu, int row_end)
    : before(before)
    , wide(qMax(1, wide))
    , join(join_mcu)
    , summed_to(qMax(join_mcu, this->wide))
    , row_end(qMin(row_end, join_mcu + this->wide))
{
    if (size_t(join) > before.size())
        return;
    // Four rows above the join: further up the photo may have edges of its own.
    const int from = qMax(qMax(0, join - 4 * this->wide), this->wide);
    if (from >= join || this->row_end <= summed_to)
        return;
    const double mean_before = double(steps(before, from, join)) / (join - from);
    allowed_mean = 3.0 * mean_before + 4.0;
}

// Trials overwrite the walker's map from their join on; before it the map of
// the walk that found the breaks holds.
JpegEntropyWalker::McuDc RowContinuity::step(const Map &after, int mcu) const
{
    const auto at = [&](int i) { return i < join ? before[size_t(i)] : after[size_t(i)]; };
    const JpegEntropyWalker::McuDc here = at(mcu);
    const JpegEntropyWalker::McuDc above = at(mcu - wide);
    return {qint16(here[0] - above[0]), qint16(here[1] - above[1]), qint16(here[2] - above[2])};
}

qint64 RowContinuity::steps(const Map &after, int from, int to) const
{
    return steps_off(after, from, to, {0, 0, 0});
}

qint64 RowContinuity::steps_off(const Map &after, int from, int to, const Shade &shade) const
{
    qint64 sum = 0;
    for (int i = from; i < to; ++i) {
        const JpegEntropyWalker::McuDc d = step(after, i);
        sum += std::abs(d[0] - shade[0]) + std::abs(d[1] - shade[1]) + std::abs(d[2] - shade[2]);
    }
    return sum;
}

// The step a boundary shows over the MCUs [from, to), each component's
// median; none over a stretch too short to tell.
RowContinuity::Shade RowContinuity::shade_of(const Map &after, int from, int to) const
{
    Shade shade{0, 0, 0};
    from = qMax(from, wide); // the first row has no boundary above it
    if (to - from < shortest_edge)
        return shade;
    std::vector<int> component(size_t(to - from));
    for (size_t c = 0; c < 3; ++c) {
        for (int i = from; i < to; ++i)
            component[size_t(i - from)] = step(after, i)[c];
        const auto middle = component.begin() + component.size() / 2;
        std::nth_element(component.begin(), middle, component.end());
        shade[c] = *middle;
    }
    return shade;
}

// The least the row's steps off an edge can come to, from the MCUs up to to:
// on the join's own row the shade is the one the photo's own MCUs left of
// the join show; on the row below it is not known yet, and no shade makes
// the steps less than off their own median.
qint64 RowContinuity::edge_steps_at_least(const Map &after, int to) const
{
    const int from = qMax(join, wide);
    const int lower = qBound(from, row_break(), row_end);
    const int upper_to = qMin(to, lower);
    qint64 sum = steps_off(after, from, upper_to, shade_of(before, row_break() - wide, join));
    if (to > lower)
        sum += steps_off(after, lower, to, shade_of(after, lower, to));
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
    const double allowed = allowed_mean * (join + wide - qMax(join, wide));
    // Steps off an edge are counted only once the plain ones are too many.
    return sum_so_far <= allowed || edge_steps_at_least(after, end) <= allowed;
}

bool RowContinuity::holds_as_edge(const Map &after, int walked_to) const
{
    const int from = qMax(join, wide);
    if (!judged(after, row_end) || row_end <= from)
        return true;
    const int lower = qBound(from, row_break(), row_end);
    // The lower boundary's shade, right of the join's column: the row below
    // and the one above it both lie after the join.
    const int far_to = qMin(qMin(walked_to, lower + wide), int(after.size()));
    const Shade below = shade_of(after, row_end, qMax(row_end, far_to));
    const qint64 sum = steps_off(after, from, lower, shade_of(before, row_break() - wide, join))
        + steps_off(after, lower, row_end, below);
    return double(sum) / (row_end - from) <= allowed_mean;
}
