#include "salvagingreader.h"

#include <algorithm>
#include <cstring>

SalvagingReader::SalvagingReader(const FoundImage &image, ReadAt read_at, KeepGoing keep_going)
    : pieces(image.extents())
    , holes(image.unreadable)
    , read_at(std::move(read_at))
    , keep_going(std::move(keep_going))
{
}

qint64 SalvagingReader::read(char *buffer, qint64 capacity)
{
    const qint64 offset = next_offset();
    if (offset < 0)
        return 0;
    if (keep_going && !keep_going())
        return stop_reading;
    qint64 want = qMin(capacity, pieces.at(piece).length - done_in_piece);
    if (const VolumeExtent *hole = hole_from(offset)) {
        if (hole->offset <= offset) {
            const qint64 zeros = qMin(want, hole->end() - offset);
            std::memset(buffer, 0, size_t(zeros));
            holes_zeroed += zeros;
            done_in_piece += zeros;
            return zeros;
        }
        want = qMin(want, hole->offset - offset); // up to the hole, never into it
    }
    volume_platform::Failure failure = volume_platform::Failure::None;
    qint64 n = read_at(offset, buffer, want, &failure);
    if (n < 0 && failure != volume_platform::Failure::DeviceGone)
        n = read_sectors(offset, buffer, want);
    if (n > 0)
        done_in_piece += n;
    else if (n == 0)
        piece = pieces.size(); // the volume ends inside this piece
    return n;
}

qint64 SalvagingReader::next_offset()
{
    while (piece < pieces.size() && done_in_piece >= pieces.at(piece).length) {
        ++piece;
        done_in_piece = 0;
    }
    return piece < pieces.size() ? pieces.at(piece).offset + done_in_piece : -1;
}

const VolumeExtent *SalvagingReader::hole_from(qint64 offset) const
{
    const auto hole = std::find_if(holes.cbegin(), holes.cend(),
                                   [offset](const VolumeExtent &run) { return run.end() > offset; });
    return hole != holes.cend() ? &*hole : nullptr;
}

// A read that failed, again a sector at a time (a stop is honoured between
// them): what still fails is zeros.
qint64 SalvagingReader::read_sectors(qint64 offset, char *buffer, qint64 count)
{
    qint64 done = 0;
    while (done < count) {
        if (keep_going && !keep_going())
            return done > 0 ? done : stop_reading;
        const qint64 at = offset + done;
        const qint64 want = qMin(count - done, sector - at % sector);
        volume_platform::Failure failure = volume_platform::Failure::None;
        const qint64 n = read_at(at, buffer + done, want, &failure);
        if (n == 0)
            break;
        if (n < 0) {
            if (failure == volume_platform::Failure::DeviceGone)
                return done > 0 ? done : unreadable;
            std::memset(buffer + done, 0, size_t(want));
            failed_now += want;
            done += want;
            continue;
        }
        done += n;
    }
    return done;
}
