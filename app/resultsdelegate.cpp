#include "resultsdelegate.h"

#include <QApplication>
#include <QKeyEvent>
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
    check.state |= index.data(Qt::CheckStateRole).toInt() == Qt::Checked ? QStyle::State_On : QStyle::State_Off;
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

QRect ResultsDelegate::check_box_rect(const QStyleOptionViewItem &option, const QModelIndex &index) const
{
    const QStyle *style = style_of(option);
    const int indicator = style->pixelMetric(QStyle::PM_IndicatorWidth, nullptr, option.widget);
    const int spacing = style->pixelMetric(QStyle::PM_CheckBoxLabelSpacing, nullptr, option.widget);
    const QString name = index.data(Qt::DisplayRole).toString();
    const int width = qMin(option.rect.width(), indicator + spacing + option.fontMetrics.horizontalAdvance(name) + 2);
    const int height = qMax(style->pixelMetric(QStyle::PM_IndicatorHeight, nullptr, option.widget),
                            option.fontMetrics.height()) + 4;
    const QRect thumbnail = thumbnail_rect(option);
    const int free_height = option.rect.bottom() - thumbnail.bottom();
    return QRect(option.rect.left() + (option.rect.width() - width) / 2,
                 thumbnail.bottom() + 1 + qMax(0, (free_height - height) / 2), width, height);
}

void ResultsDelegate::paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const
{
    QStyle *style = style_of(option);
    painter->save();

    // The thumbnail sits on a flat button face, as a picture button would.
    QStyleOptionButton face;
    face.direction = option.direction;
    face.rect = thumbnail_rect(option);
    face.palette = option.palette;
    face.state = QStyle::State_Enabled | QStyle::State_Raised;
    style->drawControl(QStyle::CE_PushButtonBevel, &face, painter, option.widget);

    const QPixmap thumbnail = index.data(Qt::DecorationRole).value<QPixmap>();
    if (!thumbnail.isNull()) {
        const QSize size = thumbnail.size().scaled(icon_width, icon_height, Qt::KeepAspectRatio)
                               .boundedTo(thumbnail.size());
        const QRect target = QStyle::alignedRect(Qt::LeftToRight, Qt::AlignCenter, size, face.rect);
        painter->drawPixmap(target, thumbnail);
    }

    QStyleOptionButton check = check_box_option(option, index);
    check.rect = check_box_rect(option, index);
    if (option.state & QStyle::State_HasFocus)
        check.state |= QStyle::State_HasFocus;
    style->drawControl(QStyle::CE_CheckBox, &check, painter, option.widget);

    painter->restore();
}

QSize ResultsDelegate::sizeHint(const QStyleOptionViewItem &, const QModelIndex &) const
{
    return QSize(entry_width, entry_height);
}

bool ResultsDelegate::editorEvent(QEvent *event, QAbstractItemModel *model, const QStyleOptionViewItem &option,
                                  const QModelIndex &index)
{
    if (!(index.flags() & Qt::ItemIsEnabled))
        return false;

    switch (event->type()) {
    case QEvent::MouseButtonPress:
        // Swallowed everywhere in the entry: neither the thumbnail nor the
        // name starts anything on a press.
        return true;
    case QEvent::MouseButtonDblClick: {
        // Outside the check box a double click reaches the list, which opens
        // the larger view of the photo.
        const auto *mouse = static_cast<QMouseEvent *>(event);
        return check_box_rect(option, index).contains(mouse->position().toPoint());
    }
    case QEvent::MouseButtonRelease: {
        const auto *mouse = static_cast<QMouseEvent *>(event);
        if (mouse->button() == Qt::LeftButton && check_box_rect(option, index).contains(mouse->position().toPoint()))
            toggle(model, index);
        return true;
    }
    case QEvent::KeyPress: {
        const int key = static_cast<QKeyEvent *>(event)->key();
        if (key != Qt::Key_Space && key != Qt::Key_Select)
            return false;
        toggle(model, index);
        return true;
    }
    default:
        return false;
    }
}

void ResultsDelegate::toggle(QAbstractItemModel *model, const QModelIndex &index)
{
    const bool checked = index.data(Qt::CheckStateRole).toInt() == Qt::Checked;
    model->setData(index, checked ? Qt::Unchecked : Qt::Checked, Qt::CheckStateRole);
}
