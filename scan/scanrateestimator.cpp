#include "scanrateestimator.h"

#include <algorithm>
#include <cmath>

void ScanRateEstimator::start(qint64 total_bytes, qint64 now_ms, qint64 from_bytes)
{
    total = total_bytes;
    started_ms = now_ms;
    start_bytes = from_bytes;
    samples.clear();
    projections.clear();
    samples.push_back({now_ms, from_bytes});
}

void ScanRateEstimator::update(qint64 done_bytes, qint64 now_ms)
{
    if (samples.empty())
        start(total, now_ms, start_bytes);
    samples.push_back({now_ms, done_bytes});
    // Keep one sample at or before the window's start, so the window stays
    // whole even when blocks come seconds apart. The window never reaches
    // into the warm-up, whose cached blocks would make the card look faster.
    const qint64 window_start = qMax(now_ms - window_ms, started_ms + warm_up_ms);
    while (samples.size() > 2 && samples[1].ms <= window_start)
        samples.pop_front();
    project(now_ms);
}

void ScanRateEstimator::project(qint64 now_ms)
{
    const std::optional<qint64> left = raw_seconds_left();
    if (!left) {
        projections.clear();
        return;
    }
    projections.push_back({now_ms, double(now_ms) + double(*left) * 1000.0});
    while (int(projections.size()) > steady_projections && projections.front().ms < now_ms - steady_ms)
        projections.pop_front();
}

bool ScanRateEstimator::is_steady() const
{
    if (int(projections.size()) < steady_projections)
        return false;
    if (projections.back().ms - projections.front().ms < shortest_ms)
        return false;
    const auto [low, high] = std::minmax_element(projections.begin(), projections.end(),
                                                  [](const Projection &a, const Projection &b) {
                                                      return a.end_ms < b.end_ms;
                                                  });
    // Steady when every recent projection of the end lies within a quarter
    // of what is left either way, or within a second near the end.
    const double left_ms = projections.back().end_ms - double(projections.back().ms);
    return high->end_ms - low->end_ms <= std::max(1000.0, left_ms / 2.0);
}

std::optional<double> ScanRateEstimator::bytes_per_second() const
{
    if (samples.size() < 2)
        return std::nullopt;
    const Sample &last = samples.back();
    if (last.ms - started_ms < warm_up_ms)
        return std::nullopt;
    const Sample &first = samples.front();
    if (last.ms - first.ms < shortest_ms)
        return std::nullopt;
    return double(last.bytes - first.bytes) * 1000.0 / double(last.ms - first.ms);
}

std::optional<qint64> ScanRateEstimator::raw_seconds_left() const
{
    const std::optional<double> rate = bytes_per_second();
    if (!rate || *rate <= 0.0)
        return std::nullopt;
    const qint64 remaining = qMax<qint64>(0, total - samples.back().bytes);
    return qint64(std::ceil(double(remaining) / *rate));
}

std::optional<qint64> ScanRateEstimator::seconds_left() const
{
    if (!is_steady())
        return std::nullopt;
    return raw_seconds_left();
}
