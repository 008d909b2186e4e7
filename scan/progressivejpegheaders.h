#pragma once

#include "huffmanbitreader.h"
#include "jpegmarkerreader.h"
#include "jpegscanheader.h"

#include <QtGlobal>

#include <array>
#include <vector>

// The marker segments a progressive JPEG stream's scans are decoded by: its
// frame, taken only when libjpeg decodes it within the decoders' memory
// budget, and before each scan the Huffman tables, the restart interval and
// the scan header, held to the progressions libjpeg decodes.
class ProgressiveJpegHeaders
{
public:
    using Table = HuffmanBitReader::Table;
    using Step = HuffmanBitReader::Step;
    using Scan = JpegScanHeader;
    using Component = JpegScanHeader::Component;

    // Reads from the start of image up to and with the first scan header,
    // at then standing where that scan's data begins; false when the stream
    // is not a progressive Huffman JPEG libjpeg would decode within the
    // decoders' memory budget.
    bool read_first_scan(const uchar *data, qint64 size, Scan &first, qint64 &at);
    // The marker segments between two scans, from at up to and with the next
    // scan header, or the end of image (image_end is set then). next comes
    // with the tables and restart interval in force and leaves with the
    // scan's own. On Ok, at stands past them; on Fault, where it was seen.
    Step read_next_scan(const uchar *data, qint64 size, qint64 &at, Scan &next, bool &image_end);

    const JpegFrameHeader &frame() const { return frame_header; }
    // The blocks of all components, one component after another, and where
    // a component's first block stands among them.
    quint32 block_count() const { return blocks; }
    quint32 first_block(int component) const { return component_first[size_t(component)]; }

private:
    bool read_frame(uchar code, const uchar *segment, qint64 payload);
    bool read_scan(const uchar *segment, qint64 payload, Scan &scan) const;
    Step read_segments(const uchar *data, qint64 size, qint64 &at, Scan &next, bool *image_end);

    JpegFrameHeader frame_header;
    std::array<int, 4> component_columns{};
    std::array<quint32, 4> component_first{};
    quint32 blocks = 0;
};
