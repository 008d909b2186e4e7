#pragma once

#include "mediaprobe.h"
#include "photofacts.h"
#include "rawaccess.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QImage>
#include <QSize>
#include <QString>

// The larger view's picture of a found photo or video, read from the card at
// its place. A JPEG photo is decoded here, within the JPEG decoder's checks
// and memory limit; a HEIC photo or a video's first frame is made by
// MediaProbe's helper process, which alone runs libheif and FFmpeg on the
// card's bytes, reading them from this process through the window's own
// access to the card. One helper serves the views of a session.
class PreviewLoader
{
    Q_DECLARE_TR_FUNCTIONS(PreviewLoader)

public:
    explicit PreviewLoader(const RawAccess &access);

    // The picture of the file facts describes on the volume at raw_path,
    // upright and within bounds; a null image, with why put into note, when
    // it cannot be read or made.
    QImage picture(const QString &raw_path, const PhotoFacts &facts, const QSize &bounds, QString *note);

    // The bytes of the photo facts describes, read from the card at raw_path;
    // none when they cannot be read or are too many to show.
    static QByteArray read_from_card(const RawAccess &access, const QString &raw_path, const PhotoFacts &facts);
    // Decodes jpeg turned by its EXIF orientation and scaled down to fit
    // within bounds; a null image when it does not decode.
    static QImage decode_fitted(const QByteArray &jpeg, const QSize &bounds);

    // How long the helper may take for one picture: the window waits for it.
    static constexpr int time_limit_ms = 5000;

private:
    QImage jpeg_picture(const QString &raw_path, const PhotoFacts &facts, const QSize &bounds, QString *note);
    QImage probed_picture(const QString &raw_path, const PhotoFacts &facts, const QSize &bounds, QString *note);

    RawAccess access;
    MediaProbe probe;
};
