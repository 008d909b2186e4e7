#pragma once

#include <QByteArray>
#include <QtGlobal>

#include <vector>

// Where a HEIC photo's picture lies in its file, from its `meta` box: the
// extents `iloc` gives the primary item (`pitm`) and the tiles it is made of
// (its `dimg` references in `iref`), and the length of `idat`. A photo put
// together from pieces must hold every one of them inside its `mdat` (or
// `idat`), each coded picture a run of NAL units led by their lengths, so
// these places tell a wrong piece among the picture data before the decoder.
class HeicItemPlaces
{
public:
    struct Extent
    {
        qint64 offset = 0; // in bytes of the file, or of idat's payload when in_idat
        qint64 length = 0; // 0: to the end of the data it lies in
        bool in_idat = false;
        bool coded = false; // a coded picture (hvc1): NAL units, each led by its length
        int item = 0;       // which of the items read it belongs to: its extents follow one another
    };
    struct Places
    {
        std::vector<Extent> extents; // the primary item's, then its tiles'; empty when unknown
        qint64 idat_length = -1;     // idat's payload, or -1 without one
        int length_size = 4;         // bytes of each NAL unit's length (hvcC)
    };

    // Items and extents read from iloc and tiles followed from the primary
    // one, at most; a meta box larger than largest_meta is not read.
    static constexpr int most_items = 4096;
    static constexpr int most_extents = 16384;
    static constexpr qint64 largest_meta = 4 * 1024 * 1024;

    // The places of the meta box (its header included); no extents when it
    // names no primary item with a place in iloc, or its tables do not agree.
    static Places read(const QByteArray &meta);
};
