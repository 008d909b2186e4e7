#include "photoviewer.h"

#include "jpegdecodecheck.h"
#include "phototooltip.h"
#include "rawaccess.h"
#include "rawvolume.h"
#include "resultsmodel.h"

#include <QBuffer>
#include <QCheckBox>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QImageReader>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QVBoxLayout>

namespace {

// The view takes this share of the screen's free area.
constexpr double screen_share = 0.9;

} // namespace

PhotoViewer::PhotoViewer(QAbstractItemModel *results, PhotoLoader loader, QWidget *parent)
    : QDialog(parent)
    , results(results)
    , loader(std::move(loader))
{
    picture = new QLabel(this);
    picture->setAlignment(Qt::AlignCenter);
    picture->setMinimumSize(160, 107);
    picture->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Ignored);
    picture->setStyleSheet(QStringLiteral("background-color: black;"));
    note = new QLabel(this);
    note->setObjectName(QStringLiteral("note"));
    note->setTextFormat(Qt::PlainText);
    note->setWordWrap(true);
    details = new QLabel(this);
    details->setTextFormat(Qt::PlainText);
    details->setTextInteractionFlags(Qt::NoTextInteraction);
    tick = new QCheckBox(this);
    previous = new QPushButton(tr("Previous"), this);
    next = new QPushButton(tr("Next"), this);
    // The dialog itself takes the keys: arrows step, Space ticks.
    for (QWidget *widget : {static_cast<QWidget *>(tick), static_cast<QWidget *>(previous),
                            static_cast<QWidget *>(next)})
        widget->setFocusPolicy(Qt::NoFocus);

    auto *buttons = new QHBoxLayout;
    buttons->addWidget(tick);
    buttons->addStretch();
    buttons->addWidget(previous);
    buttons->addWidget(next);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(picture, 1);
    layout->addWidget(note);
    layout->addWidget(details);
    layout->addLayout(buttons);

    connect(previous, &QPushButton::clicked, this, [this] { step(-1); });
    connect(next, &QPushButton::clicked, this, [this] { step(1); });
    connect(tick, &QCheckBox::clicked, this, [this](bool on) {
        if (row >= 0 && row < row_count())
            this->results->setData(this->results->index(row, 0), on ? Qt::Checked : Qt::Unchecked, Qt::CheckStateRole);
    });
    if (results)
        connect(results, &QAbstractItemModel::dataChanged, this, &PhotoViewer::update_tick);

    const QScreen *screen = parent ? parent->screen() : QGuiApplication::primaryScreen();
    if (screen)
        resize(screen->availableGeometry().size() * screen_share);
    setFocusPolicy(Qt::StrongFocus);
}

QByteArray PhotoViewer::read_from_card(const RawAccess &access, const QString &raw_path, const PhotoFacts &facts)
{
    // No photo beyond this size is read (the carver's cap is 50 MiB).
    constexpr qint64 byte_limit = 64 * 1024 * 1024;
    if (facts.length <= 0 || facts.length > byte_limit)
        return {};
    const std::unique_ptr<RawVolume> volume = access.open_volume(raw_path);
    if (!volume || !volume->seek(facts.offset))
        return {};
    QByteArray bytes(facts.length, Qt::Uninitialized);
    qint64 filled = 0;
    while (filled < facts.length) {
        const qint64 n = volume->read(bytes.data() + filled, facts.length - filled);
        if (n <= 0)
            return {};
        filled += n;
    }
    return bytes;
}

QImage PhotoViewer::decode_fitted(const QByteArray &jpeg, const QSize &bounds)
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
    return turned_upright(picture, turn);
}

QImage PhotoViewer::turned_upright(const QImage &picture, QImageIOHandler::Transformations turn)
{
    // As the JPEG reader applies an orientation: mirror or flip, then turn.
    QImage image = picture.mirrored(turn & QImageIOHandler::TransformationMirror,
                                    turn & QImageIOHandler::TransformationFlip);
    if (turn & QImageIOHandler::TransformationRotate90)
        image = image.transformed(QTransform().rotate(90));
    return image;
}

QImage PhotoViewer::thumbnail_in_proportion(const QImage &image, const PhotoFacts &facts)
{
    if (image.isNull() || !facts.pixel_size.isValid())
        return image;
    const int side = qMax(image.width(), image.height());
    return image.scaled(facts.pixel_size.scaled(side, side, Qt::KeepAspectRatio), Qt::IgnoreAspectRatio,
                        Qt::SmoothTransformation);
}

QSize PhotoViewer::picture_bounds() const
{
    return picture->size().expandedTo(QSize(160, 107));
}

int PhotoViewer::row_count() const
{
    return results ? results->rowCount() : 0;
}

void PhotoViewer::show_row(int new_row)
{
    if (new_row < 0 || new_row >= row_count())
        return;
    row = new_row;
    reload();
}

void PhotoViewer::reload()
{
    if (row < 0 || row >= row_count())
        return;
    const QModelIndex entry = results->index(row, 0);
    const PhotoFacts facts = entry.data(ResultsModel::FactsRole).value<PhotoFacts>();
    QString why;
    const QByteArray bytes = loader ? loader(facts, &why) : QByteArray();
    // Decoded for the screen, not the dialog's size of the moment, so
    // resizing only scales what is in hand.
    const QScreen *screen = this->screen();
    const QSize bounds = screen ? screen->availableGeometry().size() : picture_bounds();
    image = bytes.isEmpty() ? QImage() : decode_fitted(bytes, bounds);
    whole_photo = !image.isNull();
    if (!whole_photo) {
        image = thumbnail_in_proportion(entry.data(Qt::DecorationRole).value<QPixmap>().toImage(), facts);
        note->setText(bytes.isEmpty() ? why : tr("This photo could not be decoded; its thumbnail is shown."));
    }
    note->setVisible(!whole_photo);

    const QString name = entry.data(Qt::DisplayRole).toString();
    QString title = tr("%1 (%2 of %3)").arg(name).arg(row + 1).arg(row_count());
    if (facts.partial)
        title += tr(" - top part only");
    else if (facts.damaged)
        title += tr(" - damaged");
    setWindowTitle(title);
    tick->setText(name);
    QString line = photo_byte_size(facts.length);
    if (facts.pixel_size.isValid())
        line = tr("%1 x %2 pixels, %3").arg(facts.pixel_size.width()).arg(facts.pixel_size.height()).arg(line);
    const QDateTime taken = facts.exif.date_taken();
    if (taken.isValid())
        line += tr(", taken %1").arg(QLocale().toString(taken, QLocale::ShortFormat));
    if (!facts.exif.camera().isEmpty())
        line += QStringLiteral(", ") + facts.exif.camera();
    details->setText(photo_origin(facts) + QLatin1Char('\n') + line);
    previous->setEnabled(row > 0);
    next->setEnabled(row + 1 < row_count());
    update_tick();
    show_image();
}

void PhotoViewer::show_image()
{
    if (image.isNull()) {
        picture->clear();
        return;
    }
    const QSize bounds = picture_bounds();
    QSize size = image.size();
    // The whole photo is only ever made smaller; the thumbnail is enlarged.
    if (!whole_photo || size.width() > bounds.width() || size.height() > bounds.height())
        size = size.scaled(bounds, Qt::KeepAspectRatio);
    picture->setPixmap(QPixmap::fromImage(image.scaled(size, Qt::KeepAspectRatio, Qt::SmoothTransformation)));
}

void PhotoViewer::update_tick()
{
    if (row >= 0 && row < row_count())
        tick->setChecked(results->index(row, 0).data(Qt::CheckStateRole).toInt() == Qt::Checked);
}

void PhotoViewer::step(int by)
{
    show_row(qBound(0, row + by, row_count() - 1));
}

void PhotoViewer::keyPressEvent(QKeyEvent *event)
{
    switch (event->key()) {
    case Qt::Key_Right:
    case Qt::Key_Down:
    case Qt::Key_PageDown:
        step(1);
        return;
    case Qt::Key_Left:
    case Qt::Key_Up:
    case Qt::Key_PageUp:
        step(-1);
        return;
    case Qt::Key_Home:
        show_row(0);
        return;
    case Qt::Key_End:
        show_row(row_count() - 1);
        return;
    case Qt::Key_Space:
        tick->click();
        return;
    default:
        QDialog::keyPressEvent(event);
    }
}

void PhotoViewer::resizeEvent(QResizeEvent *event)
{
    QDialog::resizeEvent(event);
    show_image();
}
