#include "fragmentedvolume.h"

#include "testsupport.h"

#include <QRandomGenerator>

namespace testsupport {

FragmentedVolume::FragmentedVolume()
{
    volume = QByteArray(sector, '\0');
}

void FragmentedVolume::append_sectors(const QByteArray &bytes)
{
    volume.append(bytes);
    const qint64 rest = volume.size() % sector;
    if (rest != 0)
        volume.append(QByteArray(sector - rest, '\0'));
}

qint64 FragmentedVolume::cut_of(const QByteArray &photo, double fraction)
{
    return qMax<qint64>(sector, qint64(photo.size() * fraction) / sector * sector);
}

QByteArray FragmentedVolume::gap_bytes(Gap gap, int sectors, int seed)
{
    const qint64 size = qint64(sectors) * sector;
    QRandomGenerator random(quint32(seed) * 7919u + 3);
    QByteArray bytes;
    switch (gap) {
    case Gap::Text: {
        const QByteArray line = "Meeting notes, day " + QByteArray::number(seed)
            + ": bring the tent, the camera charger and the maps.\n";
        while (bytes.size() < size)
            bytes.append(line);
        break;
    }
    case Gap::Document: {
        // A compound document header, its allocation table and some text.
        bytes = QByteArray::fromHex("D0CF11E0A1B11AE1") + QByteArray(24, '\0');
        bytes.append(QByteArray::fromHex("3E000300FEFF0900"));
        bytes.append(QByteArray(sector - bytes.size(), char(0xFF)));
        for (int i = 0; bytes.size() < size; ++i)
            bytes.append("Chapter " + QByteArray::number(i) + ". The holiday began on a grey morning. ");
        break;
    }
    case Gap::Random:
        bytes.resize(size);
        for (qint64 i = 0; i < size; ++i)
            bytes[i] = char(random.bounded(256));
        break;
    case Gap::EndMarkerSector:
        bytes.resize(size);
        for (qint64 i = 0; i < size; ++i)
            bytes[i] = char(random.bounded(256));
        bytes[0] = char(0xFF);
        bytes[1] = char(0xD9);
        break;
    case Gap::Zeros:
    case Gap::WholePhoto:
        bytes = QByteArray(size, '\0');
        break;
    }
    bytes.truncate(size);
    // A start signature at a sector boundary would be a photo of its own.
    for (qint64 at = 0; at + 3 < bytes.size(); at += sector)
        if (uchar(bytes[at]) == 0xFF && uchar(bytes[at + 1]) == 0xD8)
            bytes[at + 1] = 0;
    return bytes;
}

void FragmentedVolume::add_gap(Gap gap, int sectors, int seed)
{
    append_sectors(gap_bytes(gap, sectors, seed));
}

void FragmentedVolume::add_whole(const QByteArray &photo)
{
    append_sectors(photo);
    photos.append(photo);
}

void FragmentedVolume::add_two_pieces(const QByteArray &photo, Gap gap, double fraction, int seed)
{
    const qint64 cut = cut_of(photo, fraction);
    append_sectors(photo.left(cut));
    if (gap == Gap::WholePhoto) {
        const QByteArray other = cjpeg(make_picture(320, 240, seed + 500));
        add_whole(other);
    } else {
        add_gap(gap, 8 + seed % 9, seed);
    }
    append_sectors(photo.mid(cut));
    photos.append(photo);
}

void FragmentedVolume::add_three_pieces(const QByteArray &photo, int seed)
{
    const qint64 first = cut_of(photo, 0.3);
    const qint64 second = cut_of(photo, 0.65);
    append_sectors(photo.left(first));
    add_gap(Gap::Text, 5 + seed % 5, seed);
    append_sectors(photo.mid(first, second - first));
    add_gap(Gap::Random, 7 + seed % 5, seed + 1);
    append_sectors(photo.mid(second));
    photos.append(photo);
}

void FragmentedVolume::add_intertwined(const QByteArray &a, const QByteArray &b, double fraction)
{
    const qint64 cut_a = cut_of(a, fraction);
    const qint64 cut_b = cut_of(b, fraction);
    append_sectors(a.left(cut_a));
    append_sectors(b.left(cut_b));
    append_sectors(a.mid(cut_a));
    append_sectors(b.mid(cut_b));
    photos.append(a);
    photos.append(b);
}

bool FragmentedVolume::write(const QString &path) const
{
    return write_file(path, volume);
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
