#include "riffwalker.h"

#include <QtEndian>

#include <algorithm>
#include <cstring>

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

// Video frames: `##dc` (compressed) or `##db`, ## the stream's number.
bool is_frame_chunk(const char *at)
{
    return std::memcmp(at + 2, "dc", 2) == 0 || std::memcmp(at + 2, "db", 2) == 0;
}

// A chunk's data is padded to an even length.
qint64 padded(quint32 size)
{
    return qint64(size) + (size & 1);
}

} // namespace

RiffWalker::RiffWalker(qint64 volume_size, FileHandler handler)
    : SectorWalker(volume_size, riff_header)
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

qint64 RiffWalker::next_possible_start(const char *block, qint64 block_start, qint64 sector, qint64 end) const
{
    while (sector + riff_header <= end
           && !is_start(reinterpret_cast<const uchar *>(block + (sector - block_start)), riff_header))
        sector += alignment;
    return sector;
}

// Opens a candidate at a sector start that looks like an AVI file's header,
// while there is room.
void RiffWalker::consider_start(qint64 sector, const char *at)
{
    if (!is_start(reinterpret_cast<const uchar *>(at), riff_header))
        return;
    note_start(sector);
    remove_done();
    if (candidates.size() < most_candidates)
        open_candidate(sector).want = riff_header;
}

// A segment walked to its end is followed by another OpenDML segment, or
// ends the file.
void RiffWalker::before_header(Candidate &candidate)
{
    if (candidate.step != Candidate::Step::Chunk || candidate.position != candidate.file_end)
        return;
    candidate.step = Candidate::Step::Riff;
    candidate.want = riff_header;
    if (candidate.file_end == volume_size)
        end_file(candidate);
}

void RiffWalker::take_held(Candidate &candidate)
{
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
    candidate.file_end = end;
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
    // a chunk of the frames' list lies inside it; some writers leave out
    // the pad byte of the last chunk
    const bool in_frames = candidate.chunk_start < candidate.frames_end;
    const qint64 parent_end = in_frames ? candidate.frames_end : candidate.file_end;
    const bool fits = candidate.chunk_end <= parent_end
                   || (candidate.chunk_end == parent_end + 1 && (le32(at + 4) & 1));
    if (!is_chunk_id(at) || !fits || (first && !list) || (list && le32(at + 4) < 4)) {
        candidate.done = true;
        return;
    }
    confirm_frame(candidate);
    candidate.chunk_end = std::min(candidate.chunk_end, parent_end);
    if (candidate.segments == 1)
        ++candidate.chunks;
    const qint64 data = candidate.chunk_start + chunk_header;
    if (in_frames && is_frame_chunk(at) && data % alignment == 0)
        candidate.pending_frame = data;
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
    } else if (same(at, "movi")) {
        if (candidate.movi_offset < 0) {
            candidate.movi_offset = candidate.chunk_start;
            candidate.movi_length = candidate.chunk_end - candidate.chunk_start;
        }
        // the frames' list (one per segment) is walked chunk by chunk
        candidate.frames_end = candidate.chunk_end;
        candidate.held.clear();
        next_chunk(candidate, candidate.position);
        return;
    } else if (candidate.chunk_start < candidate.frames_end) {
        // a list inside the frames' list (`rec `) holds chunks of its own
        candidate.held.clear();
        next_chunk(candidate, candidate.position);
        return;
    }
    candidate.held.clear();
    next_chunk(candidate, candidate.chunk_end);
}

// The chunk after a frame is sound (or the file ends after it): the frame's
// data is a frame's indeed.
void RiffWalker::confirm_frame(Candidate &candidate)
{
    if (candidate.pending_frame >= 0 && frame_found)
        frame_found(candidate.pending_frame);
    candidate.pending_frame = -1;
}

qint64 RiffWalker::frames_undecided_from() const
{
    qint64 earliest = -1;
    for (const Candidate &candidate : candidates) {
        if (candidate.done)
            continue;
        const qint64 from = candidate.pending_frame >= 0 ? candidate.pending_frame : candidate.position;
        if (earliest < 0 || from < earliest)
            earliest = from;
    }
    return earliest;
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
    confirm_frame(candidate);
    Found found;
    fill_found(found, candidate);
    found.movi_offset = candidate.movi_offset;
    found.movi_length = candidate.movi_length;
    found.segments = candidate.segments;
    if (handler)
        handler(found);
}

// The file ends with the segment whose end the walk reached; at the
// volume's end, also where the next segment's header was wanted.
void RiffWalker::bytes_end(Candidate &candidate, BytesEnd where)
{
    const bool passed = candidate.position >= candidate.skip_until;
    const bool at_segment_end = where == BytesEnd::AtGap
        ? candidate.held.isEmpty() && candidate.step == Candidate::Step::Chunk && passed
              && candidate.position == candidate.file_end
        : passed && (candidate.position == candidate.file_end
                     || (candidate.step == Candidate::Step::Riff && candidate.segments > 0));
    if (at_segment_end)
        end_file(candidate);
    else if (where == BytesEnd::AtGap && candidate.has_header && lost)
        lost(candidate.start, candidate.file_end);
}
