#pragma once

#include "mediakind.h"
#include "photofacts.h"
#include "volumeextent.h"

#include <QByteArray>
#include <QImage>
#include <QList>

#include <memory>
#include <vector>

// One kind of file as the scan looks for it: a carver that recognises where
// a file of its kind starts (at a sector boundary of the volume, fed block
// by block in volume order) and tells where it ends, and a validator that
// checks each candidate off the reading thread. A new kind is one subclass
// registered in MediaCarver::registered(); everything after it (dedup, the
// broken-file queue, naming, writing, the results) is shared.
class FileSystemView;

class MediaCarver
{
public:
    // What a carver tells the scan. Called on the scan's thread, from feed(),
    // skip_unreadable() and finish(), unless said otherwise.
    class Sink
    {
    public:
        virtual ~Sink() = default;
        // A complete candidate whose bytes are in hand: true when it is new
        // to this scan (neither a live file nor a repeat), and so is to be
        // validated.
        virtual bool take_candidate(MediaKind kind, const char *bytes, qint64 length, qint64 offset) = 0;
        // A complete candidate too long to hold in memory (a video), known
        // by its place and the CRC-32 its carver took as its bytes passed.
        // True when it is new, and so is to be validated. A damaged one has
        // runs inside it that could not be read (zeros in its CRC-32).
        virtual bool take_extent(MediaKind kind, qint64 offset, qint64 length, quint32 crc, bool damaged) = 0;
        // Bytes of the volume read again (a validator's look at a header or
        // an index at a long candidate's end); shorter where a read failed.
        // Called on a validator's thread, beside the scan's own reads.
        virtual QByteArray read_back(qint64 offset, qint64 length) = 0;
        // A candidate that went wrong after its first length bytes: its other
        // pieces may lie further on.
        virtual void take_broken(MediaKind kind, qint64 offset, qint64 length, bool whole_if_alone = false) = 0;
        // A Motion-JPEG clip (deleted or live) has a frame whose data starts
        // at offset, a sector boundary: a JPEG stream there is no photo.
        virtual void take_frame(qint64 offset) = 0;
        // A Motion-JPEG clip (deleted) lies in these pieces, though its walk
        // could not tell its frames one by one: no JPEG stream starting in
        // them is a photo. A sink that filters no frames ignores it.
        virtual void take_clip(const VolumeExtents &pieces) { Q_UNUSED(pieces); }
        // Where the file starting at offset ends as the deleted entry whose
        // data starts there says (its size, at least at_least bytes), or -1.
        virtual qint64 deleted_file_end(qint64 offset, qint64 at_least) = 0;
        // The volume's file system as the scan read it (its deleted entries,
        // the bytes its live files use), or null when none was read.
        virtual const FileSystemView *volume_file_system() const { return nullptr; }
        // True once the scan is asked to stop: long work gives up. Called on
        // any thread.
        virtual bool stopping() const = 0;
    };

    // A validated candidate, handed back in the order the candidates came.
    struct Checked
    {
        enum class Outcome {
            Whole,    // offered as found
            Broken,   // a sound start and damaged data: the broken-file queue looks for the rest
            Rejected, // not a file of this kind after all
            Unchecked, // the scan stopped before its check ended: a resumed scan looks at it again
        };
        Outcome outcome = Outcome::Rejected;
        qint64 offset = 0;
        qint64 length = 0;
        VolumeExtents pieces; // a file put together from pieces: where they lie, in order
        QImage thumbnail;
        PhotoFacts facts;
        QByteArray bytes; // what was validated; empty for a candidate known by its place only
        VolumeExtents unreadable; // runs inside it that could not be read (facts.damaged is set)
        // Broken, but damaged where it lies: offered whole when no piece
        // close by makes it a file in pieces.
        bool whole_if_alone = false;
    };

    virtual ~MediaCarver() = default;

    virtual MediaKind kind() const = 0;
    void set_sink(Sink *scan_sink) { sink = scan_sink; }

    // Back to the search, with position as the volume offset of the next byte fed.
    virtual void reset(qint64 position) = 0;
    virtual void feed(const char *data, qint64 length) = 0;
    // Whether feed() wants each block whole: a carver that hands on what
    // lies inside one block without a copy. The others take it a part at a
    // time, each part through all of them while it is in the cache.
    virtual bool takes_whole_blocks() const { return false; }
    // length bytes that could not be read follow what was fed.
    virtual void skip_unreadable(qint64 length) = 0;
    // The volume ends after what was fed.
    virtual void finish() = 0;
    // Where the earliest candidate still open starts (the position a scan
    // resumed later must read from), or the next byte's offset when none is.
    virtual qint64 open_from() const = 0;
    // Where what other carvers find may still turn out to be part of a file
    // this one follows (a Motion-JPEG clip's frames), or -1.
    virtual qint64 frames_undecided_from() const { return -1; }
    // Where the earliest candidate handed to the validator and not yet taken
    // back starts, or -1: what it turns out to be is still unknown.
    virtual qint64 first_unjudged() const { return -1; }

    // The validated candidates at the front of the queue; take_all() waits
    // for all of them.
    virtual QList<Checked> take_ready() = 0;
    virtual QList<Checked> take_all() = 0;

    // Every kind the scan looks for, one fresh carver each.
    struct Settings
    {
        qreal thumbnail_pixel_ratio = 1.0;
        QList<MediaKind> kinds; // the kinds looked for; empty: every kind
        qint64 volume_size = 0;
    };
    static std::vector<std::unique_ptr<MediaCarver>> registered(const Settings &settings);

protected:
    Sink *sink = nullptr;
};
