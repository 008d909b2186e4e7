#pragma once

#include "photofacts.h"

#include <QByteArray>
#include <QDialog>
#include <QImage>
#include <QPointer>

#include <functional>

class QCheckBox;
class QLabel;
class QListWidget;
class QPushButton;

// The larger view of the found photos: one photo at a time, fitted to the
// screen and turned as its EXIF orientation says, with its name and tick
// (the same tick as in the results list) and the next and previous photo on
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
    // Where each entry of the results list keeps its PhotoFacts.
    static constexpr int facts_role = Qt::UserRole + 1;

    PhotoViewer(QListWidget *list, PhotoLoader loader, QWidget *parent = nullptr);

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
    // The thumbnail turned upright and given the photo's proportions again
    // (thumbnails are stored at one size, as the photo was stored).
    static QImage upright_thumbnail(const QImage &thumbnail, const PhotoFacts &facts);
    static QImage upright(const QImage &picture, QImageIOHandler::Transformations turn);

protected:
    void keyPressEvent(QKeyEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    void step(int by);
    void show_image();
    void update_tick();
    QSize picture_bounds() const;

    QPointer<QListWidget> list;
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
