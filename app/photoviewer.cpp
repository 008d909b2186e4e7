#include "photoviewer.h"

#include "phototooltip.h"
#include "resultsmodel.h"

#include <QCheckBox>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QVBoxLayout>

namespace {

// The view takes this share of the screen's free area.
constexpr double screen_share = 0.9;

} // namespace

PhotoViewer::PhotoViewer(QAbstractItemModel *results, PictureLoader loader, QWidget *parent)
    : QDialog(parent)
    , results(results)
    , loader(std::move(loader))
{
    picture = new QLabel(this);
    picture->setAlignment(Qt::AlignCenter);
    picture->setMinimumSize(160, 107);
    picture->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Ignored);
    picture->setStyleSheet(QStringLiteral("background-color: black; color: white;"));
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
    // Made for the screen, not the dialog's size of the moment, so
    // resizing only scales what is in hand.
    const QScreen *screen = this->screen();
    const QSize bounds = screen ? screen->availableGeometry().size() : picture_bounds();
    const Picture answer = loader ? loader(facts, bounds) : Picture();
    awaited = answer.pending;
    use_picture(answer.image, awaited ? tr("Loading the larger picture...") : answer.note);

    const QString name = entry.data(Qt::DisplayRole).toString();
    QString title = tr("%1 (%2 of %3)").arg(name).arg(row + 1).arg(row_count());
    if (facts.partial)
        title += tr(" - top part only");
    else if (facts.damaged)
        title += tr(" - damaged");
    setWindowTitle(title);
    tick->setText(name);
    QStringList line{photo_kind_text(name, facts)};
    if (facts.pixel_size.isValid())
        line << tr("%1 x %2 pixels").arg(facts.pixel_size.width()).arg(facts.pixel_size.height());
    line << photo_byte_size(facts.length);
    const QDateTime taken = facts.date_taken();
    if (taken.isValid()) {
        const QString when = QLocale().toString(facts.exif.date_taken().isValid() ? taken : taken.toLocalTime(),
                                                QLocale::ShortFormat);
        line << (facts.is_video() ? tr("recorded %1") : tr("taken %1")).arg(when);
    }
    if (!facts.exif.camera().isEmpty())
        line << facts.exif.camera();
    details->setText(photo_origin(facts) + QLatin1Char('\n') + line.join(QStringLiteral(", ")));
    previous->setEnabled(row > 0);
    next->setEnabled(row + 1 < row_count());
    update_tick();
}

void PhotoViewer::take_picture(quint64 ticket, const QImage &picture, const QString &why)
{
    if (ticket == 0 || ticket != awaited)
        return;
    awaited = 0;
    use_picture(picture, why);
    emit picture_arrived();
}

void PhotoViewer::use_picture(const QImage &picture, const QString &why)
{
    image = picture;
    whole_photo = !image.isNull();
    if (!whole_photo) {
        const QModelIndex entry = results->index(row, 0);
        image = thumbnail_in_proportion(entry.data(Qt::DecorationRole).value<QPixmap>().toImage(),
                                        entry.data(ResultsModel::FactsRole).value<PhotoFacts>());
    }
    note->setText(why);
    note->setVisible(!whole_photo && !why.isEmpty());
    show_image();
}

QString PhotoViewer::note_text() const
{
    return note->isHidden() ? QString() : note->text();
}

QString PhotoViewer::details_text() const
{
    return details->text();
}

void PhotoViewer::show_image()
{
    if (image.isNull()) {
        picture->setText(tr("No preview"));
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
