#include "previewloader.h"

#include "extentreader.h"
#include "jpegdecodecheck.h"
#include "photoviewer.h"
#include "rawvolume.h"

#include <QBuffer>
#include <QImageReader>

#include <cstring>

namespace {

// No JPEG photo beyond this size is read (the carver's cap is 50 MiB).
constexpr qint64 jpeg_byte_limit = 64 * 1024 * 1024;

// The file facts describes, read piece by piece from volume wherever its
// pieces lie: a deleted file in pieces reads as the one file it was.
ExtentReader file_on(RawVolume &volume, const PhotoFacts &facts)
{
    return ExtentReader(facts.extents(), [&volume](qint64 offset, char *buffer, qint64 count) {
        return volume.read_at(offset, buffer, count);
    });
}

} // namespace

PreviewLoader::PreviewLoader(const RawAccess &access, QObject *parent)
    : QObject(parent)
    , access(access)
    , worker(new QObject)
    , probe(std::make_unique<MediaProbe>())
{
    probe->set_time_limit(time_limit_ms);
    worker->moveToThread(&thread);
    connect(&thread, &QThread::finished, worker, &QObject::deleteLater);
    thread.setObjectName(QStringLiteral("previews"));
    thread.start();
}

PreviewLoader::~PreviewLoader()
{
    abandon();
    // The helper is ended on the thread that started it, which then ends.
    QMetaObject::invokeMethod(worker, [this] { probe.reset(); });
    thread.quit();
    thread.wait();
}

quint64 PreviewLoader::request(const QString &raw_path, const PhotoFacts &facts, const QSize &bounds)
{
    const quint64 ticket = ++last_ticket;
    wanted = ticket;
    QMetaObject::invokeMethod(worker, [=, this] { make(ticket, raw_path, facts, bounds); });
    return ticket;
}

void PreviewLoader::make(quint64 ticket, const QString &raw_path, const PhotoFacts &facts, const QSize &bounds)
{
    // Requests overtaken while they waited cost nothing.
    if (wanted != ticket)
        return;
    probe->set_keep_going([this, ticket] { return wanted == ticket; });
    QString note;
    const QImage image = picture(raw_path, facts, bounds, &note);
    if (wanted == ticket)
        emit picture_ready(ticket, image, note);
}

QImage PreviewLoader::picture(const QString &raw_path, const PhotoFacts &facts, const QSize &bounds, QString *note)
{
    if (facts.kind == MediaKind::JpegPhoto)
        return jpeg_picture(raw_path, facts, bounds, note);
    return probed_picture(raw_path, facts, bounds, note);
}

QImage PreviewLoader::jpeg_picture(const QString &raw_path, const PhotoFacts &facts, const QSize &bounds,
                                   QString *note)
{
    const QByteArray bytes = read_from_card(access, raw_path, facts);
    if (bytes.isEmpty()) {
        *note = tr("The card could not be read where this photo lies; this is its thumbnail.");
        return {};
    }
    const QImage image = decode_fitted(bytes, bounds);
    if (image.isNull())
        *note = tr("This photo could not be decoded; its thumbnail is shown.");
    return image;
}

QImage PreviewLoader::probed_picture(const QString &raw_path, const PhotoFacts &facts, const QSize &bounds,
                                     QString *note)
{
    const std::unique_ptr<RawVolume> volume = access.open_volume(raw_path);
    if (!volume) {
        *note = tr("The card could not be read where this file lies; this is its thumbnail.");
        return {};
    }
    const ExtentReader file = file_on(*volume, facts);
    const auto read = [&file](qint64 at, char *buffer, qint64 count) { return file.read(at, buffer, count); };
    const MediaProbe::Kind kind = facts.kind == MediaKind::HeicPhoto ? MediaProbe::Kind::Image : MediaProbe::Kind::Video;
    // The side asked for fits the turned picture too.
    const int side = qMax(bounds.width(), bounds.height());
    const MediaProbe::Result result = probe->preview(kind, file.length(), read, side);
    if (result.thumbnail.isNull()) {
        *note = facts.is_video() ? tr("No larger picture could be made of this video (%1); this is its thumbnail.")
                                       .arg(result.failure)
                                 : tr("No larger picture could be made of this photo (%1); this is its thumbnail.")
                                       .arg(result.failure);
        return {};
    }
    const QImage upright = PhotoViewer::turned_upright(result.thumbnail, facts.turn);
    if (upright.width() <= bounds.width() && upright.height() <= bounds.height())
        return upright;
    return upright.scaled(bounds, Qt::KeepAspectRatio, Qt::SmoothTransformation);
}

QByteArray PreviewLoader::read_from_card(const RawAccess &access, const QString &raw_path, const PhotoFacts &facts)
{
    if (facts.length <= 0 || facts.length > jpeg_byte_limit)
        return {};
    const std::unique_ptr<RawVolume> volume = access.open_volume(raw_path);
    if (!volume)
        return {};
    const ExtentReader file = file_on(*volume, facts);
    if (file.length() <= 0 || file.length() > jpeg_byte_limit)
        return {};
    const QByteArray bytes = file.read_range(0, file.length());
    return bytes.size() == file.length() ? bytes : QByteArray(); // a read failed
}

QImage PreviewLoader::decode_fitted(const QByteArray &jpeg, const QSize &bounds)
{
    QBuffer device;
    device.setData(jpeg);
    device.open(QIODevice::ReadOnly);
    QImageReader reader(&device, "JPEG"); // the header only: size and orientation
    const QSize stored = reader.size();
    if (!stored.isValid())
        return {};
    // The decoder scales before the picture is turned: fit the turned size,
    // then ask for that size as stored. Scaling in the decoder, under the
    // decoders' memory limit, keeps the memory to about the screen's size,
    // however large the photo or whatever its header claims.
    const QImageIOHandler::Transformations turn = reader.transformation();
    const bool turned = turn & QImageIOHandler::TransformationRotate90;
    const QSize shown = turned ? stored.transposed() : stored;
    QSize wanted = stored;
    if (bounds.isValid() && (shown.width() > bounds.width() || shown.height() > bounds.height())) {
        const QSize fitted = shown.scaled(bounds, Qt::KeepAspectRatio).expandedTo(QSize(1, 1));
        wanted = turned ? fitted.transposed() : fitted;
    }
    const QImage picture =
        JpegDecodeCheck::check(jpeg, wanted, JpegDecodeCheck::memory_budget, {}, Qt::SmoothTransformation).thumbnail;
    return PhotoViewer::turned_upright(picture, turn);
}
