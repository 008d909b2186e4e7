#pragma once

#include <QtGlobal>

#include <deque>
#include <optional>

// Read speed and time left of a scan, for the window and for velvora-scan.
// The speed is the bytes read over the last seconds (a window of samples),
// so it follows a card that slows down without jumping with every block;
// in the first seconds of a scan there is no estimate at all, since the
// first blocks often come from a cache or a drive still spinning up.
class ScanRateEstimator
{
public:
    static constexpr qint64 warm_up_ms = 3000;
    static constexpr qint64 window_ms = 10000;

    // A new scan of total_bytes starts at now_ms (any steady clock in ms).
    void start(qint64 total_bytes, qint64 now_ms);
    // done_bytes of the volume have been read at now_ms.
    void update(qint64 done_bytes, qint64 now_ms);

    // Bytes a second over the last window_ms; none before the warm-up is over.
    std::optional<double> bytes_per_second() const;
    // Whole seconds until the end at that speed; none while the speed is unknown.
    std::optional<qint64> seconds_left() const;

private:
    struct Sample
    {
        qint64 ms;
        qint64 bytes;
    };

    std::deque<Sample> samples;
    qint64 total = 0;
    qint64 started_ms = 0;
};
