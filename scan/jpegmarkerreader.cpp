#include "jpegmarkerreader.h"

namespace {

constexpr std::array<bool, 256> unknown_code_table()
{
    std::array<bool, 256> table{};
    for (int code = 0x02; code <= 0xBF; ++code)
        table[size_t(code)] = true;
    for (int code = 0xF0; code <= 0xFD; ++code)
        table[size_t(code)] = true;
    for (int code : {0xC8, 0xDE, 0xDF})
        table[size_t(code)] = true;
    return table;
}

constexpr std::array<bool, 256> unknown_code = unknown_code_table();

// Segments libjpeg steps over by their length alone (APPn, COM, DNL): it
// takes a length field below 2 for an empty payload and reads on after it.
bool skipped_by_length(uchar code)
{
    return (code >= 0xE0 && code <= 0xEF) || code == 0xFE || code == 0xDC;
}

int be16(const uchar *at)
{
    return (at[0] << 8) | at[1];
}

qint64 ceil_div(qint64 a, qint64 b)
{
    return (a + b - 1) / b;
}

} // namespace

JpegMarkerReader::JpegMarkerReader(const uchar *data, qint64 size, qint64 from)
    : data(data)
    , size(size)
    , at(from)
{
}

JpegMarkerReader::JpegMarkerReader(const QByteArray &stream, qint64 from)
    : JpegMarkerReader(reinterpret_cast<const uchar *>(stream.constData()), stream.size(), from)
{
}

JpegMarkerReader::Read JpegMarkerReader::read_marker(const uchar *data, qint64 size, qint64 &at, JpegMarker &marker,
                                                     Fault *fault)
{
    const auto failed = [&](Fault why) {
        if (fault)
            *fault = why;
        return Read::Fault;
    };
    for (;;) {
        if (size - at < 2)
            return Read::NeedData;
        if (data[at] != 0xFF)
            return failed(Fault::NotAMarker);
        if (data[at + 1] != 0xFF)
            break;
        ++at; // a fill byte: the next FF begins the marker
    }
    const uchar code = data[at + 1];
    if (code == 0x00)
        return failed(Fault::NotAMarker); // a stuffed zero: entropy-coded data, no marker
    if (code == soi && at > 0)
        return failed(Fault::SecondStart);
    if (unknown_code[code])
        return failed(Fault::Unknown);
    qint64 length = 0;
    if (!stands_alone(code)) {
        if (size - at < 4)
            return Read::NeedData;
        length = be16(data + at + 2);
        if (length < 2 && !skipped_by_length(code))
            return failed(Fault::BadLength);
        length = qMax<qint64>(2, length);
    }
    marker.code = code;
    marker.offset = at;
    marker.payload = at + (length > 0 ? 4 : 2);
    marker.payload_length = qMax<qint64>(0, length - 2);
    at = marker.end();
    return Read::Marker;
}

JpegMarkerReader::Read JpegMarkerReader::next(bool payload_needed)
{
    qint64 from = at;
    JpegMarker read;
    const Read result = read_marker(data, size, from, read, &why);
    if (result == Read::Fault)
        at = from;
    if (result != Read::Marker || (payload_needed && read.end() > size))
        return result == Read::Fault ? result : Read::NeedData;
    current = read;
    at = from;
    return result;
}

bool JpegFrameHeader::parse(uchar frame_code, const uchar *payload, qint64 length)
{
    *this = JpegFrameHeader{};
    const bool decoded = frame_code == 0xC0 || frame_code == 0xC1 || frame_code == 0xC2 || frame_code == 0xC9
        || frame_code == 0xCA;
    if (!decoded || length < 6 || payload[0] != 8)
        return false;
    const int count = payload[5];
    const int h = be16(payload + 1);
    const int w = be16(payload + 3);
    if (count < 1 || count > 4 || length != 6 + 3 * count || w == 0 || h == 0 || w > max_side || h > max_side)
        return false;
    for (int c = 0; c < count; ++c) {
        const uchar *at = payload + 6 + 3 * c;
        Component &component = components[size_t(c)];
        component = {at[0], at[1] >> 4, at[1] & 0x0F};
        if (component.h < 1 || component.h > 4 || component.v < 1 || component.v > 4) {
            components = {};
            return false;
        }
    }
    code = frame_code;
    width = w;
    height = h;
    component_count = count;
    return true;
}

int JpegFrameHeader::h_max() const
{
    int most = 1;
    for (int c = 0; c < component_count; ++c)
        most = qMax(most, components[size_t(c)].h);
    return most;
}

int JpegFrameHeader::v_max() const
{
    int most = 1;
    for (int c = 0; c < component_count; ++c)
        most = qMax(most, components[size_t(c)].v);
    return most;
}

qint64 JpegFrameHeader::blocks() const
{
    qint64 total = 0;
    const int h = h_max();
    const int v = v_max();
    for (int c = 0; c < component_count; ++c) {
        const Component &component = components[size_t(c)];
        total += ceil_div(ceil_div(qint64(width) * component.h, h), 8)
            * ceil_div(ceil_div(qint64(height) * component.v, v), 8);
    }
    return total;
}
