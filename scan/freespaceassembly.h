#pragma once

#include "filesystemview.h"
#include "volumeextent.h"
#include "volumereadcache.h"

#include <QByteArray>
#include <QList>
#include <QMap>

#include <functional>

// Follows a photo in pieces along the free space of a volume whose file
// system is known. A file system puts a file into the free clusters in
// order, so the photo lies along the free space from its start, around the
// clusters other files held while it was written. Some of those files are
// deleted now: their clusters are free but not the photo's. Files deleted
// before the photo was written left it clusters it took. So where the free
// space reaches a run of another deleted entry, the photo goes on either
// through it or around it. The decoder tells which: a path is read and
// decoded up to where its data goes wrong, and the places met just before
// that are tried the other way, as long as the data then goes further.
class FreeSpaceAssembly
{
public:
    // Bytes of the volume from offset; fewer at its end.
    using Reader = std::function<QByteArray(qint64 offset, qint64 length)>;
    // The end of the occupied run (a live file, a photo found) that holds
    // offset; offset itself when it is free.
    using Occupied = std::function<qint64(qint64 offset)>;
    // The end of the free run that holds a free offset.
    using FreeUntil = std::function<qint64(qint64 offset)>;
    // True when the work must end at once (the scan was stopped).
    using Stopped = std::function<bool()>;

    // How far along the free space a photo is followed, and over how many
    // runs of it.
    static constexpr qint64 reach = 50 * 1024 * 1024;
    static constexpr int most_runs = 65536;
    // What one photo may cost: the bytes of the paths read and decoded, so
    // many times what the photo can be (its deleted entry's size, else what
    // its frame's blocks can take), and places before where the data goes
    // wrong tried the other way each time. Each run of a path counts as
    // run_work bytes, as it is looked up.
    static constexpr int passes = 48;
    static constexpr qint64 bytes_per_block = 64;
    static constexpr qint64 run_work = 512;
    static constexpr int places_tried = 4;
    // The decoder meets foreign data some way after it begins: a leading
    // part whose data goes wrong this close after a place where the path
    // joins other clusters ends at that place.
    static constexpr qint64 doubt_after_join = 32 * 1024;

    struct Result
    {
        VolumeExtents pieces; // where stream lies on the volume
        QByteArray stream;    // whole: the photo; otherwise the leading part that is its own (perhaps empty)
        bool whole = false;   // decodes cleanly to its end-of-image marker over two pieces or more,
                              // and its pixels run on across every join
    };

    FreeSpaceAssembly(const FileSystemView &view, qint64 volume_end, Reader reader, Occupied occupied,
                      FreeUntil free_until, Stopped stopped = {});

    // start: where the photo begins; own: its deleted entry, when the card
    // keeps one (its runs are no other file's).
    Result follow(qint64 start, const FileEntry *own);

    // What the last follow() cost: the paths read and decoded, and their bytes.
    int trials_done() const { return trials; }
    qint64 work_done() const { return work; }

private:
    // A place where the free space reaches runs of other deleted entries.
    struct Place
    {
        qint64 at;          // on the volume
        qint64 in_stream;   // bytes of the path before it
        QList<qint64> ends; // of the runs that begin there, shortest first
    };
    // The places gone around, each to the end of one of its runs.
    using Detours = QMap<qint64, qint64>;
    struct Trial
    {
        Detours detours;
        VolumeExtents path;
        QList<Place> places;
        QByteArray stream;
        qint64 sound = 0;   // bytes of stream before its data went wrong
        bool ended = false; // an end-of-image marker ended the stream
        bool clean = false; // and it decodes without a fault, its pixels running on across every join
        bool unproven = false; // a join lies where the picture is too flat to tell, or too near the end
    };

    Trial run_trial(const Detours &detours);
    qint64 work_allowed(const Trial &first) const;
    bool over_budget() const;
    VolumeExtents path_from(const Detours &detours, QList<Place> *places) const;
    QList<qint64> ends_of_other_runs(qint64 at) const;
    void carve_along(Trial &trial);
    void judge(Trial &trial) const;
    void judge_seams(Trial &trial) const;
    QList<Detours> alternatives(const Trial &trial) const;
    Result leading_part(const Trial &trial) const;

    const FileSystemView &view;
    const qint64 volume_end;
    VolumeReadCache cache;
    Occupied occupied;
    FreeUntil free_until;
    Stopped stopped;
    qint64 start = 0;
    const FileEntry *own_entry = nullptr;
    int trials = 0;
    qint64 work = 0;
    qint64 allowed = 0;
};
