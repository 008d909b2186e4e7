#pragma once

#include <QStyledItemDelegate>

// Draws one found photo of the results grid the way an entry looks: the
// thumbnail on a flat button face at the top, and under it a check box with
// the file name, centred. The model's row holds everything: the thumbnail
// (Qt::DecorationRole, a QPixmap), the name (Qt::DisplayRole), the tick
// (Qt::CheckStateRole) and whether only the photo's top part could be
// recovered (ResultsModel::PartialRole), which is marked on the thumbnail;
// a video's first frame carries a play mark and its length.
// A folder's header row (ResultsProxy::HeaderRole) spans the grid: a check
// box with the folder's name and how many photos it shows.
// A click on the check box ticks through the model's setData; elsewhere the
// grid selects, and the selected and current entries are drawn as such.
class ResultsDelegate : public QStyledItemDelegate
{
    Q_OBJECT

public:
    static constexpr int entry_width = 136;
    static constexpr int entry_height = 124;
    static constexpr int thumbnail_width = 124;
    static constexpr int thumbnail_height = 90;
    // The largest thumbnail drawn; the model keeps its pictures at this size.
    static constexpr int icon_width = 120;
    static constexpr int icon_height = 90;
    // A folder's header row across the grid when the results are grouped.
    static constexpr int header_height = 26;

    explicit ResultsDelegate(QObject *parent = nullptr);

    void paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const override;
    QSize sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const override;

    // Where the check box with its name lies within the entry's rectangle.
    QRect check_box_rect(const QStyleOptionViewItem &option, const QModelIndex &index) const;
    QRect thumbnail_rect(const QStyleOptionViewItem &option) const;

protected:
    bool editorEvent(QEvent *event, QAbstractItemModel *model, const QStyleOptionViewItem &option,
                     const QModelIndex &index) override;

private:
    void paint_header(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const;
    static bool is_header(const QModelIndex &index);
    static void toggle(QAbstractItemModel *model, const QModelIndex &index);
    static QRect foot_band(QPainter *painter, const QRect &thumbnail);
    static void paint_mark(QPainter *painter, const QRect &thumbnail, const QString &text, const QColor &colour);
    static void paint_video_mark(QPainter *painter, const QRect &thumbnail, const QString &duration);
};
