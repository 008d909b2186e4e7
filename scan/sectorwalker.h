#pragma once

#include "volumeextent.h"

#include <QByteArray>
#include <QList>
#include <QtGlobal>

#include <zlib.h>

#include <algorithm>
#include <functional>

// What every candidate of a SectorWalker keeps: where it started, how far
// it is walked, the header bytes it gathers and the CRC-32 of what belongs
// to the file so far.
struct WalkCandidate
{
    qint64 start = 0;
    qint64 position = 0;   // volume offset of the next byte wanted
    qint64 skip_until = 0; // bytes before this are passed over (a payload)
    qint64 file_end = 0;   // end of what is known to belong to the file; the CRC runs up to here
    QByteArray held;       // header bytes gathered for the current step
    int want = 8;
    quint32 crc = 0;
    qint64 crc_position = 0; // the CRC covers the bytes from start up to here
    VolumeExtents unreadable; // runs inside it that could not be read; the CRC takes them as zeros
    bool done = false;        // reported or given up: removed after the pass
};

// A file a SectorWalker found: where it lies, its CRC-32 taken as its bytes
// passed, and the runs inside it that could not be read. Those runs count as
// zeros in the CRC, as they are written: a file with holes is not taken for
// the whole file found elsewhere.
struct WalkedFile
{
    qint64 offset = 0;
    qint64 length = 0;
    quint32 crc = 0;
    VolumeExtents unreadable;
    bool read_whole() const { return unreadable.isEmpty(); }
};

// Finds files that start at a 512-byte sector boundary of a volume fed block
// by block in volume order, and follows them through the sizes in their
// headers, never holding their payloads. Several candidates run side by side,
// so a file that starts inside what a false start claims is still found.
//
// A subclass says what may start a file (consider_start, with the first
// signature_length bytes of each sector) and what a candidate does with its
// header bytes (take_held); this class cuts the blocks at sector starts,
// passes payloads over while taking their CRC-32, and keeps the candidates.
template <typename CandidateType>
class SectorWalker
{
public:
    using Candidate = CandidateType;

    static constexpr qint64 alignment = 512;
    // A file with more separate unreadable runs than this is given up: it
    // is more hole than file, and its list stays small.
    static constexpr int most_unreadable_runs = 64;

    SectorWalker(qint64 volume_size, int signature_length)
        : volume_size(volume_size)
        , signature_length(signature_length)
    {
    }
    virtual ~SectorWalker() = default;

    // Back to the search, nothing open, with position as the volume offset of
    // the next byte fed (a scan that resumes further on).
    void reset(qint64 position)
    {
        candidates.clear();
        sector_head.clear();
        volume_position = position;
    }

    void feed(const char *data, qint64 length)
    {
        if (length <= 0)
            return;
        const qint64 block_start = volume_position;
        const qint64 end = block_start + length;
        qint64 sector = (block_start + alignment - 1) / alignment * alignment;
        if (!sector_head.isEmpty()) {
            // a sector start cut by the last block: judged now, then its bytes walked
            const qint64 head_start = block_start - sector_head.size();
            sector_head.append(data, std::min<qint64>(signature_length - sector_head.size(), length));
            if (sector_head.size() < signature_length) {
                volume_position = end;
                return;
            }
            const QByteArray head = sector_head;
            sector_head.clear();
            consider_start(head_start, head.constData());
            advance_all(head.constData(), head_start, block_start - head_start);
            sector = head_start + alignment;
        }
        // Candidates are walked up to each sector start before a new one may
        // open there, so what is found does not depend on where blocks end.
        qint64 walked = block_start;
        for (;;) {
            if (candidates.isEmpty())
                sector = next_possible_start(data, block_start, sector, end);
            const qint64 stop = std::min(sector, end);
            advance_all(data + (walked - block_start), walked, stop - walked);
            walked = stop;
            if (sector >= end)
                break;
            if (end - sector < signature_length) {
                sector_head = QByteArray(data + (sector - block_start), end - sector);
                break;
            }
            consider_start(sector, data + (sector - block_start));
            sector += alignment;
        }
        volume_position = end;
        remove_done();
    }

    // length bytes that could not be read follow what was fed: a candidate
    // passing a payload over them goes on without them, noting them as a
    // hole (its sizes still say where the next header is); one that needs a
    // header from them ends where they begin, or is given up.
    void skip_unreadable(qint64 length)
    {
        if (length <= 0)
            return;
        flush_head();
        const qint64 end = volume_position + length;
        for (Candidate &candidate : candidates) {
            if (candidate.done)
                continue;
            if (candidate.held.isEmpty() && candidate.skip_until >= end
                && note_unreadable(candidate, volume_position, end)) {
                candidate.position = end;
            } else {
                bytes_end(candidate, BytesEnd::AtGap);
                candidate.done = true;
            }
        }
        volume_position = end;
        remove_done();
    }

    // The volume ends after what was fed.
    void finish()
    {
        flush_head();
        for (Candidate &candidate : candidates) {
            if (!candidate.done)
                bytes_end(candidate, BytesEnd::AtVolumeEnd);
            candidate.done = true;
        }
        remove_done();
        sector_head.clear();
    }

    // Told each sector start whose first bytes may begin a file, whether or
    // not a candidate could be opened there.
    using StartHandler = std::function<void(qint64 sector)>;
    void set_start_handler(StartHandler handler) { start_seen = std::move(handler); }

    qint64 position() const { return volume_position; }
    // Start of the oldest candidate still open, or -1: what is found after it
    // may yet turn out to lie inside a file.
    qint64 earliest_open_start() const
    {
        qint64 earliest = -1;
        for (const Candidate &candidate : candidates) {
            if (!candidate.done && (earliest < 0 || candidate.start < earliest))
                earliest = candidate.start;
        }
        return earliest;
    }
    int open_candidates() const { return int(candidates.size()); }

protected:
    // Opens a candidate at a sector start when its first bytes may begin a file.
    virtual void consider_start(qint64 sector, const char *at) = 0;
    // The first sector start from sector on whose first bytes may begin a
    // file, or the first without signature_length bytes before end. Asked
    // while no candidate is open, so the sectors passed over need no walk:
    // on a volume of anything else the search is one tight loop.
    virtual qint64 next_possible_start(const char *block, qint64 block_start, qint64 sector, qint64 end) const = 0;
    // Called before each header step of a candidate whose held bytes are empty.
    virtual void before_header(Candidate &) {}
    // The candidate holds the bytes it wanted: its next step.
    virtual void take_held(Candidate &candidate) = 0;
    // No bytes follow for the candidate: unreadable ones where it wants a
    // header, or the volume's end. It reports its file when the file ends
    // there; it is closed after.
    enum class BytesEnd { AtGap, AtVolumeEnd };
    virtual void bytes_end(Candidate &candidate, BytesEnd where) = 0;

    void note_start(qint64 sector)
    {
        if (start_seen)
            start_seen(sector);
    }

    Candidate &open_candidate(qint64 sector)
    {
        Candidate candidate;
        candidate.start = sector;
        candidate.position = sector;
        candidate.file_end = sector;
        candidate.crc_position = sector;
        candidates.append(candidate);
        return candidates.last();
    }

    void advance(Candidate &candidate, const char *data, qint64 data_start, qint64 length)
    {
        const qint64 end = data_start + length;
        while (!candidate.done && candidate.position < end) {
            if (candidate.position < candidate.skip_until) {
                const qint64 next = std::min(candidate.skip_until, end);
                checksum(candidate, data + (candidate.position - data_start), candidate.position,
                         next - candidate.position);
                candidate.position = next;
                continue;
            }
            if (candidate.held.isEmpty()) {
                before_header(candidate);
                if (candidate.done)
                    return;
            }
            const qint64 take = std::min<qint64>(candidate.want - candidate.held.size(), end - candidate.position);
            const char *taken = data + (candidate.position - data_start);
            candidate.held.append(taken, take);
            checksum(candidate, taken, candidate.position, take);
            candidate.position += take;
            if (candidate.held.size() < candidate.want)
                return;
            take_held(candidate);
        }
    }

    // The file's CRC-32 follows its bytes as they pass, up to file_end: a
    // header is counted once it is known to belong.
    static void checksum(Candidate &candidate, const char *bytes, qint64 from, qint64 count)
    {
        const qint64 skip = candidate.crc_position - from;
        const qint64 last = std::min(from + count, candidate.file_end);
        if (skip < 0 || last <= candidate.crc_position)
            return;
        candidate.crc = crc32_z(candidate.crc, reinterpret_cast<const Bytef *>(bytes + skip),
                                size_t(last - candidate.crc_position));
        candidate.crc_position = last;
    }

    // The found file's place, CRC-32 and holes, from the candidate walked to
    // its end; the starts inside it are dropped as parts of it.
    void fill_found(WalkedFile &found, const Candidate &candidate)
    {
        found.offset = candidate.start;
        found.length = candidate.file_end - candidate.start;
        found.crc = candidate.crc;
        found.unreadable = candidate.unreadable;
        drop_inside(found.offset, found.offset + found.length);
    }

    // Starts inside a file that was found are parts of it, not files of their own.
    void drop_inside(qint64 start, qint64 end)
    {
        for (Candidate &other : candidates) {
            if (other.start > start && other.start < end)
                other.done = true;
        }
    }

    void remove_done()
    {
        candidates.removeIf([](const Candidate &candidate) { return candidate.done; });
    }

    const qint64 volume_size;
    QList<Candidate> candidates;

private:
    // A hole [from, end) in a payload the candidate passes over: counted as
    // zeros in its CRC and noted, joined to the hole before when they touch.
    // False when the file has too many holes to be worth keeping.
    static bool note_unreadable(Candidate &candidate, qint64 from, qint64 end)
    {
        VolumeExtents &holes = candidate.unreadable;
        if (!holes.isEmpty() && holes.last().offset + holes.last().length == from)
            holes.last().length += end - from;
        else if (holes.size() < most_unreadable_runs)
            holes.append({from, end - from});
        else
            return false;
        static const char zeros[4096] = {};
        for (qint64 at = from; at < end; at += qint64(sizeof zeros))
            checksum(candidate, zeros, at, std::min<qint64>(sizeof zeros, end - at));
        return true;
    }

    void advance_all(const char *data, qint64 data_start, qint64 length)
    {
        // asked at every sector: a list never filled would be "detached"
        // (allocated anew) by the loop's non-const begin() each time
        if (length <= 0 || candidates.isEmpty())
            return;
        for (Candidate &candidate : candidates) {
            if (!candidate.done)
                advance(candidate, data, data_start, length);
        }
    }

    // Bytes of a sector start that never got its whole signature (the volume
    // ended, or unreadable bytes follow) are walked as they are.
    void flush_head()
    {
        if (sector_head.isEmpty())
            return;
        const QByteArray head = sector_head;
        sector_head.clear();
        advance_all(head.constData(), volume_position - head.size(), head.size());
    }

    const int signature_length;
    StartHandler start_seen;
    qint64 volume_position = 0;
    QByteArray sector_head; // the first bytes of a sector cut by a block end
};
