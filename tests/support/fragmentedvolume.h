#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

// Raw test volumes in which photos lie in sector-aligned pieces with other
// data between them, in the manner of the file-carving challenges: the
// photos that should come out, and every photo placed, to tell a right
// assembly from a wrong one.
namespace testsupport {

enum class Gap { Text, Document, Random, WholePhoto, EndMarkerSector, Zeros };

class FragmentedVolume
{
public:
    static constexpr qint64 sector = 512;

    // A sector of zeros comes first, so no photo starts at offset 0.
    FragmentedVolume();

    // photo cut at the sector boundary nearest fraction of its length, gap
    // between the two pieces. A whole photo in the gap is recorded as placed.
    void add_two_pieces(const QByteArray &photo, Gap gap, double fraction = 0.45, int seed = 1);
    // photo in three pieces with a text gap and a random gap between them.
    void add_three_pieces(const QByteArray &photo, int seed = 1);
    // a and b intertwined: a1 b1 a2 b2.
    void add_intertwined(const QByteArray &a, const QByteArray &b, double fraction = 0.5);
    void add_whole(const QByteArray &photo);
    void add_gap(Gap gap, int sectors, int seed = 1);

    QByteArray bytes() const { return volume; }
    // Every photo put on the volume.
    QList<QByteArray> placed() const { return photos; }
    bool write(const QString &path) const;

    static QByteArray gap_bytes(Gap gap, int sectors, int seed);

private:
    void append_sectors(const QByteArray &bytes);
    static qint64 cut_of(const QByteArray &photo, double fraction);

    QByteArray volume;
    QList<QByteArray> photos;
};

// Whether every output is a photo placed, or a leading part of one; the
// offending output's index otherwise (-1 when all are fine).
int first_foreign_output(const QList<QByteArray> &outputs, const QList<QByteArray> &placed);

} // namespace testsupport
