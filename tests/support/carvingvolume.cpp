#include "carvingvolume.h"

#include <QRandomGenerator>

#include <iterator>

namespace testsupport {

namespace {

QByteArray random_bytes(qint64 size, quint32 seed)
{
    QByteArray bytes(size, '\0');
    QRandomGenerator(seed).fillRange(reinterpret_cast<quint32 *>(bytes.data()), size / 4);
    return bytes;
}

} // namespace

void CarvingVolume::add_photo(const QByteArray &jpeg)
{
    add_bytes({});
    photos.append({volume.size(), jpeg});
    volume.append(jpeg);
}

void CarvingVolume::add_bytes(const QByteArray &bytes)
{
    volume.append(QByteArray((sector - volume.size() % sector) % sector, 0)).append(bytes);
}

void CarvingVolume::add_volume(const CarvingVolume &other)
{
    add_bytes({});
    for (const Placed &photo : other.photos)
        photos.append({volume.size() + photo.offset, photo.bytes});
    volume.append(other.bytes());
}

QByteArray gap_bytes(Gap gap, int sectors, quint32 seed)
{
    constexpr qint64 sector = CarvingVolume::sector;
    const qint64 size = sectors * sector;
    QByteArray bytes;
    switch (gap) {
    case Gap::Text: {
        static const QByteArray words[] = {"holiday ", "beach ", "harbour ", "the ", "and ", "evening\n", "light, "};
        QRandomGenerator random(seed);
        while (bytes.size() < size)
            bytes += words[random.bounded(int(std::size(words)))];
        break;
    }
    case Gap::Random:
        bytes = random_bytes(size, seed);
        break;
    case Gap::Document:
        // A compound document as word processors write it: its header, a
        // sector of its allocation table, then text.
        bytes = QByteArray::fromHex("D0CF11E0A1B11AE1") + QByteArray(16, '\0') + QByteArray::fromHex("3E000300FEFF0900");
        bytes.append(QByteArray(sector - bytes.size(), '\0')).append(QByteArray(sector, char(0xFF)));
        for (int i = 0; bytes.size() < size; ++i)
            bytes.append("Chapter " + QByteArray::number(i) + ". The holiday began on a grey morning. ");
        break;
    case Gap::EndMarkerSector: // one sector that begins with an end-of-image marker, then random bytes
        bytes = random_bytes(sector, seed).replace(0, 2, "\xFF\xD9");
        break;
    case Gap::Zeros:
    case Gap::WholePhoto:
        bytes = QByteArray(size, 0);
        break;
    }
    return bytes.left(size);
}

QByteArray CarvingVolume::bytes() const
{
    return volume + QByteArray((sector - volume.size() % sector) % sector, 0);
}

QByteArray with_segment_first(const QByteArray &jpeg, uchar code, const QByteArray &payload)
{
    const int length = int(payload.size()) + 2;
    return jpeg.left(2) + char(0xFF) + char(code) + char(length >> 8) + char(length & 0xFF) + payload + jpeg.mid(2);
}

namespace {

// Where the first scan's entropy-coded data begins; 0 when there is none.
qint64 entropy_start_of(const QByteArray &jpeg)
{
    const auto byte = [&](qint64 i) { return uchar(jpeg.at(i)); };
    for (qint64 at = 2; at + 4 <= jpeg.size() && byte(at) == 0xFF;) {
        const qint64 length = 2 + ((byte(at + 2) << 8) | byte(at + 3));
        if (byte(at + 1) == 0xDA)
            return at + length;
        at += length;
    }
    return 0;
}

// A value for the byte at i that keeps the marker structure: no FF made or
// taken away, so only the coded data is wrong.
bool change_byte(QByteArray &jpeg, qint64 i, quint32 seed)
{
    if (i <= 0 || i + 1 >= jpeg.size() || uchar(jpeg.at(i)) == 0xFF || uchar(jpeg.at(i - 1)) == 0xFF)
        return false;
    const char changed = char(uchar(jpeg.at(i)) ^ (1u << (seed % 7)));
    if (uchar(changed) == 0xFF)
        return false;
    jpeg[i] = changed;
    return true;
}

} // namespace

QByteArray damaged(const QByteArray &jpeg, Damage damage, quint32 seed, double fraction)
{
    constexpr qint64 sector = CarvingVolume::sector;
    QByteArray out = jpeg;
    QRandomGenerator random(seed);
    const qint64 data = entropy_start_of(jpeg);
    if (data <= 0)
        return out;
    const qint64 at = qBound<qint64>(data, qint64(jpeg.size() * fraction), jpeg.size() - 3);
    switch (damage) {
    case Damage::FlippedByte:
        for (qint64 i = at; i < jpeg.size() - 2 && !change_byte(out, i, seed); ++i) {
        }
        break;
    case Damage::CutShort: {
        const qint64 cut = qMax(sector, at / sector * sector);
        out = jpeg.left(cut) + random_bytes(sector * (1 + random.bounded(8)), seed);
        break;
    }
    case Damage::Mutated:
        for (int n = 1 + random.bounded(6); n > 0;)
            n -= change_byte(out, data + random.bounded(jpeg.size() - 2 - data), random.generate()) ? 1 : 0;
        break;
    case Damage::BrokenHeader:
        for (qint64 i = 20 + random.bounded(data - 20); !change_byte(out, i, seed); i = 20 + random.bounded(data - 20)) {
        }
        break;
    }
    return out;
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
