#pragma once

#include "sectorwalker.h"

#include <functional>

// An AVI file followed through its chunks: the segment and chunk being
// walked, and whether the header and the frames' list were seen.
struct RiffCandidate : WalkCandidate
{
    enum class Step { Riff, Chunk, ListType } step = Step::Riff;
    qint64 chunk_start = 0;
    qint64 chunk_end = 0;
    int segments = 0;
    int chunks = 0; // in the first segment
    bool has_header = false;
    qint64 movi_offset = -1;
    qint64 movi_length = 0;
    qint64 frames_end = 0;     // end of the frames' list being walked
    qint64 pending_frame = -1; // a frame's data at a sector start, until the chunk after it is sound
};

// Finds AVI files (RIFF, as compact cameras write Motion-JPEG clips) in a
// volume delivered block by block in volume order. A file is looked for where
// a 512-byte sector starts with `RIFF`, a size and the form `AVI `; its length
// comes from that size, and the chunks inside are followed through their own
// sizes: the header list `hdrl` must come first and open with the main header
// `avih`, every chunk must lie inside the RIFF, and a `movi` list must hold
// the frames. OpenDML files larger than 1 GiB go on in `RIFF`/`AVIX` segments
// right after the first; they belong to the file.
//
// Inside `movi` the walk goes chunk by chunk, so a frame (a `##dc` or `##db`
// chunk) whose data starts at a sector boundary is known as one once the
// chunk after it is sound: a Motion-JPEG frame there is not a photo of its
// own. A clip whose walk cannot go on because sectors of a header it needs
// cannot be read is reported as lost with the span its size gives, so that
// its other frames are not taken for photos either. Payloads are passed over, never held, so a clip of any size costs a
// few dozen bytes of state; several candidates run side by side, their
// number bounded.
class RiffWalker : public SectorWalker<RiffCandidate>
{
public:
    struct Found : WalkedFile
    {
        qint64 movi_offset = 0; // the frames' list, from its header on
        qint64 movi_length = 0;
        int segments = 1;
    };
    using FileHandler = std::function<void(const Found &file)>;
    // A frame's data starts at offset, a sector boundary, inside a clip's frames' list.
    using FrameHandler = std::function<void(qint64 offset)>;
    // A clip known by its headers whose walk ended where a header it needed
    // could not be read: its frames lie somewhere in [start, end), the span
    // its RIFF size gives (within the volume), and are not all known.
    using LostHandler = std::function<void(qint64 start, qint64 end)>;

    static constexpr int most_candidates = 16;
    static constexpr int most_segments = 4096;

    explicit RiffWalker(qint64 volume_size, FileHandler handler = {});

    void set_file_handler(FileHandler file_handler) { handler = std::move(file_handler); }
    void set_frame_handler(FrameHandler frame_handler) { frame_found = std::move(frame_handler); }
    void set_lost_handler(LostHandler lost_handler) { lost = std::move(lost_handler); }

    // Where what is found may still turn out to be a frame of an open
    // candidate (the earliest such offset), or -1.
    qint64 frames_undecided_from() const;

    // True when the first 12 bytes at a sector start may begin an AVI file.
    static bool is_start(const uchar *at, qint64 available);

private:
    void consider_start(qint64 sector, const char *at) override;
    qint64 next_possible_start(const char *block, qint64 block_start, qint64 sector, qint64 end) const override;
    // A segment's header, a chunk's header, or a list's type.
    void take_held(Candidate &candidate) override;
    void take_riff(Candidate &candidate);
    void take_chunk(Candidate &candidate);
    void take_list_type(Candidate &candidate);
    void next_chunk(Candidate &candidate, qint64 resume_at);
    // At a segment's end: the next segment's header is wanted, or the file ends.
    void before_header(Candidate &candidate) override;
    void confirm_frame(Candidate &candidate);
    bool complete(const Candidate &candidate) const;
    void bytes_end(Candidate &candidate, BytesEnd where) override;
    void end_file(Candidate &candidate);

    FileHandler handler;
    FrameHandler frame_found;
    LostHandler lost;
};
