#pragma once

#include "jpegmarkerreader.h"

#include <QByteArray>
#include <QtGlobal>

#include <functional>

// Cuts complete JPEG streams out of a volume delivered block by block in
// volume order. A stream is looked for only where it starts at a 512-byte
// boundary, then followed through its marker structure to its end-of-image
// marker, its markers read by JpegMarkerReader. Whenever the bytes run out
// mid-structure the carver waits and resumes exactly there with the next
// block, so the streams found do not depend on how the volume is cut into
// blocks.
//
// A candidate that breaks its structure is given up, and the search resumes
// at the first boundary after the candidate's own start: a photo that starts
// inside what a broken candidate ran over (a segment it skipped, data it
// scanned) is still found.
class JpegCarver
{
public:
    enum State { FindStart, Marker, EntropyData };

    // Why a candidate was given up.
    enum class GiveUp {
        NotAMarker,    // a byte other than FF, or FF 00, where a marker must stand
        NewStart,      // FF D8 where a marker must stand: another image begins there
        BadLength,     // a length field below 2 on a segment libjpeg reads
        UnknownMarker, // a marker code libjpeg refuses
        OverCap,      // no end of image within buffer_cap bytes
        Unreadable,   // the candidate runs into sectors that could not be read
        EndOfVolume,  // the candidate was still open when the volume ended
    };

    // Called with the stream's bytes, its length and its volume offset. The
    // bytes are valid only during the call.
    using StreamHandler = std::function<void(const char *stream, qint64 length, qint64 offset)>;
    // Called for a candidate that is given up, before the search resumes
    // behind its start: its bytes from its start up to where its structure
    // broke (sound_length, at most what is held), its volume offset and why.
    // The bytes are valid only during the call.
    using GiveUpHandler =
        std::function<void(const char *candidate, qint64 sound_length, qint64 offset, GiveUp why)>;

    static constexpr qint64 alignment = 512;
    static constexpr qint64 buffer_cap = 52428800;
    static constexpr qint64 entropy_scan_minimum = 64;

    explicit JpegCarver(StreamHandler handler = {});

    void set_stream_handler(StreamHandler stream_handler) { handler = std::move(stream_handler); }
    void set_give_up_handler(GiveUpHandler give_up_handler) { given_up = std::move(give_up_handler); }

    // Back to searching, nothing buffered, with position as the volume
    // offset of the next byte fed (0: the start of the volume).
    void reset(qint64 position = 0);
    void feed(const char *data, qint64 length);
    // length bytes that could not be read follow what was fed: any candidate
    // is given up, the bytes held are searched, and the search goes on after
    // the gap.
    void skip_unreadable(qint64 length);
    // The volume ends after what was fed: a candidate still open is given up
    // and the whole sectors held behind its start are searched.
    void finish();

    // True when the four bytes at at may begin a JPEG stream.
    static bool is_start_signature(const uchar *at);

    int state() const { return carve_state; }
    // Volume offset of the next byte to be fed.
    qint64 position() const;
    qint64 buffered() const { return (outside ? outside_size : buffer.size()) - head; }

private:
    bool run_step();
    bool find_start();
    // A start signature at off: the candidate begins there.
    bool begin_candidate(qint64 off);
    bool read_marker();
    static GiveUp give_up_reason(JpegMarkerReader::Fault fault);
    bool scan_entropy_data();

    void run_held_bytes(GiveUp why);
    void give_up(GiveUp why, qint64 sound_length);
    qint64 skip_to_start(const char *data, qint64 length);
    void append(const char *data, qint64 length);
    void discard_consumed(qint64 n);
    // Runs over length bytes where the caller holds them, then keeps what
    // is still needed (an open candidate, a sector cut short) in the buffer.
    void run_in_place(const char *data, qint64 length);
    const uchar *bytes() const
    {
        return reinterpret_cast<const uchar *>(outside ? outside : buffer.constData()) + head;
    }

    // Bytes are held in the buffer only across blocks: within a block the
    // carver reads them where they were fed (outside), so a stream found in
    // one block is never copied here. Consumed bytes are dropped by moving
    // head; the array is compacted only when the dead part outgrows the live
    // one. While a candidate is open the bytes held are all its bytes from
    // its first on.
    QByteArray buffer;
    const char *outside = nullptr; // the block being fed, while it is read in place
    qint64 outside_size = 0;
    qint64 head = 0;
    // What is held from the last block is followed by the next block's bytes
    // this many at a time, until what is held lies within the new block.
    static constexpr qint64 piece_size = 64 * 1024;
    int carve_state = FindStart;
    qint64 buffer_length = 0;
    qint64 volume_position = 0; // in FindStart: offset of the first byte held
    qint64 stream_start = 0;
    qint64 cursor = 0;
    qint64 entropy_start = 0; // cursor where the current scan's entropy data began
    bool flushing = false;
    StreamHandler handler;
    GiveUpHandler given_up;
};
