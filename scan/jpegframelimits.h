#pragma once

#include "jpegmarkerreader.h"

#include <QByteArray>
#include <QtGlobal>

// What a JPEG frame header claims, and whether the stream's bytes could hold
// it. Every block costs at least one bit in the first scan that codes its
// component, so a stream with N bytes of entropy-coded data codes at most 8N
// blocks: a header that claims more is no photo, or only the start of one.
// Checked before anything is decoded or walked, so a header of a few bytes
// cannot make the decoder set aside gigabytes. (Huffman codes are a bit
// long at least; arithmetic coding is bounded by the cap and the decoders'
// memory limit alone.)
class JpegFrameLimits
{
public:
    // The largest camera sensors give about 150 megapixels; nothing larger
    // is taken for a photo.
    static constexpr qint64 max_pixels = 160'000'000;
    // libjpeg's limit on a side.
    static constexpr int max_side = JpegFrameHeader::max_side;

    static bool within_cap(int width, int height)
    {
        return width <= max_side && height <= max_side && qint64(width) * height <= max_pixels;
    }

    struct Frame
    {
        bool valid = false;     // one frame header libjpeg decodes (JpegFrameHeader) before the first scan
        bool progressive = false;
        bool arithmetic = false; // codes a flat block in less than a bit: only the cap holds
        int width = 0;
        int height = 0;
        qint64 blocks = 0;      // 8x8 blocks of all its components
        qint64 entropy_from = 0; // just past the first scan's header
    };

    // Reads the marker segments up to the first start of scan.
    static Frame read(const uchar *data, qint64 size);
    static Frame read(const QByteArray &jpeg);

    // Whether a stream that may hold up to can_have bytes could code the
    // frame, which is no larger than a camera makes.
    static bool could_hold(const Frame &frame, qint64 can_have);
    static bool within_cap(const Frame &frame);
};
