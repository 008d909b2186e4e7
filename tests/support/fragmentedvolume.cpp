#include "fragmentedvolume.h"

#include "testsupport.h"

#include <algorithm>

namespace testsupport {

namespace {

qint64 cut_of(const QByteArray &photo, double fraction)
{
    constexpr qint64 sector = CarvingVolume::sector;
    return qMax<qint64>(sector, qint64(photo.size() * fraction) / sector * sector);
}

} // namespace

void FragmentedVolume::add_two_pieces(const QByteArray &photo, Gap gap, double fraction, quint32 seed)
{
    const qint64 cut = cut_of(photo, fraction);
    volume.add_bytes(photo.left(cut));
    if (gap == Gap::WholePhoto) {
        photos.append(cjpeg(make_picture(320, 240, int(seed) + 500)));
        volume.add_photo(photos.last());
    } else {
        add_gap(gap, 8 + int(seed % 9), seed);
    }
    volume.add_bytes(photo.mid(cut));
    photos.append(photo);
}

void FragmentedVolume::add_three_pieces(const QByteArray &photo, quint32 seed)
{
    const qint64 first = cut_of(photo, 0.3);
    const qint64 second = cut_of(photo, 0.65);
    volume.add_bytes(photo.left(first));
    add_gap(Gap::Text, 5 + int(seed % 5), seed);
    volume.add_bytes(photo.mid(first, second - first));
    add_gap(Gap::Random, 7 + int(seed % 5), seed + 1);
    volume.add_bytes(photo.mid(second));
    photos.append(photo);
}

void FragmentedVolume::add_intertwined(const QByteArray &a, const QByteArray &b, double fraction)
{
    const qint64 cut_a = cut_of(a, fraction);
    const qint64 cut_b = cut_of(b, fraction);
    for (const QByteArray &piece : {a.left(cut_a), b.left(cut_b), a.mid(cut_a), b.mid(cut_b)})
        volume.add_bytes(piece);
    photos << a << b;
}

bool FragmentedVolume::write(const QString &path) const
{
    return write_file(path, volume.bytes());
}

int first_foreign_output(const QList<QByteArray> &outputs, const QList<QByteArray> &placed)
{
    for (int i = 0; i < outputs.size(); ++i) {
        const auto holds = [&](const QByteArray &photo) { return !outputs[i].isEmpty() && photo.startsWith(outputs[i]); };
        if (std::none_of(placed.begin(), placed.end(), holds))
            return i;
    }
    return -1;
}

} // namespace testsupport
