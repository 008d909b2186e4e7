#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

// Volumes laid out as used cards are, and as the file-carving challenges
// lay them out: every piece starts at a 512-byte sector boundary, and whole
// photos, pieces of photos and other data follow each other.
namespace testsupport {

enum class Gap { Text, Document, Random, WholePhoto, EndMarkerSector, Zeros };

// sectors whole sectors of a gap's bytes (zeros for WholePhoto); seed varies them.
QByteArray gap_bytes(Gap gap, int sectors, quint32 seed = 1);

// Remembers where each whole photo lies, so a test can ask that every one of
// them comes out byte for byte.
class CarvingVolume
{
public:
    static constexpr qint64 sector = 512;

    struct Placed
    {
        qint64 offset = 0;
        QByteArray bytes;
        bool operator==(const Placed &) const = default;
    };

    // Each at the next sector boundary: a whole photo, any other bytes (a
    // piece of a photo, a broken header, a gap) and another volume with its
    // whole photos.
    void add_photo(const QByteArray &jpeg);
    void add_bytes(const QByteArray &bytes);
    void add_volume(const CarvingVolume &other);

    // The volume, its last sector completed with zeros.
    QByteArray bytes() const;
    const QList<Placed> &whole_photos() const { return photos; }

private:
    QByteArray volume;
    QList<Placed> photos;
};

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

// A JPEG with a marker segment of the given code and payload written right
// after its start of image.
QByteArray with_segment_first(const QByteArray &jpeg, uchar code, const QByteArray &payload);
// The same JPEG with its first segment of the given code moved to right
// after its start of image; empty when it has none before its scan.
QByteArray with_existing_segment_first(const QByteArray &jpeg, uchar code);

} // namespace testsupport
