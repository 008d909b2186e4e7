#pragma once

#include "photofacts.h"

#include <QDialog>
#include <QImage>
#include <QPointer>

#include <functional>

class QCheckBox;
class QLabel;
class QAbstractItemModel;
class QPushButton;

// The larger view of the found photos and videos: one at a time, fitted to
// the screen and turned as its EXIF orientation says (a video's first
// frame, with its length), with its name and tick (the same tick as in the
// results grid) and the next and previous one on the arrow keys. The loader
// hands over the picture, at once or later through take_picture(); until it
// comes, or when there is none (a scan is running and the card must not be
// read, or the card cannot be read or the picture made), the thumbnail is
// shown enlarged with a note saying so, or "No preview".
class PhotoViewer : public QDialog
{
    Q_OBJECT

public:
    // What the loader gives for a photo or video: its picture, upright and
    // within bounds; or a null image, with why in note, when it cannot be
    // had now; or, when pending is not 0, the ticket take_picture() will
    // bring the answer with.
    struct Picture
    {
        QImage image;
        QString note;
        quint64 pending = 0;
    };
    using PictureLoader = std::function<Picture(const PhotoFacts &facts, const QSize &bounds)>;
    // results is a ResultsModel, or a proxy over one: its rows' names,
    // thumbnails, ticks and PhotoFacts.
    PhotoViewer(QAbstractItemModel *results, PictureLoader loader, QWidget *parent = nullptr);

    int current_row() const { return row; }
    void show_row(int row);
    // Shows the current photo again (its bytes may be at hand now).
    void reload();
    // Whether the picture asked for has not come yet.
    bool is_loading() const { return awaited != 0; }
    // Whether the whole photo (a video's first frame) is shown, not the enlarged thumbnail.
    bool shows_whole_photo() const { return whole_photo; }
    QImage shown_image() const { return image; }
    // The note under the picture, and the line of details under it.
    QString note_text() const;
    QString details_text() const;
    // A picture as stored, turned as the EXIF orientation turn asks.
    static QImage turned_upright(const QImage &picture, QImageIOHandler::Transformations turn);
    // The results grid's thumbnail (already upright, squeezed to one size)
    // given the photo's proportions again.
    static QImage thumbnail_in_proportion(const QImage &thumbnail, const PhotoFacts &facts);

public slots:
    // The loader's answer for ticket; one for a photo no longer shown is dropped.
    void take_picture(quint64 ticket, const QImage &picture, const QString &note);

signals:
    // The picture awaited came and is shown (or, when it could not be made, why not).
    void picture_arrived();

protected:
    void keyPressEvent(QKeyEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    void step(int by);
    // Shows picture, or the enlarged thumbnail with why when it is null.
    void use_picture(const QImage &picture, const QString &why);
    void show_image();
    void update_tick();
    QSize picture_bounds() const;

    int row_count() const;

    QPointer<QAbstractItemModel> results;
    PictureLoader loader;
    int row = -1;
    QImage image;
    bool whole_photo = false;
    quint64 awaited = 0; // the ticket of the picture being made, 0 when none is

    QLabel *picture = nullptr;
    QLabel *note = nullptr;
    QLabel *details = nullptr;
    QCheckBox *tick = nullptr;
    QPushButton *previous = nullptr;
    QPushButton *next = nullptr;
};
