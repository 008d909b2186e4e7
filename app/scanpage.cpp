#include "scanpage.h"
#include "ui_scanpage.h"

#include "messages.h"
#include "photoviewer.h"
#include "progresstext.h"
#include "rawvolume.h"
#include "resultsfeed.h"
#include "resultsmodel.h"
#include "volumeplatform.h"
#include "widgetfit.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QLocale>
#include <QMessageBox>
#include <QPushButton>

namespace {

constexpr int stop_wait_ms = 2000;
// Room for the status text before the "Select all" box starts.
constexpr int status_max_width = 430;
// Room the progress bar's frame leaves around its text.
constexpr int progress_text_margin = 8;
// The larger view reads no photo beyond this size (the carver's cap is 50 MiB).
constexpr qint64 viewer_byte_limit = 64 * 1024 * 1024;

} // namespace

ScanPage::ScanPage(const RawAccess &access, QWidget *parent)
    : QWidget(parent)
    , ui(new Ui::ScanPage)
    , raw_access(access)
{
    ui->setupUi(this);
    volume_opener = access.volume_opener();
    model = new ResultsModel(this);
    feed = new ResultsFeed(model, &recovery, this);
    ui->listWidget_2->setModel(model);
    connect(ui->listWidget_2, &ResultsGrid::open_requested, this, &ScanPage::open_viewer);
    connect(feed, &ResultsFeed::photo_announced, ui->checkBox, &QWidget::show);
    connect(feed, &ResultsFeed::rows_added, this, [this] {
        show_photo_count();
        // The bar's count follows the grid, also after the last block was read.
        if (ui->progressBar->isVisible() && !stopping)
            refresh_progress_text();
    });
    feed->set_tick_new(ui->checkBox->isChecked());

    ui->progressBar->hide();
    ui->checkBox->hide();
    ui->pushButton_8->hide();
    ui->mountNote->hide();
    ui->countLabel->hide();
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
    note_unreadable(summary.unreadable_bytes);
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

bool ScanPage::start(const RemovableDevice &picked)
{
    if (is_scanning()) {
        inform(this, tr("The previous scan is still ending. Please wait a moment and press Next again."));
        return false;
    }
    // What the last run still had queued belongs to the old scan.
    QCoreApplication::removePostedEvents(this, QEvent::MetaCall);
    QCoreApplication::removePostedEvents(feed, QEvent::MetaCall);

    // The larger view belongs to the results about to be emptied.
    if (viewer)
        viewer->close();
    feed->restart(ui->listWidget_2->devicePixelRatioF());
    recovery.restart(picked.raw_path);
    model->clear();
    ui->checkBox->hide();
    ui->label_3->setToolTip(QString());
    ui->progressBar->setToolTip(QString());
    unreadable_bytes = 0;
    stopping = false;
    last_percent = 0.0f;
    show_photo_count();
    ui->mountNote->hide();
    photos_restored = false;

    found.clear();
    scan_error.clear();
    device = picked;
    ScanOptions options;
    // Without a mount the live files come from the card's file system.
    options.root_path = device.has_file_system() ? device.root_path : QString();
    options.thumbnail_pixel_ratio = ui->listWidget_2->devicePixelRatioF();
    options.open_volume = volume_opener;
    scan = std::make_unique<VolumeScan>(device, options);
    connect_scan();
    scan->start();
    return true;
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
    ui->label_3->show();
    ui->label_3->setText(text);
    fit_status_label();
}

void ScanPage::fit_status_label()
{
    QLabel *label = ui->label_3;
    const int needed = label->fontMetrics().horizontalAdvance(label->text()) + 2 * label->margin()
                       + 2 * label->frameWidth();
    if (needed > label->width())
        label->resize(qMin(needed, status_max_width), label->height());
}

void ScanPage::show_final_status(const QString &text)
{
    if (unreadable_bytes <= 0) {
        show_status(text);
        return;
    }
    const QString lost = QLocale().formattedDataSize(unreadable_bytes, 1);
    show_status(tr("%1 (%2 unreadable)").arg(text, lost));
    ui->label_3->setToolTip(tr("%n byte(s) of the device could not be read; photos stored there are lost.", nullptr,
                               int(qMin<qint64>(unreadable_bytes, INT_MAX))));
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
    scan_clock.start();
    scan_rate.start(device.sector_count * qMax<quint32>(device.bytes_per_sector, 1), 0);
}

void ScanPage::show_progress(qint64 done, qint64 total)
{
    // What is read after a stop was asked for is the worker finishing its block.
    if (stopping)
        return;
    ui->pushButton_7->show();
    ui->progressBar->show();
    ui->label_3->hide();

    last_percent = total > 0 ? float(double(done) * 100.0 / double(total)) : 0.0f;
    ui->progressBar->setValue(qBound(0, int(last_percent), 100));
    if (scan_clock.isValid())
        scan_rate.update(done * qMax<quint32>(device.bytes_per_sector, 1), scan_clock.elapsed());
    refresh_progress_text();
}

void ScanPage::refresh_progress_text()
{
    // The count is what the grid shows: photos waiting to enter it are not counted yet.
    const int photos = model->rowCount();
    const QFontMetrics metrics = ui->progressBar->fontMetrics();
    const auto line = [&](int width) {
        return progress_text(last_percent, photos, scan_rate.bytes_per_second(), scan_rate.seconds_left(), metrics,
                             width);
    };
    const QString text = line(ui->progressBar->width() - progress_text_margin);
    ui->progressBar->setFormat(text);
    // The whole line stays at hand when the bar is too narrow for it.
    const QString whole = line(INT_MAX);
    ui->progressBar->setToolTip(whole == text ? QString() : whole);
}

void ScanPage::show_photo_count()
{
    const int photos = model->rowCount();
    ui->countLabel->setVisible(photos > 0);
    QString text = photo_count_text(photos);
    if (model->partial_count() > 0)
        text = tr("%1, %2 only in part").arg(text).arg(model->partial_count());
    ui->countLabel->setText(text);
}

void ScanPage::note_unreadable(qint64 bytes)
{
    unreadable_bytes = bytes;
}

// The run ends right after its last signal: wait the moment it takes, so that
// the results page never shows a finished scan while the worker still runs
// ("Restore..." would refuse) and found_images is read only once it is still.
void ScanPage::end_of_run()
{
    stopping = false;
    if (scan)
        scan->wait();
    feed->flush();
    scan_clock.invalidate();
    // The card may be read now: the larger view can show the whole photo.
    if (viewer)
        viewer->reload();
}

void ScanPage::show_stopped()
{
    end_of_run();
    show_final_status(tr("Select files and press the restore button"));
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
    if (!ask(this, tr("Program"), tr("Are you sure you want to stop scanning?")) || !is_scanning())
        return;
    scan->stop();
    show_stopping();
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

bool ScanPage::keep_unrestored_photos()
{
    if (photos_restored || found.isEmpty())
        return true;
    return ask(this, QString(), tr("The photos found have not been restored. Go back and discard them?"));
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

void ScanPage::on_checkBox_stateChanged(int state)
{
    feed->flush();
    feed->set_tick_new(state == Qt::Checked);
    model->set_all_checked(state == Qt::Checked);
}

// Larger view

void ScanPage::open_viewer(int row)
{
    feed->flush();
    if (row < 0 || row >= model->rowCount())
        return;
    // Not modal: the scan goes on and the grid stays usable beside it.
    if (!viewer) {
        const auto bytes = [this](const PhotoFacts &facts, QString *note) { return photo_bytes(facts, note); };
        viewer = new PhotoViewer(model, bytes, window());
        viewer->setAttribute(Qt::WA_DeleteOnClose);
    }
    viewer->show_row(row);
    viewer->show();
    viewer->raise();
    viewer->activateWindow();
}

QByteArray ScanPage::photo_bytes(const PhotoFacts &facts, QString *note) const
{
    // The scan reads the card from start to end; reading elsewhere meanwhile
    // would slow it down, and the worker keeps no photo's bytes.
    if (is_scanning()) {
        *note = tr("This is the photo's thumbnail: the whole photo can be shown when the scan has ended.");
        return {};
    }
    *note = tr("The card could not be read where this photo lies; this is its thumbnail.");
    if (facts.length <= 0 || facts.length > viewer_byte_limit)
        return {};
    const std::unique_ptr<RawVolume> volume = raw_access.open_volume(device.raw_path);
    if (!volume || !volume->seek(facts.offset))
        return {};
    QByteArray bytes(facts.length, Qt::Uninitialized);
    qint64 filled = 0;
    while (filled < facts.length) {
        const qint64 n = volume->read(bytes.data() + filled, facts.length - filled);
        if (n <= 0)
            return {};
        filled += n;
    }
    return bytes;
}
