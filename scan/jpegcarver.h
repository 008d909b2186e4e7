#pragma once

#include <QByteArray>
#include <QtGlobal>

#include <functional>

// Cuts complete JPEG streams out of a volume delivered block by block in
// volume order. A stream is looked for only where it starts at a 512-byte
// boundary, then followed through its marker structure to its end-of-image
// marker. Whenever the bytes run out mid-structure the carver waits and
// resumes exactly there with the next block, so the streams found do not
// depend on how the volume is cut into blocks.
class JpegCarver
{
public:
    enum State { FindStart = 0, Marker = 1, SegmentLength = 2, SkipSegment = 3, EntropyData = 4 };

    // Called with the stream's bytes, its length and its volume offset. The
    // bytes are valid only during the call.
    using StreamHandler = std::function<void(const char *stream, qint64 length, qint64 offset)>;

    static constexpr qint64 alignment = 512;
    static constexpr qint64 buffer_cap = 52428800;
    static constexpr qint64 entropy_scan_minimum = 64;

    explicit JpegCarver(StreamHandler handler = {});

    void set_stream_handler(StreamHandler stream_handler) { handler = std::move(stream_handler); }

    // Back to the start of a volume: searching, at offset 0, nothing buffered.
    void reset();
    void feed(const char *data, qint64 length);
    // length bytes that could not be read follow what was fed: any candidate
    // is given up and the search restarts after the gap.
    void skip_unreadable(qint64 length);
    // No more bytes follow what was fed (the end of the volume, or before an
    // unreadable gap): a candidate waiting for more is finished on the bytes
    // in hand, without the entropy minimum, and a start in a sector cut short
    // is still examined.
    void flush();

    int state() const { return carve_state; }
    // Volume offset of the next byte to be fed.
    qint64 position() const;
    qint64 buffered() const { return buffer.size() - head; }

private:
    bool run_step();
    bool find_start();
    bool read_marker();
    bool read_segment_length();
    bool skip_segment();
    bool scan_entropy_data();

    qint64 skip_to_start(const char *data, qint64 length);
    void append(const char *data, qint64 length);
    void discard_consumed(qint64 n);
    void reset_stream();
    const uchar *bytes() const { return reinterpret_cast<const uchar *>(buffer.constData()) + head; }

    static bool is_start_signature(const uchar *at);

    // Consumed bytes are dropped by moving head; the array is compacted only
    // when the dead part outgrows the live one.
    QByteArray buffer;
    qint64 head = 0;
    int carve_state = FindStart;
    qint64 buffer_length = 0;
    qint64 volume_position = 0;
    qint64 stream_start = 0;
    qint64 cursor = 0;
    qint64 segment_length = 0;
    qint64 entropy_start = 0; // cursor where the current scan's entropy data began
    bool flushing = false;
    StreamHandler handler;
};
