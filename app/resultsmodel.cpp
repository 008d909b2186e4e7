#include "resultsmodel.h"

#include "phototooltip.h"
#include "safename.h"

#include <QBuffer>

#include <algorithm>

namespace {

// Decoded thumbnails kept at once: several screens of the grid.
constexpr int decoded_thumbnails = 600;
// Close enough to the picture for a thumbnail, at a few kilobytes.
constexpr int thumbnail_quality = 90;

} // namespace

QByteArray ResultsModel::pack_thumbnail(const QImage &thumbnail)
{
    if (thumbnail.isNull())
        return {};
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    thumbnail.save(&buffer, "JPEG", thumbnail_quality);
    return bytes;
}

ResultsModel::ResultsModel(QObject *parent)
    : QAbstractListModel(parent)
    , decoded(decoded_thumbnails)
{
}

int ResultsModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(rows.size());
}

QVariant ResultsModel::data(const QModelIndex &index, int role) const
{
    if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid))
        return {};
    const Row &row = rows.at(index.row());
    switch (role) {
    case Qt::DisplayRole:
        return row.name;
    case Qt::DecorationRole:
        return thumbnail_of(row);
    case Qt::CheckStateRole:
        return row.checked ? Qt::Checked : Qt::Unchecked;
    case Qt::ToolTipRole:
        return photo_tooltip(row.name, row.facts);
    case OffsetRole:
        return row.facts.offset;
    case FactsRole:
        return QVariant::fromValue(row.facts);
    case PartialRole:
        return row.facts.partial;
    case DamagedRole:
        return row.facts.damaged;
    case LengthRole:
        return row.facts.length;
    case FolderRole:
        if (!row.facts.origin.is_known())
            return QString();
        return row.facts.origin.folder.isEmpty() ? QStringLiteral("/") : SafeName::for_display(row.facts.origin.folder);
    case ModifiedRole:
        return row.facts.origin.modified;
    case CreatedRole:
        return row.facts.origin.created;
    case TakenRole:
        return row.facts.date_taken();
    case PixelSizeRole:
        return row.facts.pixel_size;
    case KindRole:
        return photo_kind_code(row.name, row.facts.kind);
    case DurationRole:
        return row.facts.duration_ms;
    default:
        return {};
    }
}

bool ResultsModel::setData(const QModelIndex &index, const QVariant &value, int role)
{
    if (role != Qt::CheckStateRole
        || !checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid))
        return false;
    const bool checked = value.toInt() == Qt::Checked;
    Row &row = rows[index.row()];
    if (row.checked != checked) {
        row.checked = checked;
        checked_rows += checked ? 1 : -1;
        emit dataChanged(index, index, {Qt::CheckStateRole});
    }
    return true;
}

Qt::ItemFlags ResultsModel::flags(const QModelIndex &index) const
{
    if (!index.isValid())
        return Qt::NoItemFlags;
    return Qt::ItemIsEnabled | Qt::ItemIsUserCheckable | Qt::ItemIsSelectable | Qt::ItemNeverHasChildren;
}

QHash<int, QByteArray> ResultsModel::roleNames() const
{
    QHash<int, QByteArray> names = QAbstractListModel::roleNames();
    names.insert({{OffsetRole, "offset"}, {FactsRole, "facts"}, {PartialRole, "partial"}, {LengthRole, "length"},
                  {FolderRole, "folder"}, {ModifiedRole, "modified"}, {CreatedRole, "created"}, {TakenRole, "taken"},
                  {PixelSizeRole, "pixelSize"}, {KindRole, "kind"}, {DamagedRole, "damaged"},
                  {DurationRole, "duration"},
                  {Qt::CheckStateRole, "checked"}});
    return names;
}

void ResultsModel::append(const QList<Photo> &photos)
{
    if (photos.isEmpty())
        return;
    const int first = int(rows.size());
    beginInsertRows(QModelIndex(), first, first + int(photos.size()) - 1);
    for (const Photo &photo : photos) {
        rows.append({photo.facts, photo.name, photo.thumbnail, photo.pixel_ratio, photo.checked, next_key++});
        partial_rows += photo.facts.partial ? 1 : 0;
        video_rows += photo.facts.is_video() ? 1 : 0;
        checked_rows += photo.checked ? 1 : 0;
    }
    endInsertRows();
}

void ResultsModel::clear()
{
    beginResetModel();
    rows.clear();
    partial_rows = 0;
    video_rows = 0;
    checked_rows = 0;
    decoded.clear();
    endResetModel();
}

void ResultsModel::set_all_checked(bool checked)
{
    if (rows.isEmpty())
        return;
    for (Row &row : rows)
        row.checked = checked;
    checked_rows = checked ? int(rows.size()) : 0;
    emit dataChanged(index(0), index(int(rows.size()) - 1), {Qt::CheckStateRole});
}

void ResultsModel::set_rows_checked(const QList<int> &changed, bool checked)
{
    int first = int(rows.size());
    int last = -1;
    for (const int row : changed) {
        if (row < 0 || row >= rows.size() || rows[row].checked == checked)
            continue;
        rows[row].checked = checked;
        first = qMin(first, row);
        last = qMax(last, row);
    }
    if (last >= first)
        emit dataChanged(index(first), index(last), {Qt::CheckStateRole});
}

QPixmap ResultsModel::thumbnail_of(const Row &row) const
{
    if (row.thumbnail.isEmpty())
        return {};
    if (const QPixmap *pixmap = decoded.object(row.key))
        return *pixmap;
    QPixmap pixmap;
    if (!pixmap.loadFromData(row.thumbnail, "JPEG"))
        return {};
    pixmap.setDevicePixelRatio(row.pixel_ratio);
    decoded.insert(row.key, new QPixmap(pixmap));
    return pixmap;
}

int ResultsModel::checked_video_count() const
{
    return int(std::count_if(rows.cbegin(), rows.cend(),
                             [](const Row &row) { return row.checked && row.facts.is_video(); }));
}
