#pragma once

#include "filesystemview.h"
#include "foundimage.h"
#include "fragmentsearch.h"
#include "freespaceassembly.h"
#include "photofacts.h"

#include <QByteArray>
#include <QImage>
#include <QList>
#include <QMap>
#include <QSize>

// Puts photos that did not come out whole back together. A broken candidate
// waits until the scan has read past the window where its other pieces may
// lie; then its pieces are looked for along the free space of the volume's
// file system (through or around other deleted files' clusters), or by the
// fragment search, and failing both its valid leading part is offered as a
// partial photo: a photo whose start is found is never dropped.
class BrokenPhotoResolver
{
public:
    // What the resolver needs of the scan it works for.
    class Host
    {
    public:
        virtual ~Host() = default;
        virtual QByteArray read_again(qint64 offset, qint64 length) = 0;
        virtual bool stopping() const = 0;
        // Every photo carved so far is announced, so its sectors are known.
        virtual void announce_carved() = 0;
        // A photo put together (or its leading part): recorded unless the
        // scan has it already.
        virtual void offer(const VolumeExtents &pieces, bool partial, const QImage &thumbnail, const QByteArray &bytes,
                           const PhotoFacts &facts) = 0;
    };

    BrokenPhotoResolver(Host &host, const FileSystemView &view, qint64 volume_end, QSize thumbnail_pixels,
                        bool search_enabled);

    // whole_if_alone: the stream decodes to its end, damaged where it lies;
    // offered whole when no pieces close by make it a photo in pieces.
    void note_broken(qint64 offset, qint64 length, bool whole_if_alone = false);
    // Every piece of a photo found is skipped when pieces are looked for.
    void note_found(const FoundImage &image);
    // Resolves the candidates whose window the scan has read past (all of
    // them when all is set); true when any was.
    bool resolve_due(qint64 position, bool all);
    // Where the first candidate still waiting starts, or -1.
    qint64 first_waiting() const { return broken.isEmpty() ? -1 : broken.first().offset; }

private:
    struct Broken
    {
        qint64 offset;
        qint64 length;
        bool whole_if_alone;
    };

    void resolve(const Broken &candidate);
    void offer_damaged(qint64 offset, const QByteArray &stream);
    // along: set to the longest leading part found along the free space.
    bool assemble_along_free_space(qint64 offset, FreeSpaceAssembly::Result *along);
    bool offer_if_whole(const VolumeExtents &runs);
    bool offer_whole(const VolumeExtents &pieces, const QByteArray &bytes);
    bool offer_assembled(const FragmentSearch::Outcome &outcome);
    void offer_leading_part(qint64 offset, const QByteArray &stream, const FragmentSearch::Outcome &outcome,
                            const FreeSpaceAssembly::Result &along);
    bool offer_part(const VolumeExtents &pieces, const QByteArray &part);
    static qint64 first_foreign_sector(const QByteArray &stream, qint64 fault);
    static qint64 start_of_scan_before(const QByteArray &stream, qint64 fault);
    qint64 occupied_until(qint64 offset) const;
    qint64 free_until(qint64 offset) const;

    Host &host;
    const FileSystemView &view;
    const qint64 volume_end;
    const QSize thumbnail_pixels;
    const bool search_enabled;
    QList<Broken> broken; // by offset
    QMap<qint64, qint64> found_runs; // start to end of every piece of every photo found
};
