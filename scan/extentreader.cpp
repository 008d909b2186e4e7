#include "extentreader.h"

#include <algorithm>

ExtentReader::ExtentReader(VolumeExtents extents, VolumeRead read)
    : pieces(std::move(extents))
    , volume_read(std::move(read))
{
    starts.reserve(pieces.size());
    for (const VolumeExtent &piece : std::as_const(pieces)) {
        starts.append(total);
        total += qMax<qint64>(piece.length, 0);
    }
}

qsizetype ExtentReader::piece_at(qint64 offset, qint64 *piece_start) const
{
    if (offset < 0 || offset >= total)
        return -1;
    const auto after = std::upper_bound(starts.cbegin(), starts.cend(), offset);
    qsizetype index = std::distance(starts.cbegin(), after) - 1;
    // an empty piece shares its start with the next one
    while (index + 1 < pieces.size() && pieces.at(index).length <= offset - starts.at(index))
        ++index;
    *piece_start = starts.at(index);
    return index;
}

qint64 ExtentReader::read(qint64 offset, char *buffer, qint64 count) const
{
    qint64 piece_start = 0;
    const qsizetype index = piece_at(offset, &piece_start);
    if (index < 0 || count <= 0)
        return 0;
    const VolumeExtent &piece = pieces.at(index);
    const qint64 within = offset - piece_start;
    return volume_read(piece.offset + within, buffer, qMin(count, piece.length - within));
}

QByteArray ExtentReader::read_range(qint64 offset, qint64 length) const
{
    if (offset < 0 || offset >= total || length <= 0)
        return {};
    QByteArray bytes(qMin(length, total - offset), Qt::Uninitialized);
    for (qint64 got = 0; got < bytes.size();) {
        const qint64 n = read(offset + got, bytes.data() + got, bytes.size() - got);
        if (n <= 0) {
            bytes.truncate(got);
            break;
        }
        got += n;
    }
    return bytes;
}

qint64 ExtentReader::volume_offset(qint64 offset) const
{
    qint64 piece_start = 0;
    const qsizetype index = piece_at(offset, &piece_start);
    return index < 0 ? -1 : pieces.at(index).offset + (offset - piece_start);
}
