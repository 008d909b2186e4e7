#include "riffwalker.h"

#include <QtEndian>

#include <algorithm>
#include <cstring>

#include <zlib.h>

namespace {

constexpr int riff_header = 12;
constexpr int chunk_header = 8;
constexpr quint32 main_header_size = 56; // AVIMAINHEADER without its chunk header

bool same(const char *at, const char (&name)[5])
{
    return std::memcmp(at, name, 4) == 0;
}

quint32 le32(const char *at)
{
    return qFromLittleEndian<quint32>(at);
}

// Chunk ids are four characters: letters, digits and spaces.
bool is_chunk_id(const char *at)
{
    for (int i = 0; i < 4; ++i) {
        const uchar c = uchar(at[i]);
        if (c < 0x20 || c > 0x7E)
            return false;
    }
    return true;
}

// A chunk's data is padded to an even length.
qint64 padded(quint32 size)
{
    return qint64(size) + (size & 1);
}

} // namespace

RiffWalker::RiffWalker(qint64 volume_size, FileHandler handler)
    : volume_size(volume_size)
    , handler(std::move(handler))
{
}

bool RiffWalker::is_start(const uchar *at, qint64 available)
{
    if (available < riff_header)
        return false;
    const char *bytes = reinterpret_cast<const char *>(at);
    // the header list and the frames' list need at least their headers
    return same(bytes, "RIFF") && same(bytes + 8, "AVI ") && le32(bytes + 4) >= 4 + 3 * chunk_header + 8;
}

qint64 RiffWalker::earliest_open_start() const
{
    qint64 earliest = -1;
    for (const Candidate &candidate : candidates) {
        if (!candidate.done && (earliest < 0 || candidate.start < earliest))
            earliest = candidate.start;
    }
    return earliest;
}

void RiffWalker::reset(qint64 position)
{
    candidates.clear();
    sector_head.clear();
    volume_position = position;
}

void RiffWalker::feed(const char *data, qint64 length)
{
    if (length <= 0)
        return;
    const qint64 block_start = volume_position;
    const qint64 end = block_start + length;
    qint64 sector = (block_start + alignment - 1) / alignment * alignment;
    if (!sector_head.isEmpty()) {
        // a sector start cut by the last block: judged now, then its bytes walked
        const qint64 head_start = block_start - sector_head.size();
        sector_head.append(data, std::min<qint64>(riff_header - sector_head.size(), length));
        if (sector_head.size() < riff_header) {
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
        const qint64 stop = std::min(sector, end);
        advance_all(data + (walked - block_start), walked, stop - walked);
        walked = stop;
        if (sector >= end)
            break;
        if (end - sector < riff_header) {
            sector_head = QByteArray(data + (sector - block_start), end - sector);
            break;
        }
        consider_start(sector, data + (sector - block_start));
        sector += alignment;
    }
    volume_position = end;
    candidates.removeIf([](const Candidate &candidate) { return candidate.done; });
}

void RiffWalker::advance_all(const char *data, qint64 data_start, qint64 length)
{
    if (length <= 0)
        return;
    for (Candidate &candidate : candidates) {
        if (!candidate.done)
            advance(candidate, data, data_start, length);
    }
}

// Bytes of a sector start that never got its whole signature (the volume
// ended, or unreadable bytes follow) are walked as they are.
void RiffWalker::flush_head()
{
    if (sector_head.isEmpty())
        return;
    const QByteArray head = sector_head;
    sector_head.clear();
    advance_all(head.constData(), volume_position - head.size(), head.size());
}

// Opens a candidate at a sector start that looks like an AVI file's header,
// while there is room.
void RiffWalker::consider_start(qint64 sector, const char *at)
{
    if (!is_start(reinterpret_cast<const uchar *>(at), riff_header))
        return;
    candidates.removeIf([](const Candidate &candidate) { return candidate.done; });
    if (candidates.size() >= most_candidates)
        return;
    Candidate candidate;
    candidate.start = sector;
    candidate.position = sector;
    candidate.riff_end = sector;
    candidate.crc_position = sector;
    candidates.append(candidate);
}
void RiffWalker::advance(Candidate &candidate, const char *data, qint64 data_start, qint64 length)
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
        if (candidate.step == Candidate::Step::Chunk && candidate.held.isEmpty()
            && candidate.position == candidate.riff_end) {
            // the segment is whole: another OpenDML segment, or the file's end
            candidate.step = Candidate::Step::Riff;
            candidate.want = riff_header;
            if (candidate.riff_end == volume_size) {
                end_file(candidate);
                return;
            }
        }
        const qint64 take = std::min<qint64>(candidate.want - candidate.held.size(), end - candidate.position);
        const char *taken = data + (candidate.position - data_start);
        candidate.held.append(taken, take);
        checksum(candidate, taken, candidate.position, take);
        candidate.position += take;
        if (candidate.held.size() < candidate.want)
            return;
        switch (candidate.step) {
        case Candidate::Step::Riff:
            take_riff(candidate);
            break;
        case Candidate::Step::Chunk:
            take_chunk(candidate);
            break;
        case Candidate::Step::ListType:
            take_list_type(candidate);
            break;
        }
    }
}

void RiffWalker::take_riff(Candidate &candidate)
{
    const char *at = candidate.held.constData();
    const qint64 header_start = candidate.position - riff_header;
    const bool first = candidate.segments == 0;
    const bool segment = same(at, "RIFF") && same(at + 8, first ? "AVI " : "AVIX");
    const quint32 size = le32(at + 4);
    const qint64 end = header_start + chunk_header + padded(size);
    if (!segment || end > volume_size || size < 4 || candidate.segments >= most_segments) {
        candidate.held.clear();
        if (first)
            candidate.done = true;
        else
            end_file(candidate); // what follows the last segment is not the file's
        return;
    }
    ++candidate.segments;
    candidate.riff_end = end;
    checksum(candidate, at, header_start, riff_header);
    candidate.held.clear();
    next_chunk(candidate, candidate.position);
}

void RiffWalker::take_chunk(Candidate &candidate)
{
    const char *at = candidate.held.constData();
    candidate.chunk_start = candidate.position - chunk_header;
    candidate.chunk_end = candidate.chunk_start + chunk_header + padded(le32(at + 4));
    const bool list = same(at, "LIST");
    const bool first = candidate.segments == 1 && candidate.chunks == 0;
    // some writers leave out the pad byte of the last chunk
    const bool fits = candidate.chunk_end <= candidate.riff_end
                   || (candidate.chunk_end == candidate.riff_end + 1 && (le32(at + 4) & 1));
    if (!is_chunk_id(at) || !fits || (first && !list) || (list && le32(at + 4) < 4)) {
        candidate.done = true;
        return;
    }
    candidate.chunk_end = std::min(candidate.chunk_end, candidate.riff_end);
    if (candidate.segments == 1)
        ++candidate.chunks;
    candidate.held.clear();
    if (list) {
        // the header list opens with the main header
        candidate.step = Candidate::Step::ListType;
        candidate.want = first ? 4 + chunk_header : 4;
        return;
    }
    next_chunk(candidate, candidate.chunk_end);
}

void RiffWalker::take_list_type(Candidate &candidate)
{
    const char *at = candidate.held.constData();
    if (candidate.want > 4) {
        if (!same(at, "hdrl") || !same(at + 4, "avih") || le32(at + 8) != main_header_size
            || candidate.chunk_start + 12 + chunk_header + main_header_size > candidate.chunk_end) {
            candidate.done = true;
            return;
        }
        candidate.has_header = true;
    } else if (same(at, "movi") && candidate.movi_offset < 0) {
        candidate.movi_offset = candidate.chunk_start;
        candidate.movi_length = candidate.chunk_end - candidate.chunk_start;
    }
    candidate.held.clear();
    next_chunk(candidate, candidate.chunk_end);
}

// The file's CRC-32 follows its bytes as they pass, up to the end of its last
// segment: a segment's header is counted once it is known to belong.
void RiffWalker::checksum(Candidate &candidate, const char *bytes, qint64 from, qint64 count)
{
    const qint64 skip = candidate.crc_position - from;
    const qint64 last = std::min(from + count, candidate.riff_end);
    if (skip < 0 || last <= candidate.crc_position)
        return;
    candidate.crc = crc32_z(candidate.crc, reinterpret_cast<const Bytef *>(bytes + skip),
                            size_t(last - candidate.crc_position));
    candidate.crc_position = last;
}

void RiffWalker::next_chunk(Candidate &candidate, qint64 resume_at)
{
    candidate.step = Candidate::Step::Chunk;
    candidate.want = chunk_header;
    candidate.skip_until = resume_at;
}

bool RiffWalker::complete(const Candidate &candidate) const
{
    return candidate.has_header && candidate.movi_offset >= 0 && candidate.segments > 0;
}

void RiffWalker::end_file(Candidate &candidate)
{
    candidate.done = true;
    if (!complete(candidate))
        return;
    Found found;
    found.offset = candidate.start;
    found.length = candidate.riff_end - candidate.start;
    found.movi_offset = candidate.movi_offset;
    found.movi_length = candidate.movi_length;
    found.segments = candidate.segments;
    found.crc = candidate.crc;
    found.read_whole = candidate.read_whole;
    for (Candidate &other : candidates) {
        if (other.start > found.offset && other.start < found.offset + found.length)
            other.done = true;
    }
    if (handler)
        handler(found);
}

void RiffWalker::skip_unreadable(qint64 length)
{
    if (length <= 0)
        return;
    flush_head();
    const qint64 end = volume_position + length;
    for (Candidate &candidate : candidates) {
        if (candidate.done)
            continue;
        if (candidate.held.isEmpty() && candidate.skip_until >= end) {
            candidate.position = end;
            candidate.read_whole = false;
        }
        else if (candidate.held.isEmpty() && candidate.step == Candidate::Step::Chunk
                 && candidate.position == candidate.riff_end && candidate.skip_until <= candidate.position)
            end_file(candidate);
        else
            candidate.done = true;
    }
    volume_position = end;
    candidates.removeIf([](const Candidate &candidate) { return candidate.done; });
}

void RiffWalker::finish()
{
    flush_head();
    for (Candidate &candidate : candidates) {
        if (candidate.done)
            continue;
        const bool at_segment_end = candidate.position >= candidate.skip_until
                                 && (candidate.position == candidate.riff_end
                                     || (candidate.step == Candidate::Step::Riff && candidate.segments > 0));
        if (at_segment_end)
            end_file(candidate);
        candidate.done = true;
    }
    candidates.removeIf([](const Candidate &candidate) { return candidate.done; });
    sector_head.clear();
}
