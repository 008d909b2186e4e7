#include "resultsfeed.h"

#include "volumescan.h"
#include "photoviewer.h"
#include "resultsdelegate.h"

#include <QPainter>

namespace {

// How long a found photo may wait before it shows in the results.
constexpr int entry_delay_ms = 100;

// The thumbnail as the photo is meant to be seen: turned by its EXIF
// orientation, and squeezed to the one thumbnail size again.
QImage upright_thumbnail(const QImage &thumbnail, QImageIOHandler::Transformations turn)
{
    if (thumbnail.isNull() || turn == QImageIOHandler::TransformationNone)
        return thumbnail;
    return PhotoViewer::turned_upright(thumbnail, turn)
        .scaled(thumbnail.size(), Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
}

// The grid keeps its own copy of a thumbnail at the size it draws it, in
// the screen's pixels (pixel_ratio of them to a point on a high-density
// screen, where a picture of one pixel a point would be blurred).
// Painting with bilinear filtering is several times quicker here than
// QImage::scaled's smooth path, and looks the same at this reduction.
QImage grid_picture(const QImage &thumbnail, qreal pixel_ratio)
{
    if (thumbnail.isNull())
        return {};
    const QSize drawn = thumbnail.size()
                            .scaled(ResultsDelegate::icon_width, ResultsDelegate::icon_height, Qt::KeepAspectRatio)
                            .boundedTo(thumbnail.size());
    const QSize fitted = (QSizeF(drawn) * pixel_ratio).toSize();
    QImage picture;
    if (fitted == thumbnail.size()) {
        picture = thumbnail;
    } else {
        picture = QImage(fitted,
                         thumbnail.hasAlphaChannel() ? QImage::Format_ARGB32_Premultiplied : QImage::Format_RGB32);
        picture.fill(Qt::transparent);
        QPainter painter(&picture);
        painter.setRenderHint(QPainter::SmoothPixmapTransform);
        painter.drawImage(picture.rect(), thumbnail);
    }
    picture.setDevicePixelRatio(pixel_ratio);
    return picture;
}

} // namespace

ResultsFeed::ResultsFeed(ResultsModel *model, RecoverySession *names, QObject *parent)
    : QObject(parent)
    , model(model)
    , names(names)
{
    delay.setSingleShot(true);
    delay.setInterval(entry_delay_ms);
    connect(&delay, &QTimer::timeout, this, &ResultsFeed::flush);
}

void ResultsFeed::restart(qreal ratio)
{
    delay.stop();
    waiting.clear();
    pixel_ratio = ratio;
}

void ResultsFeed::take_found(const FoundFile &file)
{
    const PhotoFacts &facts = file.facts;
    const QString name = names->name_of(file.image);
    const QImage picture = grid_picture(upright_thumbnail(file.thumbnail, facts.turn), pixel_ratio);
    waiting.append({facts, name, ResultsModel::pack_thumbnail(picture), pixel_ratio, tick_new});
    if (!delay.isActive())
        delay.start();
    emit photo_announced();
}

void ResultsFeed::flush()
{
    delay.stop();
    if (waiting.isEmpty())
        return;
    model->append(waiting);
    waiting.clear();
    emit rows_added();
}
