#pragma once

#include "photofacts.h"

#include <QByteArray>
#include <QDialog>
#include <QImage>
#include <QPointer>

#include <functional>

class QCheckBox;
class QLabel;
class QAbstractItemModel;
class QPushButton;

// The larger view of the found photos: one photo at a time, fitted to the
// screen and turned as its EXIF orientation says, with its name and tick
// (the same tick as in the results grid) and the next and previous photo on
// the arrow keys. The photo is decoded from bytes the loader hands over; when
// it has none (a scan is running and the card must not be read, or the card
// cannot be read), the thumbnail is shown enlarged with the loader's note.
class PhotoViewer : public QDialog
{
    Q_OBJECT

public:
    // The photo's bytes; or nothing, with why put into note, when they
    // cannot be had now.
    using PhotoLoader = std::function<QByteArray(const PhotoFacts &facts, QString *note)>;
    // results is a ResultsModel, or a proxy over one: its rows' names,
    // thumbnails, ticks and PhotoFacts.
    PhotoViewer(QAbstractItemModel *results, PhotoLoader loader, QWidget *parent = nullptr);

    int current_row() const { return row; }
    void show_row(int row);
    // Shows the current photo again (its bytes may be at hand now).
    void reload();
    // Whether the whole photo is shown, not the enlarged thumbnail.
    bool shows_whole_photo() const { return whole_photo; }
    QImage shown_image() const { return image; }

    // Decodes jpeg turned by its EXIF orientation and scaled down to fit
    // within bounds; a null image when it does not decode.
    static QImage decode_fitted(const QByteArray &jpeg, const QSize &bounds);
    // A picture as stored, turned as the EXIF orientation turn asks.
    static QImage turned_upright(const QImage &picture, QImageIOHandler::Transformations turn);
    // The results grid's thumbnail (already upright, squeezed to one size)
    // given the photo's proportions again.
    static QImage thumbnail_in_proportion(const QImage &thumbnail, const PhotoFacts &facts);

protected:
    void keyPressEvent(QKeyEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    void step(int by);
    void show_image();
    void update_tick();
    QSize picture_bounds() const;

    int row_count() const;

    QPointer<QAbstractItemModel> results;
    PhotoLoader loader;
    int row = -1;
    QImage image;
    bool whole_photo = false;

    QLabel *picture = nullptr;
    QLabel *note = nullptr;
    QLabel *details = nullptr;
    QCheckBox *tick = nullptr;
    QPushButton *previous = nullptr;
    QPushButton *next = nullptr;
};
