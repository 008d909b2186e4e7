#include "jpegcarver.h"

#include <cstring>

JpegCarver::JpegCarver(StreamHandler handler)
    : handler(std::move(handler))
{
}

void JpegCarver::reset()
{
    carve_state = FindStart;
    volume_position = 0;
    buffer.resize(0);
    head = 0;
    buffer_length = 0;
}

qint64 JpegCarver::position() const
{
    return (carve_state == FindStart ? volume_position : stream_start) + buffered();
}

void JpegCarver::feed(const char *data, qint64 length)
{
    if (buffered() > buffer_cap && carve_state != FindStart)
        reset_stream(); // a candidate that never reached its end within the cap

    if (carve_state == FindStart && buffered() == 0) {
        // Nothing held over: search the block where it lies, copy only from a start on.
        const qint64 skipped = skip_to_start(data, length);
        data += skipped;
        length -= skipped;
    }
    append(data, length);
    while (run_step()) {
    }
}

void JpegCarver::skip_unreadable(qint64 length)
{
    const qint64 next = position() + length;
    buffer.resize(0);
    head = 0;
    carve_state = FindStart;
    stream_start = 0;
    cursor = 0;
    volume_position = next;
}

void JpegCarver::flush()
{
    flushing = true;
    while (run_step()) {
    }
    flushing = false;
}

bool JpegCarver::run_step()
{
    buffer_length = buffered();
    switch (carve_state) {
    case FindStart:
        return find_start();
    case Marker:
        return read_marker();
    case SegmentLength:
        return read_segment_length();
    case SkipSegment:
        return skip_segment();
    case EntropyData:
        return scan_entropy_data();
    }
    return false;
}

bool JpegCarver::is_start_signature(const uchar *at)
{
    return at[0] == 0xFF && at[1] == 0xD8 && at[2] == 0xFF && (at[3] == 0xE0 || at[3] == 0xE1 || at[3] == 0xEC);
}

qint64 JpegCarver::skip_to_start(const char *data, qint64 length)
{
    const uchar *in = reinterpret_cast<const uchar *>(data);
    qint64 pos = 0;
    const qint64 misalignment = volume_position % alignment;
    if (misalignment != 0) {
        pos = qMin(alignment - misalignment, length);
        volume_position += pos;
        if (pos == length)
            return pos;
    }
    while (pos + alignment <= length) {
        if (is_start_signature(in + pos))
            return pos;
        pos += alignment;
        volume_position += alignment;
    }
    return pos;
}

bool JpegCarver::find_start()
{
    const qint64 misalignment = volume_position % alignment;
    if (misalignment != 0) {
        const qint64 gap = alignment - misalignment;
        if (buffer_length < gap)
            return false;
        discard_consumed(gap);
        volume_position += gap;
        return true;
    }
    qint64 off = 0;
    for (; off + alignment <= buffer_length; off += alignment) {
        if (is_start_signature(bytes() + off)) {
            carve_state = Marker;
            stream_start = volume_position;
            cursor = 0;
            entropy_start = 0;
            discard_consumed(off);
            return true;
        }
        volume_position += alignment;
    }
    // the last sector before a gap may be cut short: its start signature still counts
    if (flushing && buffer_length - off >= 4 && is_start_signature(bytes() + off)) {
        carve_state = Marker;
        stream_start = volume_position;
        cursor = 0;
        entropy_start = 0;
        discard_consumed(off);
        return true;
    }
    discard_consumed(off);
    return false;
}

bool JpegCarver::read_marker()
{
    if (buffer_length - cursor < 2)
        return false;
    const uchar lead = bytes()[cursor];
    ++cursor;
    ++volume_position;
    if (lead != 0xFF) {
        // Not a marker where one must stand: drop the candidate with the
        // offending byte and search on in the rest of the block.
        discard_consumed(cursor);
        carve_state = FindStart;
        stream_start = 0;
        cursor = 0;
        return true;
    }
    const uchar code = bytes()[cursor];
    if (code == 0x00) {
        reset_stream();
        return true;
    }
    if (code == 0xFF)
        return true; // a fill byte before a marker; the next FF starts it
    ++cursor;
    ++volume_position;
    if (code == 0xD9) {
        if (handler)
            handler(reinterpret_cast<const char *>(bytes()), cursor, stream_start);
        discard_consumed(cursor);
        cursor = 0;
        stream_start = 0;
        carve_state = FindStart;
    } else if (code == 0xD8 || code == 0x01) {
        // a marker without a length: another marker follows at once
    } else if (code >= 0xD0 && code <= 0xD7) {
        carve_state = EntropyData; // restart markers sit inside entropy-coded data
    } else if (code == 0xDA) {
        carve_state = EntropyData;
        entropy_start = cursor;
    } else {
        carve_state = SegmentLength;
    }
    return true;
}

bool JpegCarver::read_segment_length()
{
    if (buffer_length - cursor < 2)
        return false;
    const uchar *at = bytes() + cursor;
    const int field = (at[0] << 8) | at[1];
    cursor += 2;
    volume_position += 2;
    segment_length = qint64(field) - 2;
    if (segment_length < 2) {
        reset_stream();
        return true;
    }
    carve_state = SkipSegment;
    return true;
}

bool JpegCarver::skip_segment()
{
    if (buffer_length < segment_length)
        return false;
    cursor += segment_length;
    volume_position += segment_length;
    carve_state = Marker;
    return true;
}

bool JpegCarver::scan_entropy_data()
{
    // Only every byte with its successor present is examined, so the last
    // byte waits for the next block.
    if ((!flushing && buffer_length - entropy_start < entropy_scan_minimum) || buffer_length - cursor < 2)
        return false;
    const uchar *data = bytes();
    const qint64 end = buffer_length - 1;
    qint64 i = cursor;
    while (i < end) {
        const void *hit = std::memchr(data + i, 0xFF, size_t(end - i));
        if (!hit)
            break;
        const qint64 at = static_cast<const uchar *>(hit) - data;
        if (data[at + 1] != 0x00) {
            volume_position += at - cursor;
            cursor = at;
            carve_state = Marker;
            return true;
        }
        i = at + 1; // FF 00 is a stuffed zero
    }
    volume_position += end - cursor;
    cursor = end;
    return false;
}

void JpegCarver::append(const char *data, qint64 length)
{
    if (length <= 0)
        return;
    if (head > 0 && head >= buffered()) {
        buffer.remove(0, head);
        head = 0;
    }
    buffer.append(data, length);
}

void JpegCarver::discard_consumed(qint64 n)
{
    if (n <= 0)
        return;
    if (n >= buffer_length) {
        buffer.resize(0);
        head = 0;
        return;
    }
    head += n;
}

void JpegCarver::reset_stream()
{
    const qint64 available = buffered();
    if (cursor > available) {
        // A segment skip ran ahead of the bytes received; the next byte to
        // arrive lies at the end of what is buffered.
        volume_position -= cursor - available;
        cursor = available;
    }
    buffer_length = available;
    discard_consumed(cursor);
    carve_state = FindStart;
    stream_start = 0;
    cursor = 0;
}
