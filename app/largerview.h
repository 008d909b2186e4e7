#pragma once

#include "photoviewer.h"
#include "previewloader.h"

#include <QObject>
#include <QPointer>

#include <functional>

class QWidget;
class ResultsModel;

// The larger view of the scan page's results: opens the one PhotoViewer on
// a row, and has the picture of each photo or video it shows made from the
// card (none while the card is busy with the scan). Closing the view
// abandons the picture being made.
class LargerView : public QObject
{
    Q_OBJECT

public:
    // card_busy says whether the scan is reading the card now; the viewer's
    // window belongs to page's window.
    LargerView(ResultsModel *results, const RawAccess &access, std::function<bool()> card_busy, QWidget *page);

    // The card the pictures are read from.
    void set_card(const QString &raw_path) { card = raw_path; }
    // Shows the photo in row of the results, opening the view when it is closed.
    void open(int row);
    // Shows the current photo again, as the card may be read now.
    void reload();
    void close();

private:
    PhotoViewer::Picture picture_of(const PhotoFacts &facts, const QSize &bounds);

    ResultsModel *results;
    std::function<bool()> card_busy;
    QWidget *page;
    QString card;
    QPointer<PhotoViewer> viewer;
    PreviewLoader previews;
};
