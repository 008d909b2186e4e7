#include "jpegcarver.h"

#include <array>
#include <cstring>

namespace {

// The markers that may follow the start of image in a valid stream: APP0 to
// APP15, COM, DQT, DHT, DRI and the baseline, extended and progressive frame
// headers.
constexpr std::array<bool, 256> first_marker_table()
{
    std::array<bool, 256> table{};
    for (int code = 0xE0; code <= 0xEF; ++code)
        table[code] = true;
    for (int code : {0xFE, 0xDB, 0xC4, 0xDD, 0xC0, 0xC1, 0xC2})
        table[code] = true;
    return table;
}

constexpr std::array<bool, 256> first_marker = first_marker_table();

} // namespace

JpegCarver::JpegCarver(StreamHandler handler)
    : handler(std::move(handler))
{
}

void JpegCarver::reset(qint64 position)
{
    carve_state = FindStart;
    volume_position = position;
    buffer.resize(0);
    outside = nullptr;
    outside_size = 0;
    head = 0;
    buffer_length = 0;
    stream_start = 0;
    cursor = 0;
}

qint64 JpegCarver::position() const
{
    return (carve_state == FindStart ? volume_position : stream_start) + buffered();
}

void JpegCarver::feed(const char *data, qint64 length)
{
    if (buffered() > buffer_cap && carve_state != FindStart)
        give_up(GiveUp::OverCap, qMin(cursor, buffered())); // never reached its end within the cap

    // Bytes held over from the last block go on with this one's, piece by
    // piece, until all that is held lies in this block (a candidate ended,
    // the search moved on): from there the block is read where it lies.
    qint64 taken = 0;
    while (buffered() > 0 && taken < length) {
        const qint64 piece = qMin(piece_size, length - taken);
        append(data + taken, piece);
        taken += piece;
        while (run_step()) {
        }
        if (buffered() <= taken) {
            const qint64 from = taken - buffered();
            buffer.resize(0);
            head = 0;
            run_in_place(data + from, length - from);
            return;
        }
    }
    if (taken == length)
        return;

    if (carve_state == FindStart) {
        // Nothing held over: search the block where it lies up to a start.
        const qint64 skipped = skip_to_start(data, length);
        data += skipped;
        length -= skipped;
    }
    run_in_place(data, length);
}

void JpegCarver::run_in_place(const char *data, qint64 length)
{
    outside = data;
    outside_size = length;
    head = 0;
    while (run_step()) {
    }
    const qint64 rest = buffered();
    const qint64 from = head;
    outside = nullptr;
    outside_size = 0;
    head = 0;
    buffer.resize(0);
    if (rest > 0)
        buffer.append(data + from, rest);
}

void JpegCarver::skip_unreadable(qint64 length)
{
    const qint64 gap_start = position();
    run_held_bytes(GiveUp::Unreadable);
    buffer.resize(0);
    head = 0;
    volume_position = gap_start + length;
}

void JpegCarver::finish()
{
    const qint64 end = position();
    run_held_bytes(GiveUp::EndOfVolume);
    buffer.resize(0);
    head = 0;
    volume_position = end;
}

// No more bytes follow those held: every candidate that cannot end within
// them is given up, and the search goes on behind its start.
// A candidate is finished on what is held, without the entropy minimum, and
// a start in a last sector cut short still counts.
void JpegCarver::run_held_bytes(GiveUp why)
{
    flushing = true;
    for (;;) {
        while (run_step()) {
        }
        if (carve_state == FindStart)
            break;
        give_up(why, qMin(cursor, buffered()));
    }
    flushing = false;
}

// The search resumes at the first boundary after the candidate's start; the
// candidate's bytes from there on are still held and are searched first.
void JpegCarver::give_up(GiveUp why, qint64 sound_length)
{
    const qint64 held = buffered();
    if (given_up)
        given_up(reinterpret_cast<const char *>(bytes()), qMin(sound_length, held), stream_start, why);
    const qint64 resume = qMin(alignment, held);
    buffer_length = held;
    discard_consumed(resume);
    volume_position = stream_start + resume;
    carve_state = FindStart;
    stream_start = 0;
    cursor = 0;
}

bool JpegCarver::run_step()
{
    buffer_length = buffered();
    switch (carve_state) {
    case FindStart:
        return find_start();
    case Marker:
        return read_marker();
    case EntropyData:
        return scan_entropy_data();
    }
    return false;
}

bool JpegCarver::is_start_signature(const uchar *at)
{
    return at[0] == 0xFF && at[1] == 0xD8 && at[2] == 0xFF && first_marker[at[3]];
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
        if (is_start_signature(bytes() + off))
            return begin_candidate(off);
        volume_position += alignment;
    }
    // the last sector before a gap may be cut short: its start signature still counts
    if (flushing && buffer_length - off >= 4 && is_start_signature(bytes() + off))
        return begin_candidate(off);
    discard_consumed(off);
    return false;
}

bool JpegCarver::begin_candidate(qint64 off)
{
    carve_state = Marker;
    stream_start = volume_position;
    cursor = 0;
    entropy_start = 0;
    discard_consumed(off);
    return true;
}

bool JpegCarver::read_marker()
{
    // A segment's payload is not needed: the cursor may run ahead of the
    // bytes held, and the next marker is read once they are in.
    JpegMarker marker;
    JpegMarkerReader::Fault fault = JpegMarkerReader::Fault::NotAMarker;
    switch (JpegMarkerReader::read_marker(bytes(), buffer_length, cursor, marker, &fault)) {
    case JpegMarkerReader::Read::NeedData:
        return false;
    case JpegMarkerReader::Read::Fault:
        give_up(give_up_reason(fault), cursor);
        return true;
    case JpegMarkerReader::Read::Marker:
        break;
    }
    if (marker.code == JpegMarkerReader::eoi) {
        if (handler)
            handler(reinterpret_cast<const char *>(bytes()), cursor, stream_start);
        discard_consumed(cursor);
        volume_position = stream_start + cursor;
        cursor = 0;
        stream_start = 0;
        carve_state = FindStart;
    } else if (JpegMarkerReader::is_restart(marker.code)) {
        carve_state = EntropyData; // restart markers sit inside entropy-coded data
    } else if (marker.code == JpegMarkerReader::sos) {
        carve_state = EntropyData;
        entropy_start = cursor;
    }
    return true;
}

JpegCarver::GiveUp JpegCarver::give_up_reason(JpegMarkerReader::Fault fault)
{
    switch (fault) {
    case JpegMarkerReader::Fault::SecondStart:
        return GiveUp::NewStart;
    case JpegMarkerReader::Fault::BadLength:
        return GiveUp::BadLength;
    case JpegMarkerReader::Fault::Unknown:
        return GiveUp::UnknownMarker;
    case JpegMarkerReader::Fault::NotAMarker:
        break;
    }
    return GiveUp::NotAMarker;
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
            cursor = at;
            carve_state = Marker;
            return true;
        }
        i = at + 1; // FF 00 is a stuffed zero
    }
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
    if (outside) {
        head += qMin(n, buffered());
        return;
    }
    if (n >= buffer_length) {
        buffer.resize(0);
        head = 0;
        return;
    }
    head += n;
}
