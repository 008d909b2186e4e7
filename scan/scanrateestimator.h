#pragma once

#include <QtGlobal>

#include <deque>
#include <optional>

// Read speed and time left of a scan, for the window and for velvora-scan.
// The speed is the bytes read over the last seconds (a window of samples),
// so it follows a card that slows down without jumping with every block.
// The first seconds of a scan count for nothing, since the first blocks
// often come from a cache or a drive still spinning up: there is no
// estimate until a second has been read after them.
//
// The time left is given only while it is steady: each update projects the
// moment the scan ends, and while the projections of the last seconds
// disagree by more than a share of what is left (a card changing speed,
// blocks coming in bursts) there is none, rather than a number that jumps.
class ScanRateEstimator
{
public:
    static constexpr qint64 warm_up_ms = 3000;
    static constexpr qint64 window_ms = 10000;
    // The shortest stretch a speed is measured over.
    static constexpr qint64 shortest_ms = 1000;
    // The projected ends compared to tell whether the time left is steady:
    // those of the last steady_ms, at least steady_projections of them
    // made over at least shortest_ms.
    static constexpr qint64 steady_ms = 3000;
    static constexpr int steady_projections = 3;

    // A new scan of total_bytes starts at now_ms (any steady clock in ms),
    // from_bytes in (a resumed scan).
    void start(qint64 total_bytes, qint64 now_ms, qint64 from_bytes = 0);
    // done_bytes of the volume have been read at now_ms.
    void update(qint64 done_bytes, qint64 now_ms);

    // Bytes a second over the last window_ms after the warm-up; none until
    // shortest_ms have been read after it.
    std::optional<double> bytes_per_second() const;
    // Whole seconds until the end at that speed; none while the speed is
    // unknown or the projected end is not steady.
    std::optional<qint64> seconds_left() const;

private:
    struct Sample
    {
        qint64 ms;
        qint64 bytes;
    };
    struct Projection
    {
        qint64 ms;     // when it was made
        double end_ms; // when the scan was then expected to end
    };

    std::optional<qint64> raw_seconds_left() const;
    void project(qint64 now_ms);
    bool is_steady() const;

    std::deque<Sample> samples;
    std::deque<Projection> projections;
    qint64 total = 0;
    qint64 started_ms = 0;
    qint64 start_bytes = 0;
};
