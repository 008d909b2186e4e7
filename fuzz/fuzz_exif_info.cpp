// The EXIF reader over a stream made of the input, or over the input as the
// TIFF structure of an EXIF segment (so every input reaches the TIFF reader):
// what it reads comes from the bytes and fits in them. The TIFF structure
// given alone, as a HEIC photo keeps it, reads the same.

#include "exifinfo.h"
#include "fuzztarget.h"

namespace {

// The input as the payload of an APP1 "Exif" segment after a start of image;
// a segment holds at most 65533 bytes.
QByteArray as_exif_segment(const QByteArray &tiff)
{
    const QByteArray body = QByteArray("Exif\0\0", 6) + tiff.left(65533 - 6);
    const int length = int(body.size()) + 2;
    return QByteArray("\xFF\xD8\xFF\xE1", 4) + char(length >> 8) + char(length & 0xFF) + body
           + QByteArray("\xFF\xD9", 2);
}

} // namespace

int fuzz::exif_info(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    const QByteArray input = bytes_of(data + 1, size - 1);
    const QByteArray jpeg = data[0] & 1 ? as_exif_segment(input) : input;
    const ExifInfo info(jpeg);
    FUZZ_REQUIRE(info.make().size() <= jpeg.size() && info.model().size() <= jpeg.size());
    if (!info.has_exif())
        FUZZ_REQUIRE(info.make().isEmpty() && info.model().isEmpty() && !info.date_taken().isValid());
    FUZZ_REQUIRE(info.camera().isEmpty() == (info.make().isEmpty() && info.model().isEmpty()));
    if (info.date_taken().isValid())
        FUZZ_REQUIRE(info.date_taken().date().year() >= 0 && info.date_taken().date().year() <= 9999);
    if (data[0] & 1 && input.size() <= 65533 - 6) {
        const ExifInfo alone = ExifInfo::from_tiff(input);
        FUZZ_REQUIRE(alone.date_taken() == info.date_taken() && alone.camera() == info.camera());
    }
    return 0;
}

FUZZ_ENTRY_POINT(exif_info)
