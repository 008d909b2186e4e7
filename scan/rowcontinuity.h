#pragma once

#include "jpegentropywalker.h"

#include <vector>

// Whether a photo's picture runs on across a join, judged from the DC
// values of its MCUs as the entropy walker notes them.
class RowContinuity
{
public:
    // before: the DC map of the walk up to the join; after: the map of the
    // trial from the join on. wide: MCUs in a row.
    static bool holds_across(const std::vector<JpegEntropyWalker::McuDc> &before,
                             const std::vector<JpegEntropyWalker::McuDc> &after, int wide, int join_mcu, int end_mcu);
};
