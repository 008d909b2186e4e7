#pragma once

#include "photofacts.h"

#include <QAbstractListModel>
#include <QByteArray>
#include <QCache>
#include <QImage>
#include <QList>
#include <QPixmap>

// The photos and videos a scan found, one row each in the order they were found, shared
// by the results grid, its delegate and the larger view. A row holds what the
// photo is (its PhotoFacts), the file name it is written as (Qt::DisplayRole,
// also the check box's text), its tick (Qt::CheckStateRole, changed through
// setData) and its thumbnail (Qt::DecorationRole, a QPixmap).
//
// Thumbnails are kept JPEG-compressed at the size the grid draws them and
// decoded again for the rows being painted, a few hundred at a time: tens of
// thousands of results cost a few kilobytes each, not a picture each.
class ResultsModel : public QAbstractListModel
{
    Q_OBJECT

public:
    enum Role {
        OffsetRole = Qt::UserRole, // qint64: where the photo starts on the volume
        FactsRole,                 // PhotoFacts: everything known of it
        PartialRole,               // bool: only its top part could be recovered
        LengthRole,                // qint64: its bytes on the volume
        FolderRole,                // QString: the folder of its deleted entry ("/" for the root); empty when not known
        ModifiedRole,              // QDateTime: as its deleted entry kept it
        CreatedRole,               // QDateTime: as its deleted entry kept it
        TakenRole,                 // QDateTime: as its EXIF data records it, or when a video was recorded
        PixelSizeRole,             // QSize: as shown, after the EXIF orientation
        KindRole,                  // QString: what kind of file it is ("JPEG", "HEIC", "MP4", "MOV", "AVI")
        DamagedRole,               // bool: whole, with a few bytes of its data wrong
        DurationRole,              // qint64: a video's length in milliseconds; -1 for a photo or when unknown
    };

    // One found photo as it enters the model.
    struct Photo
    {
        PhotoFacts facts;
        QString name;
        QByteArray thumbnail; // from pack_thumbnail(); empty without a preview
        qreal pixel_ratio = 1.0; // of the thumbnail: its pixels to a point
        bool checked = true;
    };

    // A thumbnail (upright, at the size and pixel ratio the grid draws it) as
    // the model keeps it. Packed as each photo arrives, not as a batch enters,
    // so no single insertion holds up the window.
    static QByteArray pack_thumbnail(const QImage &thumbnail);

    explicit ResultsModel(QObject *parent = nullptr);

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    bool setData(const QModelIndex &index, const QVariant &value, int role = Qt::EditRole) override;
    Qt::ItemFlags flags(const QModelIndex &index) const override;
    QHash<int, QByteArray> roleNames() const override;

    // Adds photos after the last row, in one insertion.
    void append(const QList<Photo> &photos);
    void clear();
    // Ticks or unticks every row.
    void set_all_checked(bool checked);
    // Ticks or unticks the rows given, in one change.
    void set_rows_checked(const QList<int> &rows, bool checked);
    // Rows of photos of which only the top part could be recovered.
    int partial_count() const { return partial_rows; }
    // Rows of videos.
    int video_count() const { return video_rows; }
    // Rows ticked.
    int checked_count() const { return checked_rows; }
    // Rows of videos ticked.
    int checked_video_count() const;

private:
    struct Row
    {
        PhotoFacts facts;
        QString name;
        QByteArray thumbnail; // JPEG; empty without a preview
        qreal pixel_ratio = 1.0;
        bool checked = true;
        quint64 key = 0; // names the row's decoded thumbnail, across clear()
    };

    QPixmap thumbnail_of(const Row &row) const;

    QList<Row> rows;
    int partial_rows = 0;
    int video_rows = 0;
    int checked_rows = 0;
    quint64 next_key = 0;
    mutable QCache<quint64, QPixmap> decoded;
};
