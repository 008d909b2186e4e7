#include "jpegframelimits.h"

#include <vector>

namespace {

int be16(const uchar *at)
{
    return (at[0] << 8) | at[1];
}

bool is_frame(uchar code)
{
    return code >= 0xC0 && code <= 0xCF && code != 0xC4 && code != 0xC8 && code != 0xCC;
}

qint64 ceil_div(qint64 a, qint64 b)
{
    return (a + b - 1) / b;
}

} // namespace

JpegFrameLimits::Frame JpegFrameLimits::read(const QByteArray &jpeg)
{
    return read(reinterpret_cast<const uchar *>(jpeg.constData()), jpeg.size());
}

JpegFrameLimits::Frame JpegFrameLimits::read(const uchar *data, qint64 size)
{
    Frame frame;
    struct Sampling
    {
        int h, v;
    };
    std::vector<Sampling> components;
    bool seen_frame = false;
    if (size < 4 || data[0] != 0xFF || data[1] != 0xD8)
        return frame;
    qint64 i = 2;
    while (i + 4 <= size) {
        if (data[i] != 0xFF)
            return frame;
        const uchar code = data[i + 1];
        if (code == 0xFF) {
            ++i;
            continue;
        }
        if (code == 0xD8 || code == 0x01 || (code >= 0xD0 && code <= 0xD7)) {
            i += 2;
            continue;
        }
        const qint64 length = be16(data + i + 2);
        if (length < 2 || i + 2 + length > size || code == 0xD9)
            return frame;
        const uchar *segment = data + i + 4;
        if (is_frame(code)) {
            if (seen_frame || length < 8)
                return frame; // a second frame header: libjpeg refuses the stream
            seen_frame = true;
            frame.progressive = code == 0xC2 || code == 0xC6 || code == 0xCA || code == 0xCE;
            frame.arithmetic = code >= 0xC9;
            frame.height = be16(segment + 1);
            frame.width = be16(segment + 3);
            const int count = segment[5];
            if (count < 1 || count > 4 || length < 8 + 3 * count)
                return frame;
            for (int c = 0; c < count; ++c) {
                const int h = segment[6 + 3 * c + 1] >> 4;
                const int v = segment[6 + 3 * c + 1] & 0x0F;
                if (h < 1 || h > 4 || v < 1 || v > 4)
                    return frame;
                components.push_back({h, v});
            }
        } else if (code == 0xDA) {
            if (!seen_frame || frame.width == 0 || frame.height == 0)
                return frame;
            int h_max = 1;
            int v_max = 1;
            for (const Sampling &s : components) {
                h_max = qMax(h_max, s.h);
                v_max = qMax(v_max, s.v);
            }
            for (const Sampling &s : components)
                frame.blocks += ceil_div(ceil_div(qint64(frame.width) * s.h, h_max), 8)
                    * ceil_div(ceil_div(qint64(frame.height) * s.v, v_max), 8);
            frame.entropy_from = i + 2 + length;
            frame.valid = true;
            return frame;
        }
        i += 2 + length;
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
