#include "probequeue.h"

#include "extentreader.h"

#include <QThread>

#include <cstring>

ProbeQueue::ProbeQueue(MediaProbe::Kind kind, int thumbnail_side, VolumeReader read, KeepGoing keep_going)
    : kind(kind)
    , thumbnail_side(thumbnail_side)
    , read(std::move(read))
    , keep_going(std::move(keep_going))
{
}

ProbeQueue::~ProbeQueue()
{
    {
        const QMutexLocker lock(&mutex);
        closing = true;
        changed.wakeAll();
    }
    if (worker) {
        worker->wait();
        delete worker;
    }
}

bool ProbeQueue::should_go_on() const
{
    return !closing && (!keep_going || keep_going());
}

void ProbeQueue::submit(qint64 offset, qint64 length, const VolumeExtents &pieces)
{
    const QMutexLocker lock(&mutex);
    Entry entry;
    entry.result.offset = offset;
    entry.result.length = length;
    entry.result.pieces = pieces;
    entries.push_back(entry);
    if (!worker) {
        worker = QThread::create([this] { run(); });
        worker->start();
    }
    changed.wakeAll();
}

// The worker: one check after another, in order, with one probe (and so
// one helper process) for them all. Entries before next_to_check are done;
// the one at next_to_check is being checked while checking is set, and
// nothing takes it away meanwhile.
void ProbeQueue::run()
{
    MediaProbe probe;
    probe.set_keep_going([this] { return should_go_on(); });
    QMutexLocker lock(&mutex);
    for (;;) {
        while (!closing && next_to_check >= entries.size())
            changed.wait(&mutex);
        if (closing)
            return;
        checking = true;
        const Result file = entries[next_to_check].result;
        lock.unlock();
        const Result result = check(file, probe);
        lock.relock();
        entries[next_to_check].result = result;
        entries[next_to_check].done = true;
        ++next_to_check;
        checking = false;
        changed.wakeAll();
    }
}

ProbeQueue::Result ProbeQueue::check(const Result &file, MediaProbe &probe)
{
    Result result = file;
    if (!should_go_on())
        return result;
    const ExtentReader pieces(file.pieces.isEmpty() ? VolumeExtents{{file.offset, file.length}} : file.pieces,
                              [this](qint64 offset, char *buffer, qint64 count) -> qint64 {
                                  const QByteArray bytes = read(offset, count);
                                  std::memcpy(buffer, bytes.constData(), size_t(bytes.size()));
                                  return bytes.size();
                              });
    const MediaProbe::Reader reader = [this, &pieces](qint64 at, char *buffer, qint64 count) -> qint64 {
        if (!should_go_on())
            return -1; // the probe then hears of the stop at once
        return pieces.read(at, buffer, count);
    };
    result.probe = probe.check(kind, file.length, reader, thumbnail_side);
    result.checked = should_go_on();
    return result;
}

QList<ProbeQueue::Result> ProbeQueue::take_ready()
{
    const QMutexLocker lock(&mutex);
    QList<Result> ready;
    while (!entries.empty() && entries.front().done) {
        ready.append(entries.front().result);
        entries.pop_front();
        --next_to_check;
    }
    return ready;
}

QList<ProbeQueue::Result> ProbeQueue::take_all()
{
    QMutexLocker lock(&mutex);
    QList<Result> all;
    while (!entries.empty()) {
        if (entries.front().done) {
            all.append(entries.front().result);
            entries.pop_front();
            --next_to_check;
        } else if (!checking && !should_go_on()) {
            all.append(entries.front().result); // stopped before its check began
            entries.pop_front();
        } else {
            changed.wait(&mutex);
        }
    }
    return all;
}

qint64 ProbeQueue::first_waiting() const
{
    const QMutexLocker lock(&mutex);
    return entries.empty() ? -1 : entries.front().result.offset;
}

void ProbeQueue::clear()
{
    QMutexLocker lock(&mutex);
    while (checking)
        changed.wait(&mutex);
    entries.clear();
    next_to_check = 0;
}
