#pragma once

#include "photofilter.h"
#include "resultsmodel.h"

#include <QAbstractProxyModel>
#include <QDate>
#include <QList>
#include <QStringList>

#include <limits>

// The results as the grid shows them: sorted, filtered, and grouped under a
// header row per original folder. The ResultsModel under it stays the one
// place that holds the photos and their ticks; this holds only which of its
// rows show, in what order. Photos found while it shows join their place
// one insertion at a time, so the grid keeps its current entry and where it
// is scrolled to; a change of order or filter keeps the current entry too.
class ResultsProxy : public QAbstractProxyModel
{
    Q_OBJECT

public:
    enum class Order { Found, DateTaken, LargestFirst, Name };
    enum Role {
        HeaderRole = ResultsModel::KindRole + 100, // bool: the row is a folder's header, not a photo
        GroupSizeRole,                             // int: photos shown under a header
    };

    // What the user has chosen, shown and ticked, for the label that says so.
    struct Tally
    {
        int shown = 0;
        int ticked = 0;
        int ticked_hidden = 0; // ticked, but filtered out of the view: written all the same
        qint64 ticked_bytes = 0;
        int total = 0;
    };

    explicit ResultsProxy(QObject *parent = nullptr);

    // source is a ResultsModel.
    void setSourceModel(QAbstractItemModel *source) override;

    void set_order(Order order);
    Order order() const { return sort_order; }
    void set_filter(const PhotoFilter &filter);
    const PhotoFilter &filter() const { return photo_filter; }
    // Shows only photos whose name or folder holds text, in any case.
    void set_search(const QString &text);
    void set_grouped(bool grouped);
    bool is_grouped() const { return grouped; }

    // Ticks or unticks every photo shown, and no other.
    void set_shown_checked(bool checked);
    Tally tally() const;
    // The first and last day of the photos that have a date; invalid for none.
    QDate earliest_day() const { return first_day; }
    QDate latest_day() const { return last_day; }
    bool has_videos() const { return videos > 0; }
    bool has_folders() const { return known_folders > 0; }
    // The row of source_row in the view, -1 when it is filtered out.
    int shown_row(int source_row) const { return source_row < place.size() ? place.at(source_row) : -1; }

    QModelIndex index(int row, int column, const QModelIndex &parent = QModelIndex()) const override;
    QModelIndex parent(const QModelIndex &child) const override;
    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QModelIndex mapToSource(const QModelIndex &proxy) const override;
    QModelIndex mapFromSource(const QModelIndex &source) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    bool setData(const QModelIndex &index, const QVariant &value, int role = Qt::EditRole) override;
    Qt::ItemFlags flags(const QModelIndex &index) const override;
    // Every row is its own buddy: the views send a header's clicks to it.
    QModelIndex buddy(const QModelIndex &index) const override { return index; }

signals:
    // The photos shown or ticked changed (a tick, a filter, photos arriving).
    void tally_changed();
    // The days, kinds or folders the photos have changed: the choices offered follow.
    void choices_changed();

private:
    // What the order and the filter look at, taken once from each source row.
    struct Key
    {
        QString name;
        QString folded_name; // for the order by name, in any case
        QString folder;      // empty: found by its content only
        qint64 length = 0;
        qint64 time = 0; // ms since the epoch; none_time when undated
        QDate day;
        PhotoFilter::Kind kind = PhotoFilter::Photos;
        int group = 0;
    };
    static constexpr qint64 none_time = std::numeric_limits<qint64>::max();

    Key key_of(int source_row);
    bool passes(int source_row) const;
    // Whether entry a goes before entry b; an entry is a source row, or a
    // header when negative (-1 - its group).
    bool before(int a, int b) const;
    int group_of_entry(int entry) const { return entry < 0 ? -1 - entry : keys.at(entry).group; }
    int group_for(const QString &folder);
    void rank_groups();

    // Lays out every row again, keeping the persistent indexes (the current entry).
    void rearrange();
    // The rows to show, in order, counting each group's photos shown.
    QList<int> arranged();
    void renumber(int from);
    void add_source_rows(int first, int last);
    void insert_entry(int entry);
    void forward_tick_change(const QModelIndex &top_left, const QModelIndex &bottom_right, const QList<int> &roles);
    void reset_from_source();
    // The source rows shown under the header in row.
    QList<int> group_rows(int header_row) const;
    int header_row(int group) const;

    ResultsModel *results = nullptr;
    Order sort_order = Order::Found;
    PhotoFilter photo_filter;
    QString search;
    bool grouped = false;

    QList<Key> keys;          // one per source row
    QList<int> shown;         // the rows shown, in order: source rows, and headers as negatives
    QList<int> place;         // for each source row its row here, -1 when not shown
    QStringList groups;       // the folders, in order of appearance; "" is "found by content"
    QList<int> group_rank;    // where each group stands among the others
    QList<int> group_shown;   // photos each group has shown
    QDate first_day;
    QDate last_day;
    int videos = 0;
    int known_folders = 0;
};
