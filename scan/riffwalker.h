#pragma once

#include <QByteArray>
#include <QList>
#include <QtGlobal>

#include <functional>

// Finds AVI files (RIFF, as compact cameras write Motion-JPEG clips) in a
// volume delivered block by block in volume order. A file is looked for where
// a 512-byte sector starts with `RIFF`, a size and the form `AVI `; its length
// comes from that size, and the chunks inside are followed through their own
// sizes: the header list `hdrl` must come first and open with the main header
// `avih`, every chunk must lie inside the RIFF, and a `movi` list must hold
// the frames. OpenDML files larger than 1 GiB go on in `RIFF`/`AVIX` segments
// right after the first; they belong to the file.
//
// Payloads are passed over, never held, so a clip of any size costs a few
// dozen bytes of state; several candidates run side by side, their number
// bounded.
class RiffWalker
{
public:
    struct Found
    {
        qint64 offset = 0;
        qint64 length = 0;
        qint64 movi_offset = 0; // the frames' list, from its header on
        qint64 movi_length = 0;
        int segments = 1;
        quint32 crc = 0;        // CRC-32 of the whole file, taken as its bytes passed
        bool read_whole = true; // false when bytes inside it could not be read (crc is then meaningless)
    };
    using FileHandler = std::function<void(const Found &file)>;

    static constexpr qint64 alignment = 512;
    static constexpr int most_candidates = 16;
    static constexpr int most_segments = 4096;

    explicit RiffWalker(qint64 volume_size, FileHandler handler = {});

    void set_file_handler(FileHandler file_handler) { handler = std::move(file_handler); }

    // Back to the search, nothing open, with position as the volume offset of
    // the next byte fed (a scan that resumes further on).
    void reset(qint64 position);
    void feed(const char *data, qint64 length);
    // length bytes that could not be read follow what was fed.
    void skip_unreadable(qint64 length);
    // The volume ends after what was fed.
    void finish();

    qint64 position() const { return volume_position; }
    // Start of the oldest candidate still open, or -1.
    qint64 earliest_open_start() const;

    // True when the first 12 bytes at a sector start may begin an AVI file.
    static bool is_start(const uchar *at, qint64 available);

private:
    struct Candidate
    {
        enum class Step { Riff, Chunk, ListType };
        qint64 start = 0;
        qint64 position = 0;
        qint64 skip_until = 0;
        QByteArray held;
        int want = 12;
        Step step = Step::Riff;
        qint64 riff_end = 0;   // end of the segment being walked
        qint64 chunk_start = 0;
        qint64 chunk_end = 0;
        int segments = 0;
        int chunks = 0;        // in the first segment
        bool has_header = false;
        qint64 movi_offset = -1;
        qint64 movi_length = 0;
        quint32 crc = 0;
        qint64 crc_position = 0;
        bool read_whole = true;
        bool done = false;
    };

    void consider_start(qint64 sector, const char *at);
    void advance_all(const char *data, qint64 data_start, qint64 length);
    void flush_head();
    void advance(Candidate &candidate, const char *data, qint64 data_start, qint64 length);
    void take_riff(Candidate &candidate);
    void take_chunk(Candidate &candidate);
    void take_list_type(Candidate &candidate);
    void next_chunk(Candidate &candidate, qint64 resume_at);
    void checksum(Candidate &candidate, const char *bytes, qint64 from, qint64 count);
    bool complete(const Candidate &candidate) const;
    void end_file(Candidate &candidate);

    qint64 volume_size = 0;
    qint64 volume_position = 0;
    QList<Candidate> candidates;
    QByteArray sector_head;
    FileHandler handler;
};
