#include "jpegframelimits.h"

#include "jpegmarkerreader.h"

JpegFrameLimits::Frame JpegFrameLimits::read(const QByteArray &jpeg)
{
    return read(reinterpret_cast<const uchar *>(jpeg.constData()), jpeg.size());
}

JpegFrameLimits::Frame JpegFrameLimits::read(const uchar *data, qint64 size)
{
    Frame frame;
    JpegFrameHeader header;
    if (size < 4 || data[0] != 0xFF || data[1] != JpegMarkerReader::soi)
        return frame;
    JpegMarkerReader markers(data, size, 2);
    while (markers.next() == JpegMarkerReader::Read::Marker) {
        const JpegMarker &marker = markers.marker();
        if (marker.code == JpegMarkerReader::eoi)
            return frame; // no image
        if (JpegMarkerReader::is_frame(marker.code)) {
            if (header.valid() || !header.parse(marker.code, markers.payload(), marker.payload_length))
                return frame; // a second frame header, or one libjpeg refuses
        } else if (marker.code == JpegMarkerReader::sos) {
            if (!header.valid())
                return frame;
            frame.progressive = header.progressive();
            frame.arithmetic = header.arithmetic();
            frame.width = header.width;
            frame.height = header.height;
            frame.blocks = header.blocks();
            frame.entropy_from = marker.end();
            frame.valid = true;
            return frame;
        }
    }
    return frame;
}

bool JpegFrameLimits::within_cap(const Frame &frame)
{
    return frame.valid && within_cap(frame.width, frame.height);
}

bool JpegFrameLimits::could_hold(const Frame &frame, qint64 can_have)
{
    return within_cap(frame)
        && (frame.arithmetic || frame.blocks <= 8 * qMax<qint64>(0, can_have - frame.entropy_from));
}
