#include "jpegshapes.h"

#include <cstdio>
#include <cstdlib>
// jpeglib.h needs size_t and FILE declared first.
#include <jpeglib.h>

namespace testsupport {

namespace {

qsizetype header_marker(const QByteArray &jpeg, uchar code)
{
    const auto byte = [&](qsizetype i) { return uchar(jpeg.at(i)); };
    for (qsizetype at = 2; at + 4 <= jpeg.size() && byte(at) == 0xFF;) {
        if (byte(at + 1) == code)
            return at;
        if (byte(at + 1) == 0xDA)
            return -1;
        at += 2 + ((byte(at + 2) << 8) | byte(at + 3));
    }
    return -1;
}

} // namespace

QByteArray with_bytes_before(const QByteArray &jpeg, uchar code, const QByteArray &bytes)
{
    const qsizetype at = code != 0xD9 ? header_marker(jpeg, code) : jpeg.endsWith("\xFF\xD9") ? jpeg.size() - 2 : -1;
    return at < 0 ? QByteArray() : QByteArray(jpeg).insert(at, bytes);
}

QByteArray cmyk_jpeg(const QImage &picture, int quality)
{
    const QImage rgb = picture.convertToFormat(QImage::Format_RGB888);
    jpeg_compress_struct info{};
    jpeg_error_mgr errors{};
    info.err = jpeg_std_error(&errors);
    jpeg_create_compress(&info);
    unsigned char *out = nullptr;
    unsigned long out_size = 0;
    jpeg_mem_dest(&info, &out, &out_size);
    info.image_width = JDIMENSION(rgb.width());
    info.image_height = JDIMENSION(rgb.height());
    info.input_components = 4;
    info.in_color_space = JCS_CMYK;
    jpeg_set_defaults(&info);
    jpeg_set_quality(&info, quality, TRUE);
    info.write_Adobe_marker = TRUE;
    jpeg_start_compress(&info, TRUE);
    QByteArray row(rgb.width() * 4, Qt::Uninitialized);
    while (info.next_scanline < info.image_height) {
        const uchar *in = rgb.constScanLine(int(info.next_scanline));
        for (int x = 0; x < rgb.width(); ++x) {
            const int k = 255 - qMax(in[3 * x], qMax(in[3 * x + 1], in[3 * x + 2]));
            for (int c = 0; c < 3; ++c) // inverted inks, as Adobe stores them
                row[4 * x + c] = char(255 - (k == 255 ? 0 : (255 - in[3 * x + c] - k) * 255 / (255 - k)));
            row[4 * x + 3] = char(255 - k);
        }
        JSAMPROW rows[1] = {reinterpret_cast<JSAMPROW>(row.data())};
        jpeg_write_scanlines(&info, rows, 1);
    }
    jpeg_finish_compress(&info);
    jpeg_destroy_compress(&info);
    const QByteArray jpeg(reinterpret_cast<const char *>(out), qsizetype(out_size));
    std::free(out);
    return jpeg;
}

} // namespace testsupport
