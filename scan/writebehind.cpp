#include "writebehind.h"

WriteBehind::WriteBehind(qint64 most_queued)
    : most_queued(most_queued)
    , writer([this] { run(); })
{
}

WriteBehind::~WriteBehind()
{
    {
        std::lock_guard<std::mutex> guard(lock);
        ending = true;
    }
    changed.notify_all();
    writer.join();
}

quint64 WriteBehind::write(Job job)
{
    std::unique_lock<std::mutex> guard(lock);
    changed.wait(guard, [&] { return queued_bytes == 0 || queued_bytes + job.bytes.size() <= most_queued; });
    queued_bytes += job.bytes.size();
    queue.emplace_back(++last_ticket, std::move(job));
    const quint64 ticket = last_ticket;
    guard.unlock();
    changed.notify_all();
    return ticket;
}

QHash<quint64, volume_platform::Failure> WriteBehind::finish()
{
    std::unique_lock<std::mutex> guard(lock);
    changed.wait(guard, [&] { return queue.empty() && !writing; });
    return std::exchange(failures, {});
}

void WriteBehind::run()
{
    std::unique_lock<std::mutex> guard(lock);
    for (;;) {
        changed.wait(guard, [&] { return ending || !queue.empty(); });
        if (queue.empty())
            return; // ending, with nothing left
        auto [ticket, job] = std::move(queue.front());
        queue.pop_front();
        writing = true;
        guard.unlock();
        const volume_platform::Failure failure = put(job);
        const qint64 length = job.bytes.size();
        job.bytes.clear(); // the bytes go before the next file is taken
        guard.lock();
        writing = false;
        queued_bytes -= length;
        if (failure != volume_platform::Failure::None)
            failures.insert(ticket, failure);
        changed.notify_all();
    }
}

volume_platform::Failure WriteBehind::put(const Job &job)
{
    volume_platform::Failure why = volume_platform::Failure::None;
    bool done = volume_platform::write_all(job.file, job.bytes.constData(), job.bytes.size(), &why);
    // a file that failed is removed at the sync; the disk's room it took is
    // given back now, for the files queued after it
    if (!done)
        volume_platform::truncate(job.file, 0);
    // the data's write would move a time set before it
    if (done && job.modified)
        volume_platform::set_modified_time(job.file, *job.modified);
    if (job.close_after && !volume_platform::close(job.file) && done) {
        done = false;
        why = volume_platform::Failure::Io;
    }
    return done ? volume_platform::Failure::None
                : (why == volume_platform::Failure::None ? volume_platform::Failure::Io : why);
}
