#include "resultsproxy.h"

#include <algorithm>
#include <numeric>

ResultsProxy::ResultsProxy(QObject *parent)
    : QAbstractProxyModel(parent)
{
}

void ResultsProxy::setSourceModel(QAbstractItemModel *source)
{
    beginResetModel();
    if (sourceModel())
        disconnect(sourceModel(), nullptr, this, nullptr);
    QAbstractProxyModel::setSourceModel(source);
    results = qobject_cast<ResultsModel *>(source);
    if (source) {
        connect(source, &QAbstractItemModel::rowsInserted, this,
                [this](const QModelIndex &, int first, int last) { add_source_rows(first, last); });
        connect(source, &QAbstractItemModel::dataChanged, this, &ResultsProxy::forward_tick_change);
        // The results model only appends and clears; anything else is taken in whole again.
        const auto begin_reset = [this] { beginResetModel(); };
        const auto end_reset = [this] { reset_from_source(); };
        connect(source, &QAbstractItemModel::modelAboutToBeReset, this, begin_reset);
        connect(source, &QAbstractItemModel::rowsAboutToBeRemoved, this, begin_reset);
        connect(source, &QAbstractItemModel::rowsAboutToBeMoved, this, begin_reset);
        connect(source, &QAbstractItemModel::layoutAboutToBeChanged, this, begin_reset);
        connect(source, &QAbstractItemModel::modelReset, this, end_reset);
        connect(source, &QAbstractItemModel::rowsRemoved, this, end_reset);
        connect(source, &QAbstractItemModel::rowsMoved, this, end_reset);
        connect(source, &QAbstractItemModel::layoutChanged, this, end_reset);
    }
    reset_from_source();
}

void ResultsProxy::reset_from_source()
{
    // Called between the source's "about to" signal, which began the reset, and this one.
    QAbstractItemModel *source = sourceModel();
    keys.clear();
    groups.clear();
    group_rank.clear();
    group_shown.clear();
    first_day = last_day = QDate();
    videos = known_folders = 0;
    const int rows = source ? source->rowCount() : 0;
    for (int row = 0; row < rows; ++row)
        keys.append(key_of(row));
    place.fill(-1, rows);
    shown = arranged();
    renumber(0);
    endResetModel();
    emit choices_changed();
    emit tally_changed();
}

// Keys and groups

ResultsProxy::Key ResultsProxy::key_of(int source_row)
{
    const QModelIndex at = sourceModel()->index(source_row, 0);
    Key key;
    key.name = at.data(Qt::DisplayRole).toString();
    key.folded_name = key.name.toCaseFolded();
    key.folder = at.data(ResultsModel::FolderRole).toString();
    key.length = at.data(ResultsModel::LengthRole).toLongLong();
    const QDateTime date = PhotoFilter::date_of(at.data(ResultsModel::TakenRole).toDateTime(),
                                                at.data(ResultsModel::ModifiedRole).toDateTime());
    key.time = date.isValid() ? date.toMSecsSinceEpoch() : none_time;
    key.day = date.date();
    key.kind = PhotoFilter::kind_of(at.data(ResultsModel::KindRole).toString());
    key.group = group_for(key.folder);

    if (key.day.isValid()) {
        first_day = first_day.isValid() ? qMin(first_day, key.day) : key.day;
        last_day = last_day.isValid() ? qMax(last_day, key.day) : key.day;
    }
    videos += key.kind == PhotoFilter::Videos ? 1 : 0;
    known_folders += key.folder.isEmpty() ? 0 : 1;
    return key;
}

int ResultsProxy::group_for(const QString &folder)
{
    const qsizetype known = groups.indexOf(folder);
    if (known >= 0)
        return int(known);
    groups.append(folder);
    group_shown.append(0);
    rank_groups();
    return int(groups.size()) - 1;
}

// Folders in name order, the photos found by content only after them. A new
// folder never reorders the others, so the rows shown stay in order.
void ResultsProxy::rank_groups()
{
    QList<int> order(groups.size());
    std::iota(order.begin(), order.end(), 0);
    std::sort(order.begin(), order.end(), [this](int a, int b) {
        const QString &x = groups.at(a);
        const QString &y = groups.at(b);
        if (x.isEmpty() != y.isEmpty())
            return y.isEmpty();
        const int by_name = x.compare(y, Qt::CaseInsensitive);
        return by_name != 0 ? by_name < 0 : x < y;
    });
    group_rank.resize(groups.size());
    for (int rank = 0; rank < order.size(); ++rank)
        group_rank[order.at(rank)] = rank;
}

bool ResultsProxy::passes(int source_row) const
{
    const Key &key = keys.at(source_row);
    if (!photo_filter.accepts(key.length, key.day, key.kind))
        return false;
    return search.isEmpty() || key.name.contains(search, Qt::CaseInsensitive)
           || key.folder.contains(search, Qt::CaseInsensitive);
}

bool ResultsProxy::before(int a, int b) const
{
    if (grouped) {
        const int group_a = group_of_entry(a);
        const int group_b = group_of_entry(b);
        if (group_a != group_b)
            return group_rank.at(group_a) < group_rank.at(group_b);
        if (a < 0 || b < 0) // a group's header goes first
            return a < 0 && b >= 0;
    }
    const Key &x = keys.at(a);
    const Key &y = keys.at(b);
    switch (sort_order) {
    case Order::Found:
        break;
    case Order::DateTaken:
        if (x.time != y.time)
            return x.time < y.time; // undated photos last
        break;
    case Order::LargestFirst:
        if (x.length != y.length)
            return x.length > y.length;
        break;
    case Order::Name:
        if (x.folded_name != y.folded_name)
            return x.folded_name < y.folded_name;
        break;
    }
    return a < b; // equals stay in the order found
}

// Arrangement

QList<int> ResultsProxy::arranged()
{
    QList<int> photos;
    photos.reserve(keys.size());
    for (int row = 0; row < keys.size(); ++row) {
        if (passes(row))
            photos.append(row);
    }
    group_shown.fill(0, groups.size());
    for (const int row : std::as_const(photos))
        ++group_shown[keys.at(row).group];
    if (grouped) {
        for (int group = 0; group < groups.size(); ++group) {
            if (group_shown.at(group) > 0)
                photos.append(-1 - group);
        }
    }
    std::sort(photos.begin(), photos.end(), [this](int a, int b) { return before(a, b); });
    return photos;
}

void ResultsProxy::renumber(int from)
{
    for (int row = from; row < shown.size(); ++row) {
        if (shown.at(row) >= 0)
            place[shown.at(row)] = row;
    }
}

int ResultsProxy::header_row(int group) const
{
    const auto at = std::lower_bound(shown.begin(), shown.end(), -1 - group,
                                     [this](int a, int b) { return before(a, b); });
    return at != shown.end() && *at == -1 - group ? int(at - shown.begin()) : -1;
}

void ResultsProxy::rearrange()
{
    emit layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
    const QModelIndexList before_change = persistentIndexList();
    QList<int> entries;
    for (const QModelIndex &index : before_change)
        entries.append(shown.value(index.row(), 0));

    shown = arranged();
    place.fill(-1, keys.size());
    renumber(0);

    QModelIndexList after_change;
    for (const int entry : std::as_const(entries)) {
        const int row = entry >= 0 ? place.at(entry) : grouped ? header_row(-1 - entry) : -1;
        after_change.append(row >= 0 ? createIndex(row, 0) : QModelIndex());
    }
    changePersistentIndexList(before_change, after_change);
    emit layoutChanged({}, QAbstractItemModel::VerticalSortHint);
    emit tally_changed();
}

void ResultsProxy::add_source_rows(int first, int last)
{
    if (first != keys.size()) {
        // Rows put between others renumber those after them: taken in whole again.
        beginResetModel();
        return reset_from_source();
    }
    const QDate old_first = first_day;
    const QDate old_last = last_day;
    const bool had_videos = videos > 0;
    const bool had_folders = known_folders > 0;
    for (int row = first; row <= last; ++row) {
        keys.insert(row, key_of(row));
        place.insert(row, -1);
    }
    for (int row = first; row <= last; ++row) {
        if (passes(row))
            insert_entry(row);
    }
    if (old_first != first_day || old_last != last_day || had_videos != (videos > 0)
        || had_folders != (known_folders > 0))
        emit choices_changed();
    emit tally_changed();
}

// One photo joins its place; in a group not shown yet, under its new header.
void ResultsProxy::insert_entry(int entry)
{
    const int group = keys.at(entry).group;
    const bool new_header = grouped && group_shown.at(group) == 0;
    const int first_entry = new_header ? -1 - group : entry;
    const int row = int(std::lower_bound(shown.begin(), shown.end(), first_entry,
                                         [this](int a, int b) { return before(a, b); })
                        - shown.begin());
    beginInsertRows(QModelIndex(), row, new_header ? row + 1 : row);
    shown.insert(row, entry);
    if (new_header)
        shown.insert(row, -1 - group);
    ++group_shown[group];
    renumber(row);
    endInsertRows();
    if (grouped && !new_header) {
        const QModelIndex header = index(header_row(group), 0);
        emit dataChanged(header, header, {GroupSizeRole, Qt::CheckStateRole});
    }
}

void ResultsProxy::forward_tick_change(const QModelIndex &top_left, const QModelIndex &bottom_right,
                                       const QList<int> &roles)
{
    if (shown.isEmpty())
        return emit tally_changed();
    const int row = top_left.row() == bottom_right.row() ? shown_row(top_left.row()) : -1;
    if (row >= 0 && !grouped) {
        emit dataChanged(index(row, 0), index(row, 0), roles);
    } else {
        // Many rows, or a photo and its group's header: the view repaints what it shows.
        QList<int> changed = roles;
        if (!changed.isEmpty())
            changed.append(GroupSizeRole);
        emit dataChanged(index(0, 0), index(int(shown.size()) - 1, 0), changed);
    }
    emit tally_changed();
}

// Choices

void ResultsProxy::set_order(Order order)
{
    if (order == sort_order)
        return;
    sort_order = order;
    rearrange();
}

void ResultsProxy::set_filter(const PhotoFilter &filter)
{
    if (filter.min_bytes == photo_filter.min_bytes && filter.since == photo_filter.since
        && filter.until == photo_filter.until && filter.kinds == photo_filter.kinds)
        return;
    photo_filter = filter;
    rearrange();
}

void ResultsProxy::set_search(const QString &text)
{
    const QString wanted = text.trimmed();
    if (wanted == search)
        return;
    search = wanted;
    rearrange();
}

void ResultsProxy::set_grouped(bool on)
{
    if (on == grouped)
        return;
    grouped = on;
    rearrange();
}

void ResultsProxy::set_shown_checked(bool checked)
{
    QList<int> rows;
    rows.reserve(shown.size());
    for (const int entry : std::as_const(shown)) {
        if (entry >= 0)
            rows.append(entry);
    }
    if (results) {
        results->set_rows_checked(rows, checked);
        return;
    }
    for (const int row : std::as_const(rows))
        sourceModel()->setData(sourceModel()->index(row, 0), checked ? Qt::Checked : Qt::Unchecked,
                               Qt::CheckStateRole);
}

ResultsProxy::Tally ResultsProxy::tally() const
{
    Tally tally;
    tally.total = int(keys.size());
    for (int row = 0; row < keys.size(); ++row) {
        const bool is_shown = place.at(row) >= 0;
        tally.shown += is_shown ? 1 : 0;
        if (sourceModel()->index(row, 0).data(Qt::CheckStateRole).toInt() != Qt::Checked)
            continue;
        ++tally.ticked;
        tally.ticked_bytes += keys.at(row).length;
        tally.ticked_hidden += is_shown ? 0 : 1;
    }
    return tally;
}

QList<int> ResultsProxy::group_rows(int header) const
{
    QList<int> rows;
    for (int row = header + 1; row < shown.size() && shown.at(row) >= 0; ++row)
        rows.append(shown.at(row));
    return rows;
}

// The model interface

QModelIndex ResultsProxy::index(int row, int column, const QModelIndex &parent) const
{
    if (parent.isValid() || column != 0 || row < 0 || row >= shown.size())
        return {};
    return createIndex(row, column);
}

QModelIndex ResultsProxy::parent(const QModelIndex &) const
{
    return {};
}

int ResultsProxy::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(shown.size());
}

int ResultsProxy::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : 1;
}

QModelIndex ResultsProxy::mapToSource(const QModelIndex &proxy) const
{
    if (!proxy.isValid() || proxy.row() >= shown.size() || shown.at(proxy.row()) < 0 || !sourceModel())
        return {};
    return sourceModel()->index(shown.at(proxy.row()), 0);
}

QModelIndex ResultsProxy::mapFromSource(const QModelIndex &source) const
{
    if (!source.isValid())
        return {};
    const int row = shown_row(source.row());
    return row >= 0 ? createIndex(row, 0) : QModelIndex();
}

QVariant ResultsProxy::data(const QModelIndex &at, int role) const
{
    if (!at.isValid() || at.row() >= shown.size())
        return {};
    const int entry = shown.at(at.row());
    if (entry >= 0)
        return role == HeaderRole ? QVariant(false) : QAbstractProxyModel::data(at, role);
    const int group = -1 - entry;
    switch (role) {
    case HeaderRole:
        return true;
    case Qt::DisplayRole:
        return groups.at(group).isEmpty() ? tr("found by content") : groups.at(group);
    case ResultsModel::FolderRole:
        return groups.at(group);
    case GroupSizeRole:
        return group_shown.at(group);
    case Qt::CheckStateRole: {
        int ticked = 0;
        const QList<int> rows = group_rows(at.row());
        for (const int row : rows)
            ticked += sourceModel()->index(row, 0).data(Qt::CheckStateRole).toInt() == Qt::Checked ? 1 : 0;
        return ticked == 0 ? Qt::Unchecked : ticked == rows.size() ? Qt::Checked : Qt::PartiallyChecked;
    }
    default:
        return {};
    }
}

bool ResultsProxy::setData(const QModelIndex &at, const QVariant &value, int role)
{
    if (!at.isValid() || at.row() >= shown.size())
        return false;
    if (shown.at(at.row()) >= 0)
        return QAbstractProxyModel::setData(at, value, role);
    if (role != Qt::CheckStateRole)
        return false;
    // A header's box ticks the photos shown under it.
    const bool checked = value.toInt() == Qt::Checked;
    const QList<int> rows = group_rows(at.row());
    if (results) {
        results->set_rows_checked(rows, checked);
    } else {
        for (const int row : rows)
            sourceModel()->setData(sourceModel()->index(row, 0), value, role);
    }
    return true;
}

Qt::ItemFlags ResultsProxy::flags(const QModelIndex &at) const
{
    if (!at.isValid() || at.row() >= shown.size())
        return Qt::NoItemFlags;
    if (shown.at(at.row()) < 0)
        return Qt::ItemIsEnabled | Qt::ItemIsUserCheckable | Qt::ItemNeverHasChildren;
    return QAbstractProxyModel::flags(at);
}
