#pragma once

#include "candidateresolution.h"
#include "filesystemview.h"
#include "foundimage.h"
#include "fragmentsearch.h"

#include <QByteArray>
#include <QImage>
#include <QList>
#include <QMap>
#include <QSize>
#include <QThreadPool>

#include <vector>

// Puts photos that did not come out whole back together. A broken candidate
// waits until the scan has read past the window where its other pieces may
// lie; then its pieces are looked for along the free space of the volume's
// file system (through or around other deleted files' clusters), or by the
// fragment search, and failing both its valid leading part is offered as a
// partial photo: a photo whose start is found is never dropped.
//
// The candidates due are resolved in volume order, each against the photos
// found before it, as one after the other would be; several at once on the
// spare cores. One that began before a photo it could depend on was offered
// is resolved again (CandidateResolution::depends_on), so what comes out
// never depends on how the threads ran.
class BrokenPhotoResolver
{
public:
    // What the resolver needs of the scan it works for.
    class Host
    {
    public:
        virtual ~Host() = default;
        // Called on the resolutions' threads, several at once.
        virtual QByteArray read_again(qint64 offset, qint64 length) = 0;
        // Called on any thread.
        virtual bool stopping() const = 0;
        // Every photo carved so far is announced, so its sectors are known.
        virtual void announce_carved() = 0;
        // A photo put together (or its leading part): recorded unless the
        // scan has it already. Called on the thread that calls resolve_due().
        virtual void offer(const VolumeExtents &pieces, bool partial, const QImage &thumbnail, const QByteArray &bytes,
                           const PhotoFacts &facts) = 0;
    };

    // At most so many candidates are being resolved at once, each with its
    // own read cache and search.
    static int resolutions_at_once();
    // Resolutions done or under way, waiting to be handed on in order.
    static constexpr int most_waiting = 8;

    BrokenPhotoResolver(Host &host, const FileSystemView &view, qint64 volume_end, QSize thumbnail_pixels,
                        bool search_enabled);
    ~BrokenPhotoResolver();

    // whole_if_alone: the stream decodes to its end, damaged where it lies;
    // offered whole when no pieces close by make it a photo in pieces.
    void note_broken(qint64 offset, qint64 length, bool whole_if_alone = false);
    // Every piece of a photo found is skipped when pieces are looked for.
    void note_found(const FoundImage &image);
    // Resolves the candidates whose window the scan has read past (all of
    // them when all is set), and returns when they are; true when any was.
    bool resolve_due(qint64 position, bool all);
    // Whether a candidate starting at offset, noted now, would be resolved
    // at position.
    static bool could_be_due(qint64 offset, qint64 position)
    {
        return offset + FragmentSearch::default_window <= position;
    }
    // Where the first candidate still waiting starts, or -1.
    qint64 first_waiting() const { return broken.isEmpty() ? -1 : broken.first().offset; }

private:
    using Candidate = CandidateResolution::Candidate;

    void resolve_in_order(const QList<Candidate> &due);
    bool depends_on_found_since(const CandidateResolution &resolution, size_t first) const;
    void hand_on(const CandidateResolution &resolution);
    CandidateResolution::Context context();

    Host &host;
    const FileSystemView &view;
    const qint64 volume_end;
    const QSize thumbnail_pixels;
    const bool search_enabled;
    QList<Candidate> broken; // by offset
    QMap<qint64, qint64> found_runs; // start to end of every piece of every photo found
    std::vector<VolumeExtents> found_since; // the pieces of each photo found while candidates are resolved
    bool collecting = false;
    QThreadPool pool;
};
