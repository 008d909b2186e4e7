// The marker reader over a stream made of the input: every marker it reads
// lies in the bytes where it says, by the one policy (no second start of
// image, no code libjpeg refuses, a length that matches the payload), and
// reading the bytes as they arrive a few at a time, as the carver does,
// gives the same markers as reading them whole. The frame limits read from
// the same bytes stay within what a frame can claim.

#include "fuzztarget.h"
#include "jpegframelimits.h"
#include "jpegmarkerreader.h"

#include <QList>

#include <cstring>
#include <memory>
#include <random>

namespace {

// Where the next marker after the entropy-coded data from at stands: the
// first FF that is no stuffed zero and no restart marker, as the carver finds it.
qint64 after_entropy_data(const uchar *data, qint64 size, qint64 at)
{
    for (; at + 1 < size; ++at)
        if (data[at] == 0xFF && data[at + 1] != 0x00 && !JpegMarkerReader::is_restart(data[at + 1]))
            return at;
    return size;
}

struct Walk
{
    QList<JpegMarker> markers;
    JpegMarkerReader::Read last = JpegMarkerReader::Read::NeedData;
};

void check(const uchar *data, qint64 size, const JpegMarker &marker)
{
    FUZZ_REQUIRE(marker.offset >= 0 && marker.offset + 2 <= size);
    FUZZ_REQUIRE(data[marker.offset] == 0xFF && data[marker.offset + 1] == marker.code);
    FUZZ_REQUIRE(marker.code != 0x00 && marker.code != 0xFF);
    FUZZ_REQUIRE(marker.code != JpegMarkerReader::soi || marker.offset == 0);
    FUZZ_REQUIRE(marker.payload_length >= 0 && marker.payload_length <= 65533);
    if (JpegMarkerReader::stands_alone(marker.code)) {
        FUZZ_REQUIRE(marker.payload == marker.offset + 2 && marker.payload_length == 0);
    } else {
        FUZZ_REQUIRE(marker.payload == marker.offset + 4 && marker.offset + 4 <= size);
        const int field = data[marker.offset + 2] << 8 | data[marker.offset + 3];
        FUZZ_REQUIRE(field == marker.payload_length + 2 || (field < 2 && marker.payload_length == 0));
    }
}

// The markers of the whole stream, entropy-coded data stepped over.
Walk read_whole(const uchar *data, qint64 size)
{
    Walk walk;
    qint64 at = 0;
    while (walk.markers.size() < 100000) {
        JpegMarker marker;
        const qint64 from = at;
        walk.last = JpegMarkerReader::read_marker(data, size, at, marker);
        if (walk.last != JpegMarkerReader::Read::Marker) {
            FUZZ_REQUIRE(at >= from && at <= qMax(from, size));
            break;
        }
        check(data, size, marker);
        FUZZ_REQUIRE(marker.offset >= from && at == marker.end());
        walk.markers.append(marker);
        if (marker.code == JpegMarkerReader::eoi)
            break;
        if (marker.code == JpegMarkerReader::sos || JpegMarkerReader::is_restart(marker.code))
            at = after_entropy_data(data, size, qMin(at, size));
    }
    return walk;
}

// The same, with the bytes arriving a few at a time in a buffer of exactly
// their size, so a read past them is caught.
Walk read_arriving(const uchar *data, qint64 size, quint32 seed)
{
    std::minstd_rand cuts(seed);
    Walk walk;
    qint64 at = 0;
    qint64 held = 0;
    std::unique_ptr<uchar[]> bytes;
    while (walk.markers.size() < 100000) {
        JpegMarker marker;
        walk.last = JpegMarkerReader::read_marker(bytes.get(), held, at, marker);
        if (walk.last == JpegMarkerReader::Read::NeedData && held < size) {
            held = qMin<qint64>(size, held + 1 + cuts() % 64);
            bytes.reset(new uchar[size_t(held)]);
            std::memcpy(bytes.get(), data, size_t(held));
            continue;
        }
        if (walk.last != JpegMarkerReader::Read::Marker)
            break;
        walk.markers.append(marker);
        if (marker.code == JpegMarkerReader::eoi)
            break;
        if (marker.code == JpegMarkerReader::sos || JpegMarkerReader::is_restart(marker.code)) {
            // the entropy-coded data is stepped over in the whole bytes: only the markers arrive piecemeal
            at = after_entropy_data(data, size, qMin(at, size));
        }
    }
    return walk;
}

bool same(const JpegMarker &a, const JpegMarker &b)
{
    return a.code == b.code && a.offset == b.offset && a.payload == b.payload && a.payload_length == b.payload_length;
}

} // namespace

int fuzz::markers(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    const quint32 seed = 1 + (data[0] << 8 | data[1]);
    const auto *stream = data + 2;
    const qint64 length = qint64(size) - 2;
    const Walk whole = read_whole(stream, length);
    const Walk arriving = read_arriving(stream, length, seed);
    FUZZ_REQUIRE(whole.markers.size() == arriving.markers.size() && whole.last == arriving.last);
    for (qsizetype i = 0; i < whole.markers.size(); ++i)
        FUZZ_REQUIRE(same(whole.markers[i], arriving.markers[i]));

    const JpegFrameLimits::Frame frame = JpegFrameLimits::read(stream, length);
    if (frame.valid) {
        FUZZ_REQUIRE(frame.width >= 1 && frame.width <= JpegFrameHeader::max_side);
        FUZZ_REQUIRE(frame.height >= 1 && frame.height <= JpegFrameHeader::max_side);
        FUZZ_REQUIRE(frame.entropy_from > 0 && frame.entropy_from <= length);
        FUZZ_REQUIRE(frame.blocks >= 1);
    }
    return 0;
}

FUZZ_ENTRY_POINT(markers)
