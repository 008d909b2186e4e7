#pragma once

#include <QByteArray>
#include <QList>

// Volumes for the carving tests, laid out as a used card is: every piece
// starts at a 512-byte sector boundary, and whole photos, pieces of photos,
// filler and other files' data follow each other. The volume remembers
// where each whole photo lies, so a test can ask that every one of them
// comes out byte for byte.
namespace testsupport {

class CarvingVolume
{
public:
    static constexpr qint64 sector = 512;

    enum class Filler { Zeros, Text, Random };

    struct Placed
    {
        qint64 offset = 0;
        QByteArray bytes;
        bool operator==(const Placed &) const = default;
    };

    // A whole photo at the next sector boundary.
    void add_photo(const QByteArray &jpeg);
    // Bytes from up to (exclusive) of a photo at the next sector boundary,
    // as a photo cut short or one piece of a fragmented photo.
    void add_photo_piece(const QByteArray &jpeg, qint64 from, qint64 to);
    // Any other bytes (another file's data, a broken header) at the next
    // sector boundary.
    void add_bytes(const QByteArray &bytes);
    // Another volume's bytes at the next sector boundary, its whole photos
    // among this one's.
    void add_volume(const CarvingVolume &other);
    // sectors whole sectors of filler; seed varies text and random bytes.
    void add_filler(Filler kind, int sectors, quint32 seed = 1);

    // The volume, its last sector completed with zeros.
    QByteArray bytes() const;
    const QList<Placed> &whole_photos() const { return photos; }

private:
    void pad_to_sector();

    QByteArray volume;
    QList<Placed> photos;
};

// A JPEG with a marker segment of the given code and payload written right
// after its start of image.
QByteArray with_segment_first(const QByteArray &jpeg, uchar code, const QByteArray &payload);
// The same JPEG with its first segment of the given code moved to right
// after its start of image; empty when it has none before its scan.
QByteArray with_existing_segment_first(const QByteArray &jpeg, uchar code);

} // namespace testsupport
