#include "selectallbox.h"

#include "resultsfeed.h"
#include "resultsproxy.h"

#include <QCheckBox>
#include <QSignalBlocker>

SelectAllBox::SelectAllBox(QCheckBox *box, ResultsProxy *shown, ResultsFeed *feed, QObject *parent)
    : QObject(parent)
    , box(box)
    , shown(shown)
    , feed(feed)
{
    // White words on the page, but the tick in the style's own colours: a
    // style sheet's colour would draw the tick white on white, as if disabled.
    box->setStyleSheet(QString());
    QPalette light_text = box->palette();
    light_text.setColor(QPalette::WindowText, Qt::white);
    box->setPalette(light_text);

    feed->set_tick_new(box->isChecked());
    connect(box, &QCheckBox::stateChanged, this, &SelectAllBox::apply);
    connect(shown, &ResultsProxy::tally_changed, this, &SelectAllBox::show_ticks);
}

void SelectAllBox::apply(int state)
{
    feed->flush();
    feed->set_tick_new(state == Qt::Checked);
    shown->set_shown_checked(state == Qt::Checked);
}

void SelectAllBox::show_ticks()
{
    const ResultsProxy::Tally tally = shown->tally();
    const int photos = tally.shown, ticked = tally.ticked - tally.ticked_hidden;
    // Shown, not chosen: the ticks stay as they are.
    const QSignalBlocker quiet(box);
    if (ticked > 0 && ticked < photos) {
        box->setCheckState(Qt::PartiallyChecked);
        return;
    }
    // A click always ticks or unticks all, never leads to "some".
    box->setTristate(false);
    if (photos > 0)
        box->setChecked(ticked == photos);
}
