#pragma once

#include "foundfile.h"
#include "photofacts.h"
#include "recoverysession.h"
#include "resultsmodel.h"

#include <QHash>
#include <QImage>
#include <QList>
#include <QObject>
#include <QTimer>

// Turns the photos a scan announces into rows of a ResultsModel: names each
// through the scan's RecoverySession (the name its file will have, as
// velvora-scan gives it) and hands the rows over together.
// Found photos wait here briefly: the grid lays out all its entries again
// after every insertion, so one insertion per photo would cost time growing
// with the number already shown.
class ResultsFeed : public QObject
{
    Q_OBJECT

public:
    ResultsFeed(ResultsModel *model, RecoverySession *names, QObject *parent = nullptr);

    // Forgets what the last scan announced; thumbnails are made with
    // pixel_ratio pixels a point.
    void restart(qreal pixel_ratio);
    // Whether photos arriving from now on come ticked.
    void set_tick_new(bool ticked) { tick_new = ticked; }
    // Puts the photos waiting into the model now.
    void flush();

    // A photo the scan announced; it waits to enter the model.
    void take_found(const FoundFile &file);

signals:
    // A photo was announced (it enters the model with the next flush).
    void photo_announced();
    // Rows entered the model.
    void rows_added();

private:
    ResultsModel *model;
    RecoverySession *names;
    QList<ResultsModel::Photo> waiting;
    QTimer delay;
    qreal pixel_ratio = 1.0;
    bool tick_new = true;
};
