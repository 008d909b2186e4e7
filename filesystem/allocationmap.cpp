#include "allocationmap.h"

#include <limits>

void AllocationMap::add_used(qint64 offset, qint64 length)
{
    if (offset < 0 || length <= 0)
        return;
    qint64 start = offset;
    qint64 end = offset + length;
    auto run = used.upperBound(start);
    if (run != used.begin() && std::prev(run).value() >= start) {
        --run;
        start = run.key();
    }
    while (run != used.end() && run.key() <= end) {
        end = qMax(end, run.value());
        run = used.erase(run);
    }
    used.insert(start, end);
}

qint64 AllocationMap::used_until(qint64 offset) const
{
    auto run = used.upperBound(offset);
    if (run == used.begin())
        return offset;
    --run;
    return run.value() > offset ? run.value() : offset;
}

qint64 AllocationMap::free_until(qint64 offset) const
{
    if (used_until(offset) != offset)
        return offset;
    const auto next = used.upperBound(offset);
    return next == used.end() ? std::numeric_limits<qint64>::max() : next.key();
}

void AllocationMap::add_deleted(qint64 offset, qint64 length)
{
    if (offset < 0 || length <= 0 || offset > std::numeric_limits<qint64>::max() - length)
        return;
    for (auto run = deleted.constFind(offset); run != deleted.cend() && run.key() == offset; ++run)
        if (run.value() == offset + length)
            return;
    deleted.insert(offset, offset + length);
}

qint64 AllocationMap::next_deleted_after(qint64 offset) const
{
    const auto next = deleted.upperBound(offset);
    return next == deleted.end() ? std::numeric_limits<qint64>::max() : next.key();
}
