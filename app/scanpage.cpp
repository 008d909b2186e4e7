#include "scanpage.h"
#include "ui_scanpage.h"

#include "messages.h"
#include "largerview.h"
#include "progresstext.h"
#include "resultsfeed.h"
#include "resultsmodel.h"
#include "resultsproxy.h"
#include "selectallbox.h"
#include "volumeplatform.h"
#include "widgetfit.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QMessageBox>
#include <QPushButton>

namespace {

constexpr int stop_wait_ms = 2000;
// Room for the status text before the "Select all" box starts.
constexpr int status_max_width = 430;

} // namespace

ScanPage::ScanPage(const RawAccess &access, QWidget *parent)
    : QWidget(parent)
    , ui(new Ui::ScanPage)
    , raw_access(access)
{
    ui->setupUi(this);
    volume_opener = access.volume_opener();
    model = new ResultsModel(this);
    larger_view = new LargerView(model, access, [this] { return is_scanning(); }, this);
    feed = new ResultsFeed(model, &recovery, this);
    shown = new ResultsProxy(this);
    shown->setSourceModel(model);
    ui->listWidget_2->setModel(shown);
    ui->resultsBar->set_results(shown);
    connect(ui->resultsBar, &ResultsBar::grouped_changed, ui->listWidget_2, &ResultsGrid::set_grouped);
    connect(shown, &ResultsProxy::tally_changed, this, &ScanPage::show_photo_count);
    connect(ui->listWidget_2, &ResultsGrid::open_requested, this, &ScanPage::open_viewer);
    connect(feed, &ResultsFeed::photo_announced, ui->checkBox, &QWidget::show);
    connect(feed, &ResultsFeed::photo_announced, ui->resultsBar, &QWidget::show);
    new SelectAllBox(ui->checkBox, shown, feed, this);
    connect(feed, &ResultsFeed::rows_added, this, [this] {
        // The bar's count follows the grid, also after the last block was read.
        if (ui->progressBar->isVisible() && !stopping)
            refresh_progress_text();
    });

    ui->progressBar->hide();
    ui->checkBox->hide();
    ui->resultsBar->hide();
    ui->pushButton_8->hide();
    ui->mountNote->hide();
    ui->countLabel->hide();
    ui->progressText->hide();
    ui->resumeButton->hide();
}

ScanPage::~ScanPage()
{
    // A worker that outlived the bounded waits of going back or closing
    // must end before it is destroyed with the window. One stuck in a read
    // of a failing card may take minutes more: the device is only ever read
    // and the photos written are closed, so the process ends instead.
    if (scan) {
        scan->stop();
        if (!scan->wait(worker_stuck ? 0 : stop_wait_ms))
            volume_platform::end_process_now(0);
    }
    delete ui;
}

void ScanPage::connect_scan()
{
    VolumeScan *run = scan.get();
    connect(run, &VolumeScan::indexing_started, this, &ScanPage::show_indexing_started);
    connect(run, &VolumeScan::indexing_progress, this, &ScanPage::show_indexed_files);
    connect(run, &VolumeScan::indexing_finished, this, [this](bool completed) {
        if (completed)
            show_indexing_done();
        else
            ui->pushButton_8->hide(); // skipping makes no sense once the phase has ended
    });
    connect(run, &VolumeScan::file_system_unreadable, this, &ScanPage::show_file_system_unreadable);
    connect(run, &VolumeScan::existing_files_incomplete, this, [this](const QString &why) {
        ui->mountNote->setText(tr("Not every photo still on the card as a file could be read: some may be listed."));
        ui->mountNote->setToolTip(why);
        fit_label_font(ui->mountNote);
        ui->mountNote->show();
    });
    connect(run, &VolumeScan::raw_scan_started, this, &ScanPage::show_scanning_started);
    connect(run, &VolumeScan::progress, this, &ScanPage::show_progress);
    connect(run, &VolumeScan::found, this, [this](const FoundFile &file) {
        found.insert(file.image.offset, file.image);
        feed->take_found(file);
    });
    connect(run, &VolumeScan::finished, this, &ScanPage::show_finished);
}

void ScanPage::show_finished(const ScanSummary &summary)
{
    progress.set_unreadable_in_run(summary.unreadable_bytes);
    scan_error = summary.error;
    switch (summary.outcome) {
    case ScanSummary::Outcome::Completed:
        show_done();
        break;
    case ScanSummary::Outcome::Stopped:
        show_stopped();
        break;
    case ScanSummary::Outcome::Failed:
        show_error();
        break;
    }
}

bool ScanPage::start(const RemovableDevice &picked, const QList<MediaKind> &picked_kinds)
{
    if (is_scanning()) {
        inform(this, tr("The previous scan is still ending. Please wait a moment and press Next again."));
        return false;
    }
    // What the last run still had queued belongs to the old scan.
    QCoreApplication::removePostedEvents(this, QEvent::MetaCall);
    QCoreApplication::removePostedEvents(feed, QEvent::MetaCall);

    // The larger view belongs to the results about to be emptied.
    larger_view->close();
    feed->restart(ui->listWidget_2->devicePixelRatioF());
    recovery.restart(picked.raw_path);
    model->clear();
    ui->resultsBar->reset();
    ui->resultsBar->hide();
    ui->checkBox->hide();
    ui->label_3->setToolTip(QString());
    ui->progressBar->setToolTip(QString());
    stopping = false;
    progress.reset();
    show_photo_count();
    ui->mountNote->hide();
    photos_restored = false;

    found.clear();
    scan_error.clear();
    device = picked;
    larger_view->set_card(device.raw_path);
    kinds = picked_kinds;
    run_scan(ScanOptions());
    return true;
}

void ScanPage::run_scan(ScanOptions options)
{
    // Without a mount the live files come from the card's file system.
    options.root_path = device.has_file_system() ? device.root_path : QString();
    options.thumbnail_pixel_ratio = ui->listWidget_2->devicePixelRatioF();
    options.open_volume = volume_opener;
    options.kinds = kinds;
    scan = std::make_unique<VolumeScan>(device, options);
    connect_scan();
    scan->start();
}

void ScanPage::stop_for_close()
{
    closing = true;
    if (!is_scanning())
        return;
    scan->stop();
    show_stopping();
    worker_stuck = !wait_for_worker(stop_wait_ms);
}

bool ScanPage::wait_for_worker(int ms)
{
    QEventLoop loop;
    if (!scan)
        return true;
    connect(scan.get(), &VolumeScan::ended, &loop, &QEventLoop::quit);
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    // connected first, so an end that comes meanwhile still quits the loop
    if (scan->is_running())
        loop.exec(QEventLoop::ExcludeUserInputEvents);
    return !scan->is_running();
}

void ScanPage::show_stopping()
{
    stopping = true;
    show_status(tr("Stopping the scan..."));
}

// Status line

void ScanPage::show_status(const QString &text)
{
    ui->pushButton_7->hide();
    ui->progressBar->hide();
    ui->progressText->hide();
    ui->resumeButton->hide();
    ui->label_3->show();
    // a font made smaller for an earlier text goes back to the page's
    ui->label_3->setFont(font());
    ui->label_3->setText(text);
    // wider, up to the "Select all" box, until the text fits
    widen_label_to_text(ui->label_3, status_max_width);
}

void ScanPage::show_final_status(const QString &text)
{
    show_status(progress.with_unreadable(text));
    if (progress.unreadable_bytes() <= 0)
        return;
    ui->label_3->setToolTip(progress.unreadable_tip());
    const int height = ui->label_3->height();
    ui->label_3->adjustSize();
    ui->label_3->resize(qMin(ui->label_3->width(), status_max_width), height);
}

void ScanPage::show_indexing_started()
{
    show_status(tr("Scanning existing files"));
}

void ScanPage::show_indexed_files(int count)
{
    show_status(tr("Please wait. Scanning exiting files (%1).").arg(count));
    ui->label_3->adjustSize();
    ui->label_3->resize(ui->label_3->width(), ui->pushButton_8->height());
    ui->pushButton_8->show();
    fit_button_width(ui->pushButton_8);
    ui->pushButton_8->move(ui->label_3->x() + ui->label_3->width() + 5, ui->label_3->y());
}

void ScanPage::show_indexing_done()
{
    show_status(tr("Scanning existing files completed"));
    ui->label_3->resize(280, 21);
    ui->pushButton_8->hide();
}

// Said once a scan. Unmounted, the live photos could not be told apart.
void ScanPage::show_file_system_unreadable(const QString &why)
{
    ui->mountNote->setText(device.has_file_system()
                               ? tr("The card's file system could not be read: photos come back without their names.")
                               : tr("The card's file system could not be read, so photos still on it as files are "
                                    "listed too."));
    ui->mountNote->setToolTip(why);
    fit_label_font(ui->mountNote);
    ui->mountNote->show();
}

void ScanPage::show_scanning_started()
{
    show_status(tr("Scanning sectors"));
    progress.start_clock(device_bytes());
}

void ScanPage::show_progress(qint64 done, qint64 total)
{
    // What is read after a stop was asked for is the worker finishing its block.
    if (stopping)
        return;
    ui->pushButton_7->show();
    ui->progressBar->show();
    ui->progressText->show();
    ui->label_3->hide();

    progress.update(done, total, device.bytes_per_sector);
    ui->progressBar->setValue(qBound(0, int(progress.percent()), 100));
    refresh_progress_text();
}

void ScanPage::refresh_progress_text()
{
    // The count is what the grid shows: photos waiting to enter it are not counted yet.
    progress.show(ui->progressText, ui->progressBar, model->rowCount(), model->video_count());
}

void ScanPage::show_photo_count()
{
    const int photos = model->rowCount();
    ui->countLabel->setVisible(photos > 0);
    QString text = photo_count_text(photos, model->video_count());
    if (model->partial_count() > 0)
        text = tr("%1, %2 only in part").arg(text).arg(model->partial_count());
    const ResultsProxy::Tally tally = shown->tally();
    text += QLatin1Char('\n') + selection_text(tally.shown, tally.ticked, tally.ticked_bytes, tally.ticked_hidden);
    QString hidden;
    if (tally.ticked_hidden > 0 && model->video_count() > 0)
        hidden = tr("%n ticked file(s) are hidden by the choices above the grid; \"Restore...\" writes them too.",
                    nullptr, tally.ticked_hidden);
    else if (tally.ticked_hidden > 0)
        hidden = tr("%n ticked photo(s) are hidden by the choices above the grid; \"Restore...\" writes them too.",
                    nullptr, tally.ticked_hidden);
    ui->countLabel->setToolTip(hidden);
    ui->countLabel->setText(text);
    // Each new text starts from the form's font, and gets smaller only when it must.
    ui->countLabel->setFont(QFont());
    fit_label_font(ui->countLabel);
}

void ScanPage::note_unreadable(qint64 bytes)
{
    progress.set_unreadable(bytes);
}

// The run ends right after its last signal: wait the moment it takes, so that
// the results page never shows a finished scan while the worker still runs
// ("Restore..." would refuse) and found_images is read only once it is still.
void ScanPage::end_of_run()
{
    stopping = false;
    // A question about stopping has nothing left to stop.
    if (stop_question)
        stop_question->done(QMessageBox::No);
    if (scan)
        scan->wait();
    feed->flush();
    progress.stop_clock();
    // The card may be read now: the larger view can show the whole photo.
    larger_view->reload();
}

void ScanPage::show_stopped()
{
    end_of_run();
    progress.mark_stopped();
    show_final_status(progress.stopped_status(device_bytes()));
    if (ui->label_3->toolTip().isEmpty())
        ui->label_3->setToolTip(stopped_scan_text());
    ui->resumeButton->setVisible(can_resume());
    // The status ends before the button; a smaller font rather than a cut text.
    fit_label_before(ui->label_3, ui->resumeButton->isVisible() ? ui->resumeButton->x() : ui->checkBox->x());
}

QString ScanPage::stopped_scan_text() const
{
    return progress.stopped_sentence(device_bytes(), can_resume());
}

void ScanPage::show_done()
{
    end_of_run();
    if (found.isEmpty())
        show_final_status(tr("No files found"));
    else
        show_final_status(tr("Scanning finished"));
    ui->progressBar->hide();
    ui->pushButton_7->hide();
}

void ScanPage::show_error()
{
    end_of_run();
    show_final_status(tr("The device could not be read."));
    const QString reason = scan_error;
    if (!reason.isEmpty())
        ui->label_3->setToolTip(reason);
    // Not said over another page, nor while the window closes.
    if (isHidden() || closing)
        return;
    if (reason.isEmpty())
        inform(this, tr("The device could not be read."));
    else
        inform(this, tr("The device could not be read.\n%1").arg(reason));
}

// Buttons

void ScanPage::on_pushButton_7_clicked()
{
    if (!is_scanning())
        return;
    // Closed as No by the end of the scan, should it come first.
    QMessageBox box(window());
    make_question(box, tr("Program"), tr("Are you sure you want to stop scanning?"));
    stop_question = &box;
    if (box.exec() != QMessageBox::Yes || !is_scanning())
        return;
    scan->stop();
    show_stopping();
}

bool ScanPage::can_resume() const
{
    return scan && !scan->is_running() && scan->summary().outcome == ScanSummary::Outcome::Stopped
        && scan->resume_point().offset < device_bytes();
}

// Goes on from where the stopped scan can resume, keeping the photos found
// (their rows, names and ticks) and what it knew of the card.
void ScanPage::on_resumeButton_clicked()
{
    if (!can_resume())
        return;
    feed->flush();
    ScanOptions options;
    options.resume = scan->resume_point();
    // the live files are known already, as the resume point's known files
    options.index_existing = false;
    progress.resume_at(options.resume.offset);
    stopping = false;
    photos_restored = false;
    ui->label_3->setToolTip(QString());
    show_status(tr("Resuming the scan..."));
    run_scan(options);
}

void ScanPage::on_pushButton_8_clicked()
{
    if (ask(this, QString(), tr("Are you sure want to skip scanning existing files?")))
        if (scan)
            scan->skip_existing_files();
}

void ScanPage::on_pushButton_6_clicked()
{
    if (is_scanning()) {
        QMessageBox box(window());
        box.setText(QStringLiteral("Are you sure to stop scanning and select another one device?"));
        QPushButton *yes = box.addButton(tr("Yes"), QMessageBox::ActionRole);
        box.setDefaultButton(box.addButton(tr("No"), QMessageBox::ActionRole));
        box.exec();
        if (box.clickedButton() != yes)
            return;
    } else if (!keep_unrestored_photos()) {
        return;
    }
    if (scan)
        scan->stop();
    if (is_scanning()) {
        show_stopping();
        wait_for_worker(stop_wait_ms);
    }
    emit back_requested();
}

QString ScanPage::close_question() const
{
    return close_question_text(is_scanning(), model->rowCount(), model->video_count(), photos_restored);
}

bool ScanPage::keep_unrestored_photos()
{
    if (photos_restored || found.isEmpty())
        return true;
    return ask(this, QString(), go_back_question_text(model->rowCount(), model->video_count()));
}

void ScanPage::on_pushButton_clicked()
{
    if (is_scanning()) {
        inform(this, tr("Scanning still in progress. Please wait or stop scanning."));
        return;
    }
    feed->flush();
    emit restore_requested();
}

// Larger view

void ScanPage::open_viewer(int shown_row)
{
    feed->flush();
    // The larger view goes through the photos in the order found; a folder's header has none.
    larger_view->open(shown->mapToSource(shown->index(shown_row, 0)).row());
}

qint64 ScanPage::device_bytes() const
{
    return device.sector_count * qint64(qMax<quint32>(device.bytes_per_sector, 1));
}
