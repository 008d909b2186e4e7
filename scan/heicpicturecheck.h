#pragma once

#include "extentreader.h"

#include <QtGlobal>

#include <functional>

// Whether a HEIC photo put together from pieces holds its picture where its
// `meta` box says: every extent HeicItemPlaces finds for the primary item
// and its tiles lies inside an `mdat` of the file (or its `idat`), and each
// coded picture is a run of NAL units that fills its extent. A wrong piece
// where a picture or one of its NAL units starts is caught before the
// decoder sees the photo.
class HeicPictureCheck
{
public:
    // The file's mdat boxes looked at, and reads of NAL unit headers in its
    // pictures, at most.
    static constexpr int most_data_boxes = 64;
    static constexpr int most_nal_reads = 65536;

    // file: the photo along its pieces; stopping is asked between extents.
    static bool places_fit(const ExtentReader &file, const std::function<bool()> &stopping);

private:
    static bool nal_units_fill(const ExtentReader &item, int length_size, int &reads);
};
