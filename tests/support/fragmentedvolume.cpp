#include "fragmentedvolume.h"

#include "testsupport.h"

#include <QRandomGenerator>

namespace testsupport {

FragmentedVolume::FragmentedVolume()
{
    volume.add_filler(CarvingVolume::Filler::Zeros, 1);
}

qint64 FragmentedVolume::cut_of(const QByteArray &photo, double fraction)
{
    return qMax<qint64>(sector, qint64(photo.size() * fraction) / sector * sector);
}

void FragmentedVolume::add_gap(Gap gap, int sectors, quint32 seed)
{
    switch (gap) {
    case Gap::Text:
        volume.add_filler(CarvingVolume::Filler::Text, sectors, seed);
        break;
    case Gap::Random:
        volume.add_filler(CarvingVolume::Filler::Random, sectors, seed);
        break;
    case Gap::Zeros:
    case Gap::WholePhoto:
        volume.add_filler(CarvingVolume::Filler::Zeros, sectors, seed);
        break;
    case Gap::Document: {
        // A compound document as word processors write it: its header, a
        // sector of its allocation table, then text.
        QByteArray document = QByteArray::fromHex("D0CF11E0A1B11AE1") + QByteArray(16, '\0')
            + QByteArray::fromHex("3E000300FEFF0900");
        document.append(QByteArray(sector - document.size(), '\0'));
        document.append(QByteArray(sector, char(0xFF)));
        for (int i = 0; document.size() < sectors * sector; ++i)
            document.append("Chapter " + QByteArray::number(i) + ". The holiday began on a grey morning. ");
        volume.add_bytes(document.left(sectors * sector));
        break;
    }
    case Gap::EndMarkerSector: {
        // One sector that begins with an end-of-image marker, then random bytes.
        QByteArray marker(sector, '\0');
        QRandomGenerator random(seed);
        random.fillRange(reinterpret_cast<quint32 *>(marker.data()), sector / 4);
        marker[0] = char(0xFF);
        marker[1] = char(0xD9);
        volume.add_bytes(marker);
        break;
    }
    }
}

void FragmentedVolume::add_whole(const QByteArray &photo)
{
    volume.add_photo(photo);
    photos.append(photo);
}

void FragmentedVolume::add_two_pieces(const QByteArray &photo, Gap gap, double fraction, quint32 seed)
{
    const qint64 cut = cut_of(photo, fraction);
    volume.add_photo_piece(photo, 0, cut);
    if (gap == Gap::WholePhoto)
        add_whole(cjpeg(make_picture(320, 240, int(seed) + 500)));
    else
        add_gap(gap, 8 + int(seed % 9), seed);
    volume.add_photo_piece(photo, cut, photo.size());
    photos.append(photo);
}

void FragmentedVolume::add_three_pieces(const QByteArray &photo, quint32 seed)
{
    const qint64 first = cut_of(photo, 0.3);
    const qint64 second = cut_of(photo, 0.65);
    volume.add_photo_piece(photo, 0, first);
    add_gap(Gap::Text, 5 + int(seed % 5), seed);
    volume.add_photo_piece(photo, first, second);
    add_gap(Gap::Random, 7 + int(seed % 5), seed + 1);
    volume.add_photo_piece(photo, second, photo.size());
    photos.append(photo);
}

void FragmentedVolume::add_intertwined(const QByteArray &a, const QByteArray &b, double fraction)
{
    const qint64 cut_a = cut_of(a, fraction);
    const qint64 cut_b = cut_of(b, fraction);
    volume.add_photo_piece(a, 0, cut_a);
    volume.add_photo_piece(b, 0, cut_b);
    volume.add_photo_piece(a, cut_a, a.size());
    volume.add_photo_piece(b, cut_b, b.size());
    photos.append(a);
    photos.append(b);
}

bool FragmentedVolume::write(const QString &path) const
{
    return write_file(path, volume.bytes());
}

int first_foreign_output(const QList<QByteArray> &outputs, const QList<QByteArray> &placed)
{
    for (int i = 0; i < outputs.size(); ++i) {
        bool known = false;
        for (const QByteArray &photo : placed)
            known = known || (!outputs[i].isEmpty() && photo.startsWith(outputs[i]));
        if (!known)
            return i;
    }
    return -1;
}

} // namespace testsupport
