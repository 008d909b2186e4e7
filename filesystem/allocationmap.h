#pragma once

#include "volumeextent.h"

#include <QList>
#include <QMap>
#include <QMultiMap>
#include <QtGlobal>

// Which bytes of a volume its file system gives to live files, to folders
// and to its own tables, as the file system reader found them, and which
// runs its deleted entries name. A file system puts a new file into the
// next free clusters, so the next piece of a deleted photo lies in space no
// live file uses, through or around the runs of files deleted since.
class AllocationMap
{
public:
    void clear()
    {
        used.clear();
        deleted.clear();
    }
    // Runs are added in any order; touching or overlapping runs merge.
    void add_used(qint64 offset, qint64 length);
    // False when no file system was read (a reformatted or damaged card, a
    // raw image): every byte then counts as free.
    bool is_known() const { return !used.isEmpty(); }

    // The end of the run of used bytes that holds offset; offset itself when
    // the byte is free or nothing is known about it.
    qint64 used_until(qint64 offset) const;
    // The end of the run of free bytes that holds offset (the start of the
    // next used run, or the largest offset when none follows); offset itself
    // when the byte is used.
    qint64 free_until(qint64 offset) const;

    // A run a deleted entry names (the first is where its file began; the
    // others, and the first one's length, may be the reader's guess once the
    // chain is gone). Runs of many entries may begin at one place.
    void add_deleted(qint64 offset, qint64 length);
    // The ends of the deleted runs that begin at offset.
    QList<qint64> deleted_ends_at(qint64 offset) const { return deleted.values(offset); }
    // Where the next deleted run begins after offset; the largest offset
    // when none does.
    qint64 next_deleted_after(qint64 offset) const;

private:
    QMap<qint64, qint64> used; // start to end, disjoint
    QMultiMap<qint64, qint64> deleted; // start to end
};
