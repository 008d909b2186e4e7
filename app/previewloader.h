#pragma once

#include "mediaprobe.h"
#include "photofacts.h"
#include "rawaccess.h"

#include <QByteArray>
#include <QImage>
#include <QObject>
#include <QSize>
#include <QString>
#include <QThread>

#include <atomic>
#include <memory>

// The larger view's picture of a found photo or video, read from the card
// where its pieces lie (one run for most files) on a thread of its own, so
// that the window never waits for it.
// A JPEG photo is decoded within the JPEG decoder's checks and memory limit;
// a HEIC photo or a video's first frame is made by MediaProbe's helper
// process, which alone runs libheif and FFmpeg on the card's bytes, reading
// them from this process through the window's own access to the card. One
// helper serves the views of a session. Only the picture asked for last is
// made: a newer request, or abandon(), ends the one in hand, helper and all.
class PreviewLoader : public QObject
{
    Q_OBJECT

public:
    explicit PreviewLoader(const RawAccess &access, QObject *parent = nullptr);
    // Abandons the picture in hand, which ends within a moment.
    ~PreviewLoader() override;

    // Starts making the picture of the file facts describes on the volume
    // at raw_path, upright and within bounds; picture_ready(ticket, ...)
    // follows unless another request or abandon() comes first. Tickets
    // grow: every request's is new.
    quint64 request(const QString &raw_path, const PhotoFacts &facts, const QSize &bounds);
    // No picture asked for is wanted any more.
    void abandon() { wanted = 0; }

    // The bytes of the photo facts describes, read from the card at raw_path
    // piece by piece;
    // none when they cannot be read or are too many to show.
    static QByteArray read_from_card(const RawAccess &access, const QString &raw_path, const PhotoFacts &facts);
    // Decodes jpeg turned by its EXIF orientation and scaled down to fit
    // within bounds; a null image when it does not decode.
    static QImage decode_fitted(const QByteArray &jpeg, const QSize &bounds);

    // How long the helper may take for one picture.
    static constexpr int time_limit_ms = 5000;

signals:
    // The picture asked for with ticket, or a null one with why in note.
    void picture_ready(quint64 ticket, const QImage &picture, const QString &note);

private:
    // On the loader's thread.
    void make(quint64 ticket, const QString &raw_path, const PhotoFacts &facts, const QSize &bounds);
    QImage picture(const QString &raw_path, const PhotoFacts &facts, const QSize &bounds, QString *note);
    QImage jpeg_picture(const QString &raw_path, const PhotoFacts &facts, const QSize &bounds, QString *note);
    QImage probed_picture(const QString &raw_path, const PhotoFacts &facts, const QSize &bounds, QString *note);

    RawAccess access;
    QThread thread;
    QObject *worker = nullptr; // lives on thread: requests run there in turn
    std::unique_ptr<MediaProbe> probe; // used on thread only; its helper is made there
    std::atomic<quint64> wanted{0};
    quint64 last_ticket = 0;
};
