#include "brokenphotoresolver.h"

#include <QFuture>
#include <QThread>
#include <QtConcurrent/QtConcurrentRun>

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

// Resolves the candidates on the pool, a few at once, and hands on what each
// found in their order: a candidate that began before a photo it may depend
// on was offered is resolved again here, against the photos found now.
void BrokenPhotoResolver::resolve_in_order(const QList<Candidate> &due)
{
    struct Running
    {
        Candidate candidate;
        std::unique_ptr<CandidateResolution> resolution;
        size_t found_before; // photos found when it began
        QFuture<void> done;
    };
    std::deque<Running> running;
    found_since.clear();
    collecting = true;
    qsizetype next = 0;
    while (next < due.size() || !running.empty()) {
        while (next < due.size() && int(running.size()) < resolutions_at_once() && !host.stopping()) {
            auto resolution = std::make_unique<CandidateResolution>(context(), found_runs);
            CandidateResolution *one = resolution.get();
            const Candidate candidate = due.at(next++);
            running.push_back({candidate, std::move(resolution), found_since.size(),
                               QtConcurrent::run(&pool, [one, candidate] { one->resolve(candidate); })});
        }
        if (running.empty())
            break;
        Running front = std::move(running.front());
        running.pop_front();
        front.done.waitForFinished();
        if (host.stopping())
            continue;
        for (size_t i = front.found_before; i < found_since.size(); ++i) {
            if (front.resolution->depends_on(found_since[i])) {
                front.resolution = std::make_unique<CandidateResolution>(context(), found_runs);
                front.resolution->resolve(front.candidate);
                break;
            }
        }
        if (!host.stopping())
            hand_on(*front.resolution);
    }
    collecting = false;
    found_since.clear();
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
