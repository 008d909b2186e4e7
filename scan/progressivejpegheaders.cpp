#include "progressivejpegheaders.h"

#include "jpegdecodecheck.h"
#include "jpegframelimits.h"

#include <algorithm>

namespace {

int be16(const uchar *at)
{
    return (at[0] << 8) | at[1];
}

int ceil_div(int a, int b)
{
    return (a + b - 1) / b;
}

// libjpeg keeps every coefficient of a progressive photo: a 64-entry block
// of 16-bit values for each block of each component.
constexpr qint64 decoder_bytes_per_block = 64 * 2;

} // namespace

bool ProgressiveJpegHeaders::read_first_scan(const uchar *data, qint64 size, Scan &first, qint64 &at)
{
    *this = {};
    if (size < 4 || data[0] != 0xFF || data[1] != 0xD8)
        return false;
    at = 2;
    return read_segments(data, size, at, first, nullptr) == Step::Ok && frame_header.valid();
}

ProgressiveJpegHeaders::Step ProgressiveJpegHeaders::read_next_scan(const uchar *data, qint64 size, qint64 &at,
                                                                    Scan &next, bool &image_end)
{
    return read_segments(data, size, at, next, &image_end);
}

bool ProgressiveJpegHeaders::read_frame(uchar code, const uchar *segment, qint64 payload)
{
    if (frame_header.valid() || !frame_header.parse(code, segment, payload) || code != 0xC2
        || !JpegFrameLimits::within_cap(frame_header.width, frame_header.height)
        || frame_header.blocks() * decoder_bytes_per_block > JpegDecodeCheck::memory_budget) {
        frame_header = {};
        return false;
    }
    blocks = 0;
    for (int c = 0; c < frame_header.component_count; ++c) {
        const JpegFrameHeader::Component &component = frame_header.components[size_t(c)];
        component_columns[size_t(c)] = ceil_div(ceil_div(frame_header.width * component.h, frame_header.h_max()), 8);
        component_first[size_t(c)] = blocks;
        blocks += quint32(component_columns[size_t(c)]
                          * ceil_div(ceil_div(frame_header.height * component.v, frame_header.v_max()), 8));
    }
    return true;
}

bool ProgressiveJpegHeaders::read_scan(const uchar *segment, qint64 payload, Scan &scan) const
{
    if (!scan.read(segment, payload, frame_header))
        return false;
    // The progressions libjpeg decodes: a DC band, or an AC band of one component.
    const bool dc_band = scan.ss == 0;
    if (dc_band ? scan.se != 0 : (scan.ss > scan.se || scan.se > 63 || scan.components.size() != 1))
        return false;
    if ((scan.ah != 0 && scan.al != scan.ah - 1) || scan.al > 13)
        return false;
    // Only the table the scan decodes with must be there.
    const auto usable = [](int number, const std::array<Table, 4> &tables) {
        return number < 4 && tables[size_t(number)].present && tables[size_t(number)].valid;
    };
    return std::all_of(scan.components.begin(), scan.components.end(), [&](const Component &component) {
        if (!dc_band)
            return usable(component.ac_table, scan.ac_tables);
        return scan.ah != 0 || usable(component.dc_table, scan.dc_tables);
    });
}

// The marker segments from at up to and with the next start of scan. Before
// the first scan (image_end null) they hold the frame, and an end of image
// is a fault; between scans, the end of image sets image_end and a frame is
// a fault.
ProgressiveJpegHeaders::Step ProgressiveJpegHeaders::read_segments(const uchar *data, qint64 size, qint64 &at,
                                                                   Scan &next, bool *image_end)
{
    const bool before_first_scan = image_end == nullptr;
    JpegMarkerReader markers(data, size, at);
    for (;;) {
        const JpegMarkerReader::Read read = markers.next();
        if (read == JpegMarkerReader::Read::NeedData)
            return Step::NeedData;
        if (read == JpegMarkerReader::Read::Fault) {
            at = markers.position();
            return Step::Fault;
        }
        const JpegMarker &marker = markers.marker();
        const uchar *segment = markers.payload();
        const qint64 payload = marker.payload_length;
        bool sound = true;
        if (marker.code == JpegMarkerReader::eoi) {
            sound = !before_first_scan;
            if (sound) {
                *image_end = true;
                at = markers.position();
                return Step::Ok;
            }
        } else if (JpegMarkerReader::is_frame(marker.code)) {
            sound = before_first_scan && read_frame(marker.code, segment, payload);
        } else if (marker.code == JpegMarkerReader::dht) {
            sound = HuffmanBitReader::read_tables(segment, payload, next.dc_tables, next.ac_tables);
        } else if (marker.code == JpegMarkerReader::dri) {
            sound = payload == 2;
            if (sound)
                next.restart_mcus = be16(segment);
        } else if (marker.code == JpegMarkerReader::sos) {
            sound = read_scan(segment, payload, next);
            if (sound) {
                at = marker.end();
                return Step::Ok;
            }
        } else {
            // Restart markers stand only inside a scan's data.
            sound = JpegMarkerReader::stands_between_scans(marker.code);
        }
        if (!sound) {
            at = marker.offset;
            return Step::Fault;
        }
    }
}
