#pragma once

#include "volumeplatform.h"

#include <QByteArray>
#include <QHash>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <thread>

// Writes files' data on a thread of its own, so the thread that hands a file
// over goes on reading the card while the disk takes it: the files bypass
// the page cache (volume_platform::write_past_cache), whose copy would
// otherwise let reading and writing overlap. At most most_queued bytes wait
// (a file larger than that waits alone); handing over more waits for the disk.
class WriteBehind
{
public:
    struct Job
    {
        volume_platform::Handle file = volume_platform::invalid_handle;
        QByteArray bytes;
        std::optional<qint64> modified; // msecs since the epoch, set once the data is in
        bool close_after = false;       // closed once written; the caller has let go of it
    };

    explicit WriteBehind(qint64 most_queued = 16 * 1024 * 1024);
    ~WriteBehind(); // writes what is queued first
    Q_DISABLE_COPY(WriteBehind)

    // Queues job and returns its ticket for finish().
    quint64 write(Job job);
    // Waits until every file queued is written; returns the failures since
    // the last call, by ticket.
    QHash<quint64, volume_platform::Failure> finish();

private:
    void run();
    static volume_platform::Failure put(const Job &job);

    const qint64 most_queued;
    std::mutex lock;
    std::condition_variable changed;
    std::deque<std::pair<quint64, Job>> queue;
    qint64 queued_bytes = 0;
    bool writing = false; // a job is out of the queue, not yet done
    bool ending = false;
    quint64 last_ticket = 0;
    QHash<quint64, volume_platform::Failure> failures;
    std::thread writer; // last: started once the rest is set up
};
