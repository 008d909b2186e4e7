#include "scanrateestimator.h"

#include <cmath>

void ScanRateEstimator::start(qint64 total_bytes, qint64 now_ms)
{
    total = total_bytes;
    started_ms = now_ms;
    samples.clear();
    samples.push_back({now_ms, 0});
}

void ScanRateEstimator::update(qint64 done_bytes, qint64 now_ms)
{
    if (samples.empty())
        start(total, now_ms);
    samples.push_back({now_ms, done_bytes});
    // Keep one sample at or before the window's start, so the window stays
    // whole even when blocks come seconds apart.
    while (samples.size() > 2 && samples[1].ms <= now_ms - window_ms)
        samples.pop_front();
}

std::optional<double> ScanRateEstimator::bytes_per_second() const
{
    if (samples.size() < 2)
        return std::nullopt;
    const Sample &last = samples.back();
    if (last.ms - started_ms < warm_up_ms)
        return std::nullopt;
    const Sample &first = samples.front();
    if (last.ms <= first.ms)
        return std::nullopt;
    return double(last.bytes - first.bytes) * 1000.0 / double(last.ms - first.ms);
}

std::optional<qint64> ScanRateEstimator::seconds_left() const
{
    const std::optional<double> rate = bytes_per_second();
    if (!rate || *rate <= 0.0)
        return std::nullopt;
    const qint64 remaining = qMax<qint64>(0, total - samples.back().bytes);
    return qint64(std::ceil(double(remaining) / *rate));
}
