#pragma once

#include <QByteArray>
#include <QList>

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

// Photos damaged as failing cards and fuzzers leave them: one byte of the
// entropy-coded data changed near fraction of the stream (bit rot); cut at
// the sector boundary there, random bytes after the cut as on a card; a few
// bytes changed anywhere after the header (a fuzzer's mutation); one byte of
// the tables or frame header changed.
enum class Damage { FlippedByte, CutShort, Mutated, BrokenHeader };
QByteArray damaged(const QByteArray &jpeg, Damage damage, quint32 seed, double fraction = 0.5);

// A JPEG with a marker segment of the given code and payload written right
// after its start of image.
QByteArray with_segment_first(const QByteArray &jpeg, uchar code, const QByteArray &payload);
// The same JPEG with its first segment of the given code moved to right
// after its start of image; empty when it has none before its scan.
QByteArray with_existing_segment_first(const QByteArray &jpeg, uchar code);

} // namespace testsupport
