#pragma once

#include "foundimage.h"
#include "volumeplatform.h"

#include <functional>

// A found file's bytes read back from the volume in order, for a copy: its
// pieces one after another, the runs the scan could not read as zeros
// (never read again: a failing card takes seconds over each), and a read
// that fails now retried sector by sector, the sectors that still fail
// given as zeros and counted. Only a device gone ends the bytes early.
class SalvagingReader
{
public:
    // Reads up to count bytes at offset; -1 with failure set when it cannot.
    using ReadAt = std::function<qint64(qint64 offset, char *buffer, qint64 count, volume_platform::Failure *failure)>;
    // Asked before each read: false stops the copy.
    using KeepGoing = std::function<bool()>;

    static constexpr qint64 sector = 512;
    static constexpr qint64 unreadable = -1;
    static constexpr qint64 stop_reading = -2;

    SalvagingReader(const FoundImage &image, ReadAt read_at, KeepGoing keep_going = {});

    // Fills up to capacity bytes and returns the count, 0 at the file's end,
    // unreadable when the device has gone or stop_reading when asked to stop.
    qint64 read(char *buffer, qint64 capacity);

    // Bytes given as zeros: the runs the scan could not read, and those
    // that failed now.
    qint64 zeroed() const { return holes_zeroed + failed_now; }
    // Bytes the scan read that could not be read now.
    qint64 unreadable_now() const { return failed_now; }

private:
    // The volume offset of the next byte, moving to the next piece at a
    // piece's end; -1 after the last.
    qint64 next_offset();
    // The hole the offset lies in, or the next hole after it.
    const VolumeExtent *hole_from(qint64 offset) const;
    qint64 read_sectors(qint64 offset, char *buffer, qint64 count);

    const VolumeExtents pieces;
    const VolumeExtents holes;
    const ReadAt read_at;
    const KeepGoing keep_going;
    qsizetype piece = 0;
    qint64 done_in_piece = 0;
    qint64 holes_zeroed = 0;
    qint64 failed_now = 0;
};
