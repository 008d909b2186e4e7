#include "largerview.h"

#include "photoviewer.h"
#include "resultsmodel.h"

#include <QWidget>

LargerView::LargerView(ResultsModel *results, const RawAccess &access, std::function<bool()> card_busy,
                       QWidget *page)
    : QObject(page)
    , results(results)
    , card_busy(std::move(card_busy))
    , page(page)
    , previews(access)
{
}

void LargerView::open(int row)
{
    if (row < 0 || row >= results->rowCount())
        return;
    // Not modal: the scan goes on and the grid stays usable beside it.
    if (!viewer) {
        const auto picture = [this](const PhotoFacts &facts, const QSize &bounds) {
            return picture_of(facts, bounds);
        };
        viewer = new PhotoViewer(results, picture, page->window());
        viewer->setAttribute(Qt::WA_DeleteOnClose);
        connect(&previews, &PreviewLoader::picture_ready, viewer, &PhotoViewer::take_picture);
        connect(viewer, &QObject::destroyed, this, [this] { previews.abandon(); });
    }
    viewer->show_row(row);
    viewer->show();
    viewer->raise();
    viewer->activateWindow();
}

void LargerView::reload()
{
    if (viewer)
        viewer->reload();
}

void LargerView::close()
{
    if (viewer)
        viewer->close();
}

PhotoViewer::Picture LargerView::picture_of(const PhotoFacts &facts, const QSize &bounds)
{
    PhotoViewer::Picture answer;
    // The scan reads the card from start to end; reading elsewhere meanwhile
    // would slow it down, and the worker keeps no photo's bytes.
    if (card_busy()) {
        previews.abandon();
        answer.note = facts.is_video()
            ? tr("This is the video's thumbnail: its first frame can be shown larger when the scan has ended.")
            : tr("This is the photo's thumbnail: the whole photo can be shown when the scan has ended.");
        return answer;
    }
    answer.pending = previews.request(card, facts, bounds);
    return answer;
}
