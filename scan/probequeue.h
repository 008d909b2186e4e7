#pragma once

#include "mediaprobe.h"
#include "volumeextent.h"

#include <QByteArray>
#include <QList>
#include <QMutex>
#include <QWaitCondition>

#include <atomic>
#include <deque>
#include <functional>

class QThread;

// Checks videos or HEIC photos with MediaProbe on a thread of its own while
// the scan reads on, and hands the results back in the order the files came.
// The thread starts with the first file and keeps one helper process for all
// of them; the probe and its helper live and end on that thread.
//
// A stop (keep_going turning false) cuts the check under way short and
// leaves the files still waiting unchecked, so the scan ends within a read
// and a poll of the helper, not after a check of up to its time limit.
class ProbeQueue
{
public:
    // Reads up to length bytes of the volume at offset; called on the
    // queue's thread, so it must be safe to call beside the scan's reads.
    using VolumeReader = std::function<QByteArray(qint64 offset, qint64 length)>;
    using KeepGoing = std::function<bool()>;

    struct Result
    {
        qint64 offset = 0;
        qint64 length = 0;
        VolumeExtents pieces; // a file in pieces: where they lie, in order; empty for one run from offset
        bool checked = false; // false: a stop came before the check ended
        MediaProbe::Result probe;
    };

    ProbeQueue(MediaProbe::Kind kind, int thumbnail_side, VolumeReader read, KeepGoing keep_going);
    ~ProbeQueue();
    ProbeQueue(const ProbeQueue &) = delete;
    ProbeQueue &operator=(const ProbeQueue &) = delete;

    // A file from offset on, or in the pieces given (the first at offset).
    void submit(qint64 offset, qint64 length, const VolumeExtents &pieces = {});
    // The finished results at the front, in submission order.
    QList<Result> take_ready();
    // Every result, waiting for the checks still to come.
    QList<Result> take_all();
    // The offset of the first file whose result is not taken yet, or -1.
    qint64 first_waiting() const;
    // Drops every file not checked yet and waits for the check under way.
    void clear();

private:
    struct Entry
    {
        Result result;
        bool done = false;
    };

    void run();
    Result check(const Result &file, MediaProbe &probe);
    bool should_go_on() const;

    const MediaProbe::Kind kind;
    const int thumbnail_side;
    const VolumeReader read;
    const KeepGoing keep_going;

    mutable QMutex mutex;
    QWaitCondition changed;
    std::deque<Entry> entries; // in submission order; the worker fills them in
    std::size_t next_to_check = 0;
    bool checking = false;
    std::atomic<bool> closing{false}; // read by the probe's keep-going hook without the lock
    QThread *worker = nullptr;
};
