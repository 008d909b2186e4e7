#pragma once

#include <QObject>

class QCheckBox;
class ResultsFeed;
class ResultsProxy;

// "Select all" over the results shown: a click ticks or unticks every photo
// the grid shows (those filtered out keep their ticks), and the photos still
// to come arrive so. The box shows what the ticks are,
// whatever set them (a click in the grid, Space, the larger view): ticked,
// unticked, or partly ticked when only some photos are, so one unticked by
// accident does not go unnoticed. A click on a partly ticked box ticks all.
class SelectAllBox : public QObject
{
    Q_OBJECT

public:
    SelectAllBox(QCheckBox *box, ResultsProxy *shown, ResultsFeed *feed, QObject *parent = nullptr);

private:
    void apply(int state);
    void show_ticks();

    QCheckBox *box;
    ResultsProxy *shown;
    ResultsFeed *feed;
};
