// The decode check, the coefficient read, the seam check and the tests of
// damage in place over a stream made of the input:
// the positions they report lie in the stream, a clean decode has every row
// and no fault, and a thumbnail has the size asked for.

#include "fuzztarget.h"
#include "jpegdecodecheck.h"
#include "jpegseamcheck.h"
#include "sectorscreen.h"

int fuzz::decode_check(const uint8_t *data, size_t size)
{
    const QByteArray jpeg = bytes_of(data, size);
    const qint64 length = jpeg.size();

    const QSize thumbnail_size(40, 27);
    const JpegDecodeCheck::Result decoded = JpegDecodeCheck::check(jpeg, thumbnail_size);
    FUZZ_REQUIRE(decoded.fault_position >= -1 && decoded.fault_position <= length);
    FUZZ_REQUIRE(decoded.mcu_rows >= 0 && decoded.rows_before_fault >= 0);
    FUZZ_REQUIRE(decoded.rows_before_fault <= decoded.mcu_rows);
    if (decoded.clean) {
        FUZZ_REQUIRE(decoded.fault_position == -1 && decoded.rows_before_fault == decoded.mcu_rows);
        FUZZ_REQUIRE(decoded.thumbnail.size() == thumbnail_size);
    }

    const JpegDecodeCheck::Coefficients read = JpegDecodeCheck::read_coefficients(jpeg);
    FUZZ_REQUIRE(read.fault_position >= -1 && read.fault_position <= length);
    FUZZ_REQUIRE(read.end_position >= -1 && read.end_position <= length);
    if (read.clean)
        FUZZ_REQUIRE(read.end_position >= 4 && read.fault_position == -1);
    else
        FUZZ_REQUIRE(read.end_position == -1);

    // Joins anywhere, outside the picture too, are judged without reading
    // past the rows the picture has; with no joins nothing can jump.
    const int join = size > 0 ? int(data[size - 1]) * 37 : 0;
    JpegSeamCheck::judge(jpeg, {join, -join, join * 4099}, JpegDecodeCheck::working_memory);
    if (decoded.clean)
        FUZZ_REQUIRE(JpegSeamCheck::judge(jpeg, {}, JpegDecodeCheck::working_memory)
                     == JpegSeamCheck::Verdict::Continuous);

    // A stream read to its end without a warning has no scan that ends
    // early, and is not damaged at all; where a stream turns into other
    // data is a sector boundary inside it.
    if (JpegSeamCheck::scan_ends_rows_early(jpeg, JpegDecodeCheck::working_memory))
        FUZZ_REQUIRE(!read.clean);
    if (decoded.clean)
        FUZZ_REQUIRE(!SectorScreen::damaged_in_place(jpeg, decoded));
    const qint64 turn = SectorScreen::turns_foreign_at(jpeg);
    FUZZ_REQUIRE(turn == -1 || (turn >= 0 && turn <= length && turn % SectorScreen::sector == 0));
    return 0;
}

FUZZ_ENTRY_POINT(decode_check)
