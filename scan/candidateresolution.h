#pragma once

#include "filesystemview.h"
#include "fragmentsearch.h"
#include "freespaceassembly.h"
#include "photofacts.h"

#include <QByteArray>
#include <QImage>
#include <QList>
#include <QMap>
#include <QSize>

#include <functional>

// Puts one broken photo back together, on any thread: along the free space
// of the volume's file system, else by the fragment search, else its valid
// leading part. It sees the photos found as they were when it began, and
// keeps what it offers until the resolver hands it on in volume order. It
// remembers where its answers depended on the photos found, so the resolver
// can tell whether photos offered since would have changed them.
class CandidateResolution
{
public:
    struct Candidate
    {
        qint64 offset;
        qint64 length;
        bool whole_if_alone; // decodes to its end, damaged where it lies
    };

    // What the resolution shares with the scan; the functions are called on
    // the resolution's thread.
    struct Context
    {
        const FileSystemView *view = nullptr;
        qint64 volume_end = 0;
        QSize thumbnail_pixels;
        bool search_enabled = true;
        FragmentSearch::Reader read;
        FragmentSearch::Stopped stopped;
    };

    struct Offer
    {
        VolumeExtents pieces;
        bool partial = false;
        QImage thumbnail;
        QByteArray bytes;
        PhotoFacts facts;
    };

    // found_runs: start to end of every piece of every photo found so far.
    CandidateResolution(const Context &context, QMap<qint64, qint64> found_runs);

    void resolve(const Candidate &candidate);
    const QList<Offer> &offers() const { return offered; }
    // Whether a photo found since it began, with these pieces, could have
    // changed what it decided.
    bool depends_on(const VolumeExtents &pieces) const;

private:
    void offer_damaged(qint64 offset, const QByteArray &stream);
    // along: set to the longest leading part found along the free space.
    bool assemble_along_free_space(qint64 offset, FreeSpaceAssembly::Result *along);
    bool offer_if_whole(const VolumeExtents &runs);
    bool offer_whole(const VolumeExtents &pieces, const QByteArray &bytes);
    bool offer_assembled(const FragmentSearch::Outcome &outcome);
    void offer_leading_part(qint64 offset, const QByteArray &stream, const FragmentSearch::Outcome &outcome,
                            const FreeSpaceAssembly::Result &along);
    bool offer_part(const VolumeExtents &pieces, const QByteArray &part);
    void offer(const VolumeExtents &pieces, bool partial, const QImage &thumbnail, const QByteArray &bytes,
               const PhotoFacts &facts);
    static qint64 first_foreign_sector(const QByteArray &stream, qint64 fault);
    static qint64 start_of_scan_before(const QByteArray &stream, qint64 fault);
    qint64 occupied_until(qint64 offset);
    qint64 free_until(qint64 offset);
    static void note(QMap<qint64, qint64> &intervals, qint64 from, qint64 to);
    static bool meets(const QMap<qint64, qint64> &intervals, qint64 from, qint64 to);

    // Queries a few sectors apart are kept as one interval: a photo found
    // between them is taken to matter, which only costs a resolution again.
    static constexpr qint64 merge_gap = 64 * 1024;

    const Context context;
    const QMap<qint64, qint64> found_runs;
    QList<Offer> offered;
    // Where a photo found since would change an answer: by lying over the
    // bytes (covered), or by starting there (starts).
    QMap<qint64, qint64> covered;
    QMap<qint64, qint64> starts;
};
