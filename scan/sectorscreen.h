#pragma once

#include "jpegdecodecheck.h"
#include "jpegentropywalker.h"

#include <QByteArray>

// Cheap tests on 512-byte sectors of a JPEG stream: which of them could hold
// entropy-coded data, and where a stream runs into bytes no photo's data
// could be (a run of zeros, text, a marker no photo has there). They decide
// where a piece of a photo may end before anything is decoded.
class SectorScreen
{
public:
    static constexpr qint64 sector = 512;

    // Whether 512 bytes could lie inside entropy-coded data: no marker that
    // such data never holds, no long run of zeros, not text. between_scans
    // also lets through the tables and scan headers a progressive photo
    // holds between its scans.
    // zero_run: how many zero bytes in a row rule a sector out. A stream that
    // decoded cleanly is never doubted for zeros (pass the largest int): a
    // flat picture's optimised codes fill whole sectors with zero bits.
    static bool could_be_entropy_data(const uchar *sector_bytes, bool between_scans = false, int zero_run = 56);
    // The first sector boundary after the stream's first start of scan from
    // which the sector holds bytes no JPEG data could (a run of zeros, text,
    // a marker no photo has there), up to limit; -1 when there is none. A
    // stream that decodes cleanly with such a sector inside has foreign
    // bytes in it all the same.
    static qint64 first_unlikely_sector(const QByteArray &stream, qint64 limit = -1);
    // Whether the sector at sector_bytes, the one before it readable too, is
    // all zeros right after widely varying data.
    static bool turns_flat_at(const uchar *sector_bytes);
    // Whether a stream that ends in its end-of-image marker but does not
    // decode cleanly is damaged where it lies rather than cut into pieces:
    // the decoder made every row from the stream's own data, no sector
    // after its first scan holds what no JPEG data could, and its data does
    // not turn into another's at a sector boundary (turns_foreign_at).
    static bool damaged_in_place(const QByteArray &stream, const JpegDecodeCheck::Result &decode);
    // Where a baseline stream's data stops being its own at a sector
    // boundary, as far as the entropy walker can tell: its first fault lies
    // just past a boundary, or its data meets the end-of-image marker more
    // than a few MCUs short of the frame's end, when the first boundary
    // whose row of MCUs no longer runs on from the rows above (or failing
    // that, the one before the marker) is where it turns. A few bytes gone
    // wrong put the coding out of step by a block or two, at any place in a
    // sector. -1 when neither holds or the walker cannot follow the stream.
    static qint64 turns_foreign_at(const QByteArray &stream);
    // Where the first scan's header begins; -1 when the stream does not get
    // that far. frame: when given, set to the start-of-frame code met before
    // the scan (0xC2 for a progressive photo), 0 when none.
    static qint64 first_scan_at(const QByteArray &stream, qint64 limit = -1, uchar *frame = nullptr);
    // Start-of-scan markers among the first length bytes of a stream: a
    // progressive photo with two of them has its first scan whole.
    static int scans_within(const QByteArray &stream, qint64 length);

    // MCUs a damaged stream's data may end short of its frame.
    static constexpr int mcus_short_in_place = 4;

private:
    static qint64 first_seam_sector(JpegEntropyWalker &walker, const QByteArray &stream, qint64 end);
};
