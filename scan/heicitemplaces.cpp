#include "heicitemplaces.h"

#include "isoboxtypes.h"

#include <algorithm>
#include <map>

namespace {

constexpr auto fourcc = &IsoBoxTypes::fourcc;

// Big-endian fields read in order from a box's payload; reads past its end
// give 0 and mark the reader failed.
class Fields
{
public:
    Fields(const QByteArray &bytes, qint64 from, qint64 end)
        : bytes(bytes)
        , at(from)
        , end(end)
    {
    }

    quint64 take(int width)
    {
        if (width < 0 || width > 8 || at + width > end) {
            failed = true;
            at = end;
            return 0;
        }
        quint64 value = 0;
        for (int i = 0; i < width; ++i)
            value = value << 8 | uchar(bytes.at(at + i));
        at += width;
        return value;
    }
    void skip(qint64 count) { at = count <= end - at ? at + count : (failed = true, end); }
    bool ok() const { return !failed; }
    qint64 position() const { return at; }

private:
    const QByteArray &bytes;
    qint64 at;
    qint64 end;
    bool failed = false;
};

struct Box
{
    quint32 type = 0;
    qint64 payload = 0;
    qint64 end = 0;
};

// The boxes one after another in [from, end).
std::vector<Box> boxes_in(const QByteArray &bytes, qint64 from, qint64 end)
{
    std::vector<Box> boxes;
    for (qint64 at = from; at + 8 <= end && boxes.size() < 1024;) {
        qint64 size = IsoBoxTypes::be32(bytes.constData() + at);
        int header = 8;
        if (size == 1 && at + 16 <= end) {
            size = qint64(IsoBoxTypes::be64(bytes.constData() + at + 8) & 0x7FFFFFFFFFFFFFFF);
            header = 16;
        } else if (size == 0) {
            size = end - at;
        }
        if (size < header || size > end - at)
            break;
        boxes.push_back({IsoBoxTypes::be32(bytes.constData() + at + 4), at + header, at + size});
        at += size;
    }
    return boxes;
}

const Box *find(const std::vector<Box> &boxes, quint32 type)
{
    const auto box = std::find_if(boxes.cbegin(), boxes.cend(), [type](const Box &b) { return b.type == type; });
    return box == boxes.cend() ? nullptr : &*box;
}

quint32 primary_item(const QByteArray &bytes, const Box &pitm)
{
    Fields fields(bytes, pitm.payload, pitm.end);
    const int version = int(fields.take(1));
    fields.skip(3);
    const quint32 id = quint32(fields.take(version == 0 ? 2 : 4));
    return fields.ok() ? id : 0;
}

// Each item's type, from the infe boxes of iinf.
std::map<quint32, quint32> item_types(const QByteArray &bytes, const Box &iinf)
{
    std::map<quint32, quint32> types;
    Fields fields(bytes, iinf.payload, iinf.end);
    const int version = int(fields.take(1));
    fields.skip(3);
    fields.take(version == 0 ? 2 : 4);
    if (!fields.ok())
        return types;
    for (const Box &infe : boxes_in(bytes, fields.position(), iinf.end)) {
        Fields entry(bytes, infe.payload, infe.end);
        const int entry_version = int(entry.take(1));
        entry.skip(3);
        if (infe.type != fourcc("infe") || entry_version < 2)
            continue;
        const quint32 id = quint32(entry.take(entry_version == 2 ? 2 : 4));
        entry.take(2); // protection index
        const quint32 type = quint32(entry.take(4));
        if (entry.ok() && types.size() < size_t(HeicItemPlaces::most_items))
            types[id] = type;
    }
    return types;
}

// The items the primary one is derived from (a grid's tiles, in order).
std::vector<quint32> tiles_of(const QByteArray &bytes, const Box &iref, quint32 primary)
{
    std::vector<quint32> tiles;
    Fields fields(bytes, iref.payload, iref.end);
    const int version = int(fields.take(1));
    fields.skip(3);
    if (!fields.ok())
        return tiles;
    const int id_width = version == 0 ? 2 : 4;
    for (const Box &reference : boxes_in(bytes, fields.position(), iref.end)) {
        Fields entry(bytes, reference.payload, reference.end);
        const quint32 from = quint32(entry.take(id_width));
        const int count = int(entry.take(2));
        if (reference.type != fourcc("dimg") || from != primary)
            continue;
        for (int i = 0; i < count && entry.ok() && tiles.size() < size_t(HeicItemPlaces::most_items); ++i) {
            const quint32 to = quint32(entry.take(id_width));
            if (entry.ok())
                tiles.push_back(to);
        }
    }
    return tiles;
}

// Each item's extents, from iloc; false when the table does not agree with itself.
bool item_locations(const QByteArray &bytes, const Box &iloc,
                    std::map<quint32, std::vector<HeicItemPlaces::Extent>> &locations)
{
    Fields fields(bytes, iloc.payload, iloc.end);
    const int version = int(fields.take(1));
    fields.skip(3);
    const int sizes = int(fields.take(2));
    const int offset_size = sizes >> 12, length_size = sizes >> 8 & 15, base_size = sizes >> 4 & 15;
    const int index_size = version == 1 || version == 2 ? sizes & 15 : 0;
    for (int width : {offset_size, length_size, base_size, index_size}) {
        if (width != 0 && width != 4 && width != 8)
            return false;
    }
    if (version > 2)
        return false;
    const quint32 items = quint32(fields.take(version < 2 ? 2 : 4));
    int extents_read = 0;
    for (quint32 item = 0; item < items && fields.ok(); ++item) {
        if (item >= quint32(HeicItemPlaces::most_items))
            return false;
        const quint32 id = quint32(fields.take(version < 2 ? 2 : 4));
        const int method = version == 0 ? 0 : int(fields.take(2) & 15);
        fields.take(2); // data reference index
        const quint64 base = fields.take(base_size);
        const int count = int(fields.take(2));
        std::vector<HeicItemPlaces::Extent> extents;
        for (int i = 0; i < count && fields.ok(); ++i) {
            if (++extents_read > HeicItemPlaces::most_extents)
                return false;
            fields.take(index_size);
            const quint64 offset = fields.take(offset_size);
            const quint64 length = fields.take(length_size);
            if (offset > quint64(1) << 62 || base > quint64(1) << 62 || length > quint64(1) << 62)
                return false;
            extents.push_back({qint64(base + offset), qint64(length), method == 1, false});
        }
        if (method > 1)
            extents.clear(); // data of another item: nothing of the file to place
        locations[id] = std::move(extents);
    }
    return fields.ok();
}

// The NAL units' length size of the first hvcC among the item properties.
int nal_length_size(const QByteArray &bytes, const Box &iprp)
{
    const std::vector<Box> in_iprp = boxes_in(bytes, iprp.payload, iprp.end);
    const Box *ipco = find(in_iprp, fourcc("ipco"));
    if (!ipco)
        return 0;
    const std::vector<Box> properties = boxes_in(bytes, ipco->payload, ipco->end);
    const Box *hvcc = find(properties, fourcc("hvcC"));
    if (!hvcc || hvcc->end - hvcc->payload <= 21)
        return 0;
    const int size = (uchar(bytes.at(hvcc->payload + 21)) & 3) + 1;
    return size == 3 ? 0 : size;
}

} // namespace

HeicItemPlaces::Places HeicItemPlaces::read(const QByteArray &meta)
{
    Places places;
    if (meta.size() < 12 || meta.size() > largest_meta || IsoBoxTypes::be32(meta.constData() + 4) != fourcc("meta"))
        return places;
    const std::vector<Box> boxes = boxes_in(meta, 12, meta.size()); // after the full box's version and flags
    const Box *pitm = find(boxes, fourcc("pitm"));
    const Box *iloc = find(boxes, fourcc("iloc"));
    const Box *iinf = find(boxes, fourcc("iinf"));
    const Box *iref = find(boxes, fourcc("iref"));
    const Box *iprp = find(boxes, fourcc("iprp"));
    const Box *idat = find(boxes, fourcc("idat"));
    std::map<quint32, std::vector<Extent>> locations;
    const quint32 primary = pitm ? primary_item(meta, *pitm) : 0;
    if (!primary || !iloc || !item_locations(meta, *iloc, locations))
        return places;
    const std::map<quint32, quint32> types = iinf ? item_types(meta, *iinf) : std::map<quint32, quint32>{};
    const int length_size = iprp ? nal_length_size(meta, *iprp) : 0;
    std::vector<quint32> items{primary};
    if (iref) {
        const std::vector<quint32> tiles = tiles_of(meta, *iref, primary);
        items.insert(items.end(), tiles.cbegin(), tiles.cend());
    }
    for (std::size_t item = 0; item < items.size(); ++item) {
        const quint32 id = items[item];
        const auto location = locations.find(id);
        if (location == locations.cend())
            return {};
        const auto type = types.find(id);
        const bool coded = length_size > 0 && type != types.cend() && type->second == fourcc("hvc1");
        if (places.extents.size() + location->second.size() > size_t(most_extents))
            return {};
        for (Extent extent : location->second) {
            extent.coded = coded;
            extent.item = int(item);
            places.extents.push_back(extent);
        }
    }
    places.idat_length = idat ? idat->end - idat->payload : -1;
    places.length_size = length_size > 0 ? length_size : 4;
    return places;
}
