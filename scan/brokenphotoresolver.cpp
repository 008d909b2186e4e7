#include "brokenphotoresolver.h"

#include <QFuture>
#include <QSemaphore>
#include <QThread>
#include <QtConcurrent/QtConcurrentRun>

#include <atomic>
#include <deque>
#include <memory>

int BrokenPhotoResolver::resolutions_at_once()
{
    return qMax(1, QThread::idealThreadCount());
}

BrokenPhotoResolver::BrokenPhotoResolver(Host &host, const FileSystemView &view, qint64 volume_end,
                                         QSize thumbnail_pixels, bool search_enabled)
    : host(host)
    , view(view)
    , volume_end(volume_end)
    , thumbnail_pixels(thumbnail_pixels)
    , search_enabled(search_enabled)
{
    pool.setMaxThreadCount(resolutions_at_once());
}

BrokenPhotoResolver::~BrokenPhotoResolver()
{
    pool.waitForDone();
}

void BrokenPhotoResolver::note_broken(qint64 offset, qint64 length, bool whole_if_alone)
{
    auto at = broken.end();
    while (at != broken.begin() && (at - 1)->offset > offset)
        --at;
    broken.insert(at, {offset, length, whole_if_alone});
}

void BrokenPhotoResolver::note_found(const FoundImage &image)
{
    for (const VolumeExtent &piece : image.extents())
        found_runs.insert(piece.offset, piece.end());
    if (collecting)
        found_since.push_back(image.extents());
}

bool BrokenPhotoResolver::resolve_due(qint64 position, bool all)
{
    const auto due = [&](const Candidate &c) { return all || c.offset + c.length + FragmentSearch::default_window <= position; };
    if (broken.isEmpty() || host.stopping() || !due(broken.first()))
        return false;
    // Every photo carved so far must be known before its sectors are skipped.
    host.announce_carved();
    QList<Candidate> now;
    while (!broken.isEmpty() && due(broken.first()))
        now.append(broken.takeFirst());
    resolve_in_order(now);
    return true;
}

// Resolves the candidates on the pool, as many at once as there are cores,
// and hands on what each found in their order; those done wait for the one
// before them, a few at most. A candidate that began before a photo it may
// depend on was offered is resolved again here, against the photos found now.
void BrokenPhotoResolver::resolve_in_order(const QList<Candidate> &due)
{
    struct Running
    {
        Candidate candidate;
        std::unique_ptr<CandidateResolution> resolution;
        size_t found_before; // photos found when it began
        std::shared_ptr<std::atomic<bool>> done;
        QFuture<void> finished;
    };
    std::deque<Running> running;
    QSemaphore one_done; // a permit each time a resolution ends
    qsizetype next = 0;
    int busy = 0; // resolutions started whose end has not been counted
    found_since.clear();
    collecting = true;
    while (next < due.size() || !running.empty()) {
        const int ended = one_done.available();
        one_done.acquire(ended);
        busy -= ended;
        while (next < due.size() && busy < resolutions_at_once() && int(running.size()) < most_waiting
               && !host.stopping()) {
            auto resolution = std::make_unique<CandidateResolution>(context(), found_runs);
            auto done = std::make_shared<std::atomic<bool>>(false);
            CandidateResolution *one = resolution.get();
            const Candidate candidate = due.at(next++);
            QFuture<void> finished = QtConcurrent::run(&pool, [one, candidate, done, &one_done] {
                one->resolve(candidate);
                *done = true;
                one_done.release();
            });
            running.push_back({candidate, std::move(resolution), found_since.size(), done, std::move(finished)});
            ++busy;
        }
        if (running.empty())
            break;
        if (!*running.front().done) {
            one_done.acquire();
            --busy;
            continue;
        }
        Running front = std::move(running.front());
        running.pop_front();
        front.finished.waitForFinished();
        if (host.stopping())
            continue;
        if (depends_on_found_since(*front.resolution, front.found_before)) {
            front.resolution = std::make_unique<CandidateResolution>(context(), found_runs);
            front.resolution->resolve(front.candidate);
        }
        if (!host.stopping())
            hand_on(*front.resolution);
    }
    for (Running &left : running)
        left.finished.waitForFinished();
    collecting = false;
    found_since.clear();
}

bool BrokenPhotoResolver::depends_on_found_since(const CandidateResolution &resolution, size_t first) const
{
    for (size_t i = first; i < found_since.size(); ++i)
        if (resolution.depends_on(found_since[i]))
            return true;
    return false;
}

void BrokenPhotoResolver::hand_on(const CandidateResolution &resolution)
{
    for (const CandidateResolution::Offer &offer : resolution.offers())
        host.offer(offer.pieces, offer.partial, offer.thumbnail, offer.bytes, offer.facts);
}

CandidateResolution::Context BrokenPhotoResolver::context()
{
    CandidateResolution::Context context;
    context.view = &view;
    context.volume_end = volume_end;
    context.thumbnail_pixels = thumbnail_pixels;
    context.search_enabled = search_enabled;
    context.read = [this](qint64 offset, qint64 length) { return host.read_again(offset, length); };
    context.stopped = [this] { return host.stopping(); };
    return context;
}
