#include "heicpicturecheck.h"

#include "heicitemplaces.h"
#include "isoboxtypes.h"
#include "videosamplestarts.h"

#include <algorithm>
#include <utility>

namespace {

constexpr auto fourcc = &IsoBoxTypes::fourcc;

} // namespace

// The top-level boxes are walked for the mdat payloads and the meta box;
// the places meta gives are then looked for in them.
bool HeicPictureCheck::places_fit(const ExtentReader &file, const std::function<bool()> &stopping)
{
    const qint64 size = file.length();
    VolumeExtents data; // the mdat payloads, in bytes of the file
    qint64 meta_at = -1;
    qint64 meta_size = 0;
    for (qint64 at = 0; at < size && data.size() < most_data_boxes;) {
        const QByteArray header = file.read_range(at, 16);
        if (header.size() < 8)
            return false;
        qint64 box = IsoBoxTypes::be32(header.constData());
        int header_length = 8;
        if (box == 1 && header.size() == 16) {
            box = qint64(IsoBoxTypes::be64(header.constData() + 8) & 0x7FFFFFFFFFFFFFFF);
            header_length = 16;
        } else if (box == 0) {
            box = size - at;
        }
        if (box < header_length || box > size - at)
            return false;
        const quint32 type = IsoBoxTypes::be32(header.constData() + 4);
        if (type == fourcc("meta") && meta_at < 0) {
            meta_at = at;
            meta_size = box;
        } else if (type == fourcc("mdat")) {
            data.append({at + header_length, box - header_length});
        }
        at += box;
    }
    if (meta_at < 0 || meta_size > HeicItemPlaces::largest_meta)
        return false;
    const HeicItemPlaces::Places places = HeicItemPlaces::read(file.read_range(meta_at, meta_size));
    if (places.extents.empty())
        return false;
    int nal_reads = most_nal_reads;
    VolumeExtents coded; // the extents of the item being looked at, in bytes of the file
    for (std::size_t i = 0; i < places.extents.size(); ++i) {
        const HeicItemPlaces::Extent &extent = places.extents[i];
        if (stopping())
            return false;
        if (extent.in_idat) {
            if (extent.offset > places.idat_length || extent.length > places.idat_length - extent.offset)
                return false;
            continue;
        }
        const auto inside = std::find_if(data.cbegin(), data.cend(), [&extent](const VolumeExtent &payload) {
            return extent.offset >= payload.offset && extent.offset < payload.end()
                && extent.length <= payload.end() - extent.offset;
        });
        if (inside == data.cend())
            return false;
        if (!extent.coded)
            continue;
        coded.append({extent.offset, extent.length > 0 ? extent.length : inside->end() - extent.offset});
        // an item's data is its extents one after another: a NAL unit may run on into the next
        const bool item_ends = i + 1 == places.extents.size() || places.extents[i + 1].item != extent.item;
        if (!item_ends)
            continue;
        const ExtentReader item(std::exchange(coded, {}), [&file](qint64 offset, char *buffer, qint64 count) {
            return file.read(offset, buffer, count);
        });
        if (!nal_units_fill(item, places.length_size, nal_reads))
            return false;
    }
    return true;
}

// The item's data is a run of NAL units, each led by its length, that ends
// exactly at its end; reads counts down the reads allowed (once it is spent,
// what is left passes).
bool HeicPictureCheck::nal_units_fill(const ExtentReader &item, int length_size, int &reads)
{
    const qint64 end = item.length();
    qint64 at = 0;
    for (; at < end; --reads) {
        if (reads <= 0)
            return true;
        const VideoSampleStarts::Sample unit{at, end - at, length_size, true};
        const QByteArray bytes = item.read_range(at, length_size + 2);
        if (!VideoSampleStarts::plausible(unit, bytes))
            return false;
        qint64 length = 0;
        for (int i = 0; i < length_size; ++i)
            length = length << 8 | uchar(bytes.at(i));
        at += length_size + length;
    }
    return at == end;
}
