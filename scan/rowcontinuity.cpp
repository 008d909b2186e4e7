#include "rowcontinuity.h"

#include <cstdlib>

// Neighbouring rows of a photo differ about as much after the join as before
// it, in brightness and in colour; data decoded from the wrong place jumps.
bool RowContinuity::holds_across(const std::vector<JpegEntropyWalker::McuDc> &prefix_dc,
                                 const std::vector<JpegEntropyWalker::McuDc> &dc, int wide, int join_mcu,
                                 int end_mcu)
{
    wide = qMax(1, wide);
    // Beyond the MCUs the map notes, joins are judged by their decoding alone.
    if (size_t(qMin(end_mcu, join_mcu + wide)) > dc.size() || size_t(join_mcu) > prefix_dc.size())
        return true;
    // Trials overwrite the walker's map from their join on; before it the
    // map of the walk that found the breaks holds.
    const auto at = [&](int i) { return i < join_mcu ? prefix_dc[size_t(i)] : dc[size_t(i)]; };
    const auto vertical_step = [&](int from, int to) {
        qint64 sum = 0;
        int count = 0;
        for (int i = qMax(from, wide); i < to; ++i) {
            const JpegEntropyWalker::McuDc here = at(i);
            const JpegEntropyWalker::McuDc above = at(i - wide);
            sum += std::abs(here[0] - above[0]) + std::abs(here[1] - above[1]) + std::abs(here[2] - above[2]);
            ++count;
        }
        return count > 0 ? double(sum) / count : -1.0;
    };
    // One row of MCUs from the join on: further down the photo may have
    // edges of its own.
    const double before = vertical_step(qMax(0, join_mcu - 4 * wide), join_mcu);
    const double after = vertical_step(join_mcu, qMin(end_mcu, join_mcu + wide));
    if (before < 0 || after < 0)
        return true;
    return after <= 3.0 * before + 4.0;
}
