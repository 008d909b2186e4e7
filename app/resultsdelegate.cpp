#include "resultsdelegate.h"

#include "photofilter.h"
#include "phototooltip.h"
#include "progresstext.h"
#include "resultsmodel.h"
#include "resultsproxy.h"

#include <QAbstractScrollArea>

#include <QApplication>
#include <QMouseEvent>
#include <QPainter>
#include <QPixmap>
#include <QStyle>

namespace {

QStyle *style_of(const QStyleOptionViewItem &option)
{
    return option.widget ? option.widget->style() : QApplication::style();
}

QStyleOptionButton check_box_option(const QStyleOptionViewItem &option, const QModelIndex &index)
{
    QStyleOptionButton check;
    check.direction = option.direction;
    check.fontMetrics = option.fontMetrics;
    check.palette = option.palette;
    check.text = index.data(Qt::DisplayRole).toString();
    check.state = QStyle::State_Enabled;
    switch (index.data(Qt::CheckStateRole).toInt()) {
    case Qt::Checked:
        check.state |= QStyle::State_On;
        break;
    case Qt::PartiallyChecked:
        check.state |= QStyle::State_NoChange;
        break;
    default:
        check.state |= QStyle::State_Off;
    }
    return check;
}

} // namespace

ResultsDelegate::ResultsDelegate(QObject *parent)
    : QStyledItemDelegate(parent)
{
}

QRect ResultsDelegate::thumbnail_rect(const QStyleOptionViewItem &option) const
{
    const QRect &entry = option.rect;
    return QRect(entry.left() + (entry.width() - thumbnail_width) / 2, entry.top() + 4, thumbnail_width,
                 thumbnail_height);
}

bool ResultsDelegate::is_header(const QModelIndex &index)
{
    return index.data(ResultsProxy::HeaderRole).toBool();
}

QRect ResultsDelegate::check_box_rect(const QStyleOptionViewItem &option, const QModelIndex &index) const
{
    const QStyle *style = style_of(option);
    const int indicator = style->pixelMetric(QStyle::PM_IndicatorWidth, nullptr, option.widget);
    const int spacing = style->pixelMetric(QStyle::PM_CheckBoxLabelSpacing, nullptr, option.widget);
    const QString name = index.data(Qt::DisplayRole).toString();
    const int width = qMin(option.rect.width(), indicator + spacing + option.fontMetrics.horizontalAdvance(name) + 2);
    const int height = qMax(style->pixelMetric(QStyle::PM_IndicatorHeight, nullptr, option.widget),
                            option.fontMetrics.height()) + 4;
    if (is_header(index))
        return QRect(option.rect.left() + 6, option.rect.top() + (option.rect.height() - height) / 2,
                     qMin(option.rect.width() - 6, width), height);
    const QRect thumbnail = thumbnail_rect(option);
    const int free_height = option.rect.bottom() - thumbnail.bottom();
    return QRect(option.rect.left() + (option.rect.width() - width) / 2,
                 thumbnail.bottom() + 1 + qMax(0, (free_height - height) / 2), width, height);
}

void ResultsDelegate::paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const
{
    if (is_header(index))
        return paint_header(painter, option, index);
    QStyle *style = style_of(option);
    painter->save();

    if (option.state & QStyle::State_Selected) {
        QColor highlight = option.palette.color(QPalette::Active, QPalette::Highlight);
        highlight.setAlpha(150);
        painter->fillRect(option.rect.adjusted(1, 1, -1, -1), highlight);
    }

    // The thumbnail sits on a flat button face, as a picture button would.
    QStyleOptionButton face;
    face.direction = option.direction;
    face.rect = thumbnail_rect(option);
    face.palette = option.palette;
    face.state = QStyle::State_Enabled | QStyle::State_Raised;
    style->drawControl(QStyle::CE_PushButtonBevel, &face, painter, option.widget);

    const QPixmap thumbnail = index.data(Qt::DecorationRole).value<QPixmap>();
    const bool video = PhotoFilter::kind_of(index.data(ResultsModel::KindRole).toString()) == PhotoFilter::Videos;
    if (video) {
        QRect target = face.rect.adjusted(2, 2, -2, -2);
        if (!thumbnail.isNull()) {
            const QSize shown = thumbnail.deviceIndependentSize().toSize();
            target = QStyle::alignedRect(Qt::LeftToRight, Qt::AlignCenter,
                                         shown.scaled(icon_width, icon_height, Qt::KeepAspectRatio).boundedTo(shown),
                                         face.rect);
            painter->drawPixmap(target, thumbnail);
        }
        const qint64 duration = index.data(ResultsModel::DurationRole).toLongLong();
        paint_video_mark(painter, target, duration >= 0 ? video_duration(duration) : QString());
    } else if (!thumbnail.isNull()) {
        // Pictures made for a high-density screen hold more pixels than they cover.
        const QSize shown = thumbnail.deviceIndependentSize().toSize();
        const QSize size = shown.scaled(icon_width, icon_height, Qt::KeepAspectRatio).boundedTo(shown);
        const QRect target = QStyle::alignedRect(Qt::LeftToRight, Qt::AlignCenter, size, face.rect);
        painter->drawPixmap(target, thumbnail);
        if (index.data(ResultsModel::PartialRole).toBool())
            paint_mark(painter, target, tr("top part only"), QColor(160, 20, 20, 220));
        else if (index.data(ResultsModel::DamagedRole).toBool())
            paint_mark(painter, target, tr("damaged"), QColor(150, 90, 0, 220));
    }

    QStyleOptionButton check = check_box_option(option, index);
    check.rect = check_box_rect(option, index);
    if (option.state & QStyle::State_HasFocus)
        check.state |= QStyle::State_HasFocus;
    style->drawControl(QStyle::CE_CheckBox, &check, painter, option.widget);

    // The current entry, where the keys act, is framed whether the focus
    // came by mouse or keyboard (the style's focus frame shows only after
    // keyboard moves).
    if (option.state & QStyle::State_HasFocus) {
        painter->setPen(QPen(option.palette.color(QPalette::Active, QPalette::Highlight).darker(130), 2));
        painter->setBrush(Qt::NoBrush);
        painter->drawRect(option.rect.adjusted(1, 1, -1, -1));
    }

    painter->restore();
}

// A band across the grid: the folder's tick box and name, and how many of
// its photos show.
void ResultsDelegate::paint_header(QPainter *painter, const QStyleOptionViewItem &option,
                                   const QModelIndex &index) const
{
    painter->save();
    painter->fillRect(option.rect.adjusted(0, 2, 0, -2), option.palette.color(QPalette::AlternateBase));
    painter->setPen(option.palette.color(QPalette::Mid));
    painter->drawLine(option.rect.bottomLeft() - QPoint(0, 2), option.rect.bottomRight() - QPoint(0, 2));
    QStyleOptionButton check = check_box_option(option, index);
    check.rect = check_box_rect(option, index);
    if (option.state & QStyle::State_HasFocus)
        check.state |= QStyle::State_HasFocus;
    style_of(option)->drawControl(QStyle::CE_CheckBox, &check, painter, option.widget);
    const int photos = index.data(ResultsProxy::GroupSizeRole).toInt();
    const QRect count_rect = option.rect.adjusted(check.rect.right() + 12, 0, -8, 0);
    painter->setPen(option.palette.color(QPalette::PlaceholderText));
    painter->drawText(count_rect, Qt::AlignVCenter | Qt::AlignLeft,
                      photo_count_text(photos));
    painter->restore();
}

// The band's small bold font set on the painter, and the band across the
// thumbnail's foot that it fits.
QRect ResultsDelegate::foot_band(QPainter *painter, const QRect &thumbnail)
{
    QFont font = painter->font();
    font.setPointSizeF(qMax(6.0, font.pointSizeF() - 1.0));
    font.setBold(true);
    painter->setFont(font);
    const int band_height = QFontMetrics(font).height() + 2;
    return QRect(thumbnail.left(), thumbnail.bottom() + 1 - band_height, thumbnail.width(), band_height);
}

// A band across the foot of the thumbnail: the grey below the recovered
// part, or the flaw in a damaged photo, must not pass for the photo.
void ResultsDelegate::paint_mark(QPainter *painter, const QRect &thumbnail, const QString &text, const QColor &colour)
{
    painter->save();
    const QRect band = foot_band(painter, thumbnail);
    painter->fillRect(band, colour);
    painter->setPen(Qt::white);
    painter->drawText(band, Qt::AlignCenter, text);
    painter->restore();
}

// A band across the foot of a video's first frame, as video players and file
// managers mark one: a play mark and the video's length.
void ResultsDelegate::paint_video_mark(QPainter *painter, const QRect &thumbnail, const QString &duration)
{
    painter->save();
    const QRect band = foot_band(painter, thumbnail);
    painter->fillRect(band, QColor(0, 0, 0, 170));
    painter->setRenderHint(QPainter::Antialiasing);
    const qreal side = band.height() - 6;
    const QPointF tip(band.left() + 5 + side * 0.87, band.center().y() + 0.5);
    const QPolygonF play{QPointF(band.left() + 5, band.top() + 3), tip, QPointF(band.left() + 5, band.bottom() - 2)};
    painter->setPen(Qt::NoPen);
    painter->setBrush(Qt::white);
    painter->drawPolygon(play);
    painter->setPen(Qt::white);
    painter->drawText(band.adjusted(0, 0, -5, 0), Qt::AlignVCenter | Qt::AlignRight, duration);
    painter->restore();
}

QSize ResultsDelegate::sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const
{
    if (is_header(index)) {
        // As wide as the grid, so it stands on a line of its own.
        const auto *view = qobject_cast<const QAbstractScrollArea *>(option.widget);
        return QSize(view ? view->viewport()->width() - 2 : entry_width, header_height);
    }
    return QSize(entry_width, entry_height);
}

bool ResultsDelegate::editorEvent(QEvent *event, QAbstractItemModel *model, const QStyleOptionViewItem &option,
                                  const QModelIndex &index)
{
    if (!(index.flags() & Qt::ItemIsEnabled))
        return false;
    // A header has only its box: a click anywhere on it ticks the group.
    if (is_header(index)) {
        if (event->type() == QEvent::MouseButtonRelease
            && static_cast<QMouseEvent *>(event)->button() == Qt::LeftButton)
            toggle(model, index);
        return event->type() == QEvent::MouseButtonPress || event->type() == QEvent::MouseButtonRelease
               || event->type() == QEvent::MouseButtonDblClick;
    }

    switch (event->type()) {
    case QEvent::MouseButtonPress: {
        // The check box ticks on release; elsewhere the press selects.
        const auto *mouse = static_cast<QMouseEvent *>(event);
        return check_box_rect(option, index).contains(mouse->position().toPoint());
    }
    case QEvent::MouseButtonDblClick: {
        // Outside the check box a double click reaches the grid, which opens
        // the larger view of the photo.
        const auto *mouse = static_cast<QMouseEvent *>(event);
        return check_box_rect(option, index).contains(mouse->position().toPoint());
    }
    case QEvent::MouseButtonRelease: {
        const auto *mouse = static_cast<QMouseEvent *>(event);
        if (!check_box_rect(option, index).contains(mouse->position().toPoint()))
            return false;
        if (mouse->button() == Qt::LeftButton)
            toggle(model, index);
        return true;
    }
    default:
        return false;
    }
}

void ResultsDelegate::toggle(QAbstractItemModel *model, const QModelIndex &index)
{
    // A group partly ticked becomes ticked, as a tri-state box does.
    const bool checked = index.data(Qt::CheckStateRole).toInt() == Qt::Checked;
    model->setData(index, checked ? Qt::Unchecked : Qt::Checked, Qt::CheckStateRole);
}
