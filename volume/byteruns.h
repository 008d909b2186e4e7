#pragma once

#include <cstdint>
#include <iterator>
#include <map>
#include <utility>
#include <vector>

// Runs of a volume's bytes, start to end, disjoint: runs claimed that touch
// or overlap merge into one. Plain C++, so the helper programs use it too.
class ByteRuns
{
public:
    bool overlaps(const std::vector<std::pair<int64_t, int64_t>> &runs) const
    {
        for (const auto &[offset, length] : runs) {
            auto next = spans.upper_bound(offset);
            if (next != spans.end() && next->first < offset + length)
                return true;
            if (next != spans.begin() && std::prev(next)->second > offset)
                return true;
        }
        return false;
    }

    bool holds(int64_t offset) const
    {
        auto next = spans.upper_bound(offset);
        return next != spans.begin() && std::prev(next)->second > offset;
    }

    void claim(int64_t offset, int64_t length)
    {
        if (length <= 0)
            return;
        int64_t start = offset;
        int64_t end = offset + length;
        auto at = spans.upper_bound(start);
        if (at != spans.begin() && std::prev(at)->second >= start)
            --at;
        while (at != spans.end() && at->first <= end) {
            start = std::min(start, at->first);
            end = std::max(end, at->second);
            at = spans.erase(at);
        }
        spans.emplace(start, end);
    }

    const std::map<int64_t, int64_t> &all() const { return spans; }

private:
    std::map<int64_t, int64_t> spans;
};
