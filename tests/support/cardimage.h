#pragma once

#include <QList>
#include <QStringList>

namespace testsupport {

// The sample card of scripts/make-sample-card.sh: a 48 MiB FAT32 image with live and
// deleted photos of every kind (progressive, restart markers, EXIF thumbnail, trailer).
struct SampleCard
{
    // Makes the card in directory (readable by every user) and copies its live
    // files off it with mcopy; error says why when it fails.
    bool make(const QString &directory, QString *error);
    // The names a scan gives the deleted photos, in card order: their own,
    // the first letter taken from the names beside them.
    QStringList recovered_names() const;

    QString image;             // the card image
    QString live;              // its live files, copied off: what a mount point would show
    QStringList live_paths;    // card paths of the live photos
    QStringList deleted_paths; // card paths of the deleted photos, in card order
    QList<QByteArray> deleted; // their bytes as the files were, in card order
};

} // namespace testsupport
