#pragma once

#include "carvingvolume.h"

#include <QString>

namespace testsupport {

// Photos in pieces with other data between them. Remembers every photo
// placed, whole or in pieces, so a test can tell a right assembly (byte for
// byte a photo placed) and a leading part (a prefix of one) from a wrong one.
class FragmentedVolume
{
public:
    static constexpr qint64 sector = CarvingVolume::sector;

    // A sector of zeros comes first, so no photo starts at offset 0.
    FragmentedVolume() { add_gap(Gap::Zeros, 1); }

    // photo cut at a sector boundary near fraction of its length, gap (a
    // whole photo too) between the pieces; in three pieces with text and then
    // random bytes between them; a and b intertwined: a1 b1 a2 b2.
    void add_two_pieces(const QByteArray &photo, Gap gap, double fraction = 0.45, quint32 seed = 1);
    void add_three_pieces(const QByteArray &photo, quint32 seed = 1);
    void add_intertwined(const QByteArray &a, const QByteArray &b, double fraction = 0.5);
    void add_photo(const QByteArray &photo)
    {
        volume.add_photo(photo);
        photos.append(photo);
    }
    void add_gap(Gap gap, int sectors, quint32 seed = 1) { volume.add_bytes(gap_bytes(gap, sectors, seed)); }

    QByteArray bytes() const { return volume.bytes(); }
    QList<QByteArray> placed() const { return photos; } // whole or in pieces
    bool write(const QString &path) const;

private:
    CarvingVolume volume;
    QList<QByteArray> photos;
};

// The index of the first output that is neither a photo placed nor a
// leading part of one; -1 when there is none.
int first_foreign_output(const QList<QByteArray> &outputs, const QList<QByteArray> &placed);

} // namespace testsupport
