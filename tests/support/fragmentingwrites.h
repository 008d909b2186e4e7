#pragma once

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QString>

#include <functional>

namespace testsupport {

// Writes through a card's own driver that leave deleted photos in pieces:
// files written in turns, every other one deleted to leave holes, photos of
// about a megabyte written next (the driver takes the first free clusters,
// so each runs across several holes with a kept file between every two
// pieces), then the photos deleted and every other kept file with them. A
// photo's pieces then lie around files deleted before it was written (whose
// clusters it took) and files deleted after (whose clusters it went round).
// A driver that takes the first free clusters (exfat-fuse) needs nothing
// more; one that goes on from its last allocation (mtools) is given the
// card's free bytes, and the rest of the card is filled before the holes
// are made, so the holes are all it can take.
class FragmentingWrites
{
public:
    using Put = std::function<bool(const QString &card_path, const QByteArray &bytes)>;
    using Remove = std::function<bool(const QString &card_path)>;
    using FreeBytes = std::function<qint64()>;

    static constexpr int photo_count = 12;
    static const QString folder; // the photos' folder on the card
    static const QString filler_folder;

    // Folders must exist. Each photo sits in the folder as IMG_0101.JPG onward.
    bool run(const Put &put, const Remove &remove, const FreeBytes &free_bytes = {});

    QMap<QString, QByteArray> deleted; // the deleted photos by name
    QList<QByteArray> live;            // two photos written among them, kept
};

} // namespace testsupport
