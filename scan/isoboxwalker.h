#pragma once

#include "sectorwalker.h"

#include <QString>

#include <array>
#include <functional>

// A file followed through its boxes: the containers open around the next
// header, and what the boxes so far say the file holds.
struct IsoBoxCandidate : WalkCandidate
{
    static constexpr int deepest = 6;
    struct Open
    {
        quint32 type = 0;
        qint64 end = 0;
        int children = 0;
    };

    enum class Step { Header, LargeSize, Prefix } step = Step::Header;
    quint32 box_type = 0;
    qint64 box_start = 0;
    qint64 box_end = 0;
    std::array<Open, deepest> open{};
    int depth = 0;
    bool strong = false;
    int top_boxes = 0;
    quint32 major_brand = 0;
    bool heic_brand = false;
    bool has_moov = false;
    bool has_mdat = false;
    bool has_meta = false;
    bool moov_has_header = false;
    bool picture_handler = false;
    bool has_item_locations = false;
    int tracks = 0;
    int video_tracks = 0;
};

// Finds ISO base media files (MP4, MOV, 3GP, HEIC) in a volume delivered
// block by block in volume order. A file is looked for where a 512-byte
// sector starts with its `ftyp` box, or with `mdat`, `moov`, `wide` or `free`
// as some cameras write it, and is followed box by box through the sizes in
// the box headers, never through the payloads: a video of several GiB costs a
// few hundred bytes of state. Inside `moov` and `meta` the walker descends
// into the containers that say what the file holds (tracks, handlers) and
// checks that every child lies inside its parent.
//
// A file ends after its last top-level box: the next header that is not a box
// such files carry (another `ftyp`, an unknown type, a size the volume cannot
// hold, zeros) belongs to something else. A file is reported only when it
// holds what makes it playable or viewable: `moov` with a track and `mdat` for
// a video, `meta` with a picture handler and item locations for an image.
//
// Each file's CRC-32 is taken as its bytes pass, so a video is never held
// to be checked for a repeat.
//
// Several candidates run side by side, so a file that starts inside what a
// false start claims is still found. Their number and each one's state are
// bounded, so time is linear in the bytes fed and memory is constant.
class IsoBoxWalker : public SectorWalker<IsoBoxCandidate>
{
public:
    enum class Kind { Mp4, Mov, ThreeGp, Heic };

    struct Found : WalkedFile
    {
        Kind kind = Kind::Mp4;
        int tracks = 0;
        int video_tracks = 0;
    };
    using FileHandler = std::function<void(const Found &file)>;
    // The end of the file starting at offset, at least at_least bytes on,
    // when something else knows it (a deleted directory entry), else -1. A
    // box of size 0 runs to that end; with none known it cannot be bounded
    // and the candidate is given up.
    using KnownEnd = std::function<qint64(qint64 offset, qint64 at_least)>;

    static constexpr int most_candidates = 32;
    static constexpr int deepest = IsoBoxCandidate::deepest;
    static constexpr int most_tracks = 64;

    explicit IsoBoxWalker(qint64 volume_size, FileHandler handler = {});

    void set_file_handler(FileHandler file_handler) { handler = std::move(file_handler); }
    void set_known_end(KnownEnd known) { known_end = std::move(known); }

    // True when the bytes at a sector start (at least 16 of them) may begin a
    // file; strong is set for an `ftyp` start.
    static bool is_start(const uchar *at, qint64 available, bool *strong = nullptr);
    static QString suffix_of(Kind kind);

private:
    // With all places taken, an `ftyp` start takes the place of the oldest
    // candidate that started otherwise.
    void consider_start(qint64 sector, const char *at) override;
    qint64 next_possible_start(const char *block, qint64 block_start, qint64 sector, qint64 end) const override;
    // Closes the containers whose last child ended there.
    void before_header(Candidate &candidate) override;
    void close_containers(Candidate &candidate);
    // A box header, a 64-bit size, or the first bytes of `ftyp` or `hdlr`.
    void take_held(Candidate &candidate) override;
    void take_header(Candidate &candidate);
    void take_box(Candidate &candidate, qint64 size, int header_length);
    bool take_top_level_box(Candidate &candidate, qint64 size, int header_length);
    bool take_child_box(Candidate &candidate, qint64 size, int header_length);
    void take_prefix(Candidate &candidate);
    bool complete(const Candidate &candidate) const;
    void bytes_end(Candidate &candidate, BytesEnd where) override;
    void end_file(Candidate &candidate);

    FileHandler handler;
    KnownEnd known_end;
};
