#include "carvingvolume.h"

#include <QRandomGenerator>

#include <iterator>

namespace testsupport {

void CarvingVolume::pad_to_sector()
{
    const qint64 slack = (sector - volume.size() % sector) % sector;
    volume.append(QByteArray(slack, 0));
}

void CarvingVolume::add_photo(const QByteArray &jpeg)
{
    pad_to_sector();
    photos.append({volume.size(), jpeg});
    volume.append(jpeg);
}

void CarvingVolume::add_photo_piece(const QByteArray &jpeg, qint64 from, qint64 to)
{
    add_bytes(jpeg.mid(from, to - from));
}

void CarvingVolume::add_bytes(const QByteArray &bytes)
{
    pad_to_sector();
    volume.append(bytes);
}

void CarvingVolume::add_volume(const CarvingVolume &other)
{
    pad_to_sector();
    for (const Placed &photo : other.photos)
        photos.append({volume.size() + photo.offset, photo.bytes});
    volume.append(other.bytes());
}

void CarvingVolume::add_filler(Filler kind, int sectors, quint32 seed)
{
    pad_to_sector();
    const qint64 size = sectors * sector;
    QByteArray filler;
    switch (kind) {
    case Filler::Zeros:
        filler = QByteArray(size, 0);
        break;
    case Filler::Text: {
        static const QByteArray words[] = {"holiday ", "beach ", "harbour ", "the ", "and ", "evening\n", "light, "};
        QRandomGenerator random(seed);
        while (filler.size() < size)
            filler += words[random.bounded(int(std::size(words)))];
        filler.truncate(size);
        break;
    }
    case Filler::Random: {
        filler.resize(size);
        QRandomGenerator random(seed);
        random.fillRange(reinterpret_cast<quint32 *>(filler.data()), size / 4);
        break;
    }
    }
    volume.append(filler);
}

QByteArray CarvingVolume::bytes() const
{
    QByteArray out = volume;
    out.append(QByteArray((sector - out.size() % sector) % sector, 0));
    return out;
}

QByteArray with_segment_first(const QByteArray &jpeg, uchar code, const QByteArray &payload)
{
    QByteArray segment;
    segment.append(char(0xFF)).append(char(code));
    segment.append(char((payload.size() + 2) >> 8)).append(char((payload.size() + 2) & 0xFF));
    segment.append(payload);
    return jpeg.left(2) + segment + jpeg.mid(2);
}

QByteArray with_existing_segment_first(const QByteArray &jpeg, uchar code)
{
    const auto byte = [&](qint64 i) { return uchar(jpeg.at(i)); };
    for (qint64 at = 2; at + 4 <= jpeg.size() && byte(at) == 0xFF && byte(at + 1) != 0xDA;) {
        const qint64 length = 2 + ((byte(at + 2) << 8) | byte(at + 3));
        if (byte(at + 1) == code)
            return jpeg.left(2) + jpeg.mid(at, length) + jpeg.mid(2, at - 2) + jpeg.mid(at + length);
        at += length;
    }
    return {};
}

} // namespace testsupport
