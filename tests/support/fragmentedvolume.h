#pragma once

#include "carvingvolume.h"

#include <QByteArray>
#include <QList>
#include <QString>

// The carving volumes with photos in pieces, in the manner of the
// file-carving challenges: sector-aligned pieces with other data between
// them. Remembers every photo placed, whole or in pieces, so a test can tell
// a right assembly (byte for byte a photo placed) and a leading part (a
// prefix of one) from a wrong assembly.
namespace testsupport {

enum class Gap { Text, Document, Random, WholePhoto, EndMarkerSector, Zeros };

class FragmentedVolume
{
public:
    static constexpr qint64 sector = CarvingVolume::sector;

    // A sector of zeros comes first, so no photo starts at offset 0.
    FragmentedVolume();

    // photo cut at a sector boundary near fraction of its length, gap
    // between the two pieces. A whole photo in the gap is placed too.
    void add_two_pieces(const QByteArray &photo, Gap gap, double fraction = 0.45, quint32 seed = 1);
    // photo in three pieces with text and then random bytes between them.
    void add_three_pieces(const QByteArray &photo, quint32 seed = 1);
    // a and b intertwined: a1 b1 a2 b2.
    void add_intertwined(const QByteArray &a, const QByteArray &b, double fraction = 0.5);
    void add_whole(const QByteArray &photo);
    void add_gap(Gap gap, int sectors, quint32 seed = 1);

    QByteArray bytes() const { return volume.bytes(); }
    // Every photo put on the volume, whole or in pieces.
    QList<QByteArray> placed() const { return photos; }
    bool write(const QString &path) const;

private:
    static qint64 cut_of(const QByteArray &photo, double fraction);

    CarvingVolume volume;
    QList<QByteArray> photos;
};

// The index of the first output that is neither a photo placed nor a
// leading part of one; -1 when there is none.
int first_foreign_output(const QList<QByteArray> &outputs, const QList<QByteArray> &placed);

} // namespace testsupport
