#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "exifinfo.h"
#include "phototooltip.h"
#include "photoviewer.h"
#include "rawvolume.h"
#include "photowriter.h"
#include "resultsdelegate.h"
#include "volumeplatform.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QEventLoop>
#include <QKeyEvent>
#include <QMenu>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QIcon>
#include <QImage>
#include <QLocale>
#include <QMessageBox>
#include <QPainter>
#include <QPixmap>
#include <QProgressDialog>
#include <QRegularExpression>
#include <QPushButton>
#include <QSet>
#include <QStorageInfo>
#include <QStyle>
#include <QUrl>

namespace {

constexpr int device_page = 1;
constexpr int scanning_page = 2;
constexpr int final_page = 3;
constexpr int device_poll_ms = 999;
constexpr int stop_wait_ms = 2000;
// How long a found photo may wait before it shows in the results list.
constexpr int entry_delay_ms = 100;
// Room for the status text before the "Select all" box starts.
constexpr int status_max_width = 430;
// At most this many names are listed in the message about failed files.
constexpr int listed_failures = 20;
// Room the progress bar's frame leaves around its text.
constexpr int progress_text_margin = 8;
// The larger view reads no photo beyond this size (the carver's cap is 50 MiB).
constexpr qint64 viewer_byte_limit = 64 * 1024 * 1024;

QString photo_name(int number)
{
    return QString::asprintf("IMAGE_%04d.JPG", number);
}

QString tr_main(const char *text)
{
    return QCoreApplication::translate("MainWindow", text);
}

QString photo_count_text(int count)
{
    return count == 1 ? tr_main("1 photo") : tr_main("%1 photos").arg(count);
}

// "38 MB/s", with a decimal below 10 MB/s; decimal megabytes, as drives are sold.
QString speed_text(double bytes_per_second)
{
    const double mb = bytes_per_second / 1e6;
    return tr_main("%1 MB/s").arg(QString::number(mb, 'f', mb < 10.0 ? 1 : 0));
}

QString time_left_text(qint64 seconds)
{
    // Whole minutes, rounded up: short enough to leave room for the count.
    const qint64 minutes = qMax<qint64>(1, (seconds + 59) / 60);
    if (minutes < 60)
        return tr_main("%1 min left").arg(minutes);
    return tr_main("%1 h %2 min left").arg(minutes / 60).arg(minutes % 60);
}

// The list keeps its own copy of a thumbnail at the size it draws it, in
// the screen's pixels (pixel_ratio of them to a point on a high-density
// screen, where a picture of one pixel a point would be blurred).
// Painting with bilinear filtering is several times quicker here than
// QImage::scaled's smooth path, and looks the same at this reduction.
QPixmap list_picture(const QImage &thumbnail, qreal pixel_ratio)
{
    if (thumbnail.isNull())
        return {};
    const QSize drawn = thumbnail.size()
                            .scaled(ResultsDelegate::icon_width, ResultsDelegate::icon_height, Qt::KeepAspectRatio)
                            .boundedTo(thumbnail.size());
    const QSize fitted = (QSizeF(drawn) * pixel_ratio).toSize();
    QPixmap pixmap;
    if (fitted == thumbnail.size()) {
        pixmap = QPixmap::fromImage(thumbnail);
    } else {
        QImage picture(fitted,
                       thumbnail.hasAlphaChannel() ? QImage::Format_ARGB32_Premultiplied : QImage::Format_RGB32);
        picture.fill(Qt::transparent);
        QPainter painter(&picture);
        painter.setRenderHint(QPainter::SmoothPixmapTransform);
        painter.drawImage(picture.rect(), thumbnail);
        painter.end();
        pixmap = QPixmap::fromImage(std::move(picture));
    }
    pixmap.setDevicePixelRatio(pixel_ratio);
    return pixmap;
}

// The thumbnail as the photo is meant to be seen: turned by its EXIF
// orientation, and squeezed to the one thumbnail size again.
QImage upright_thumbnail(const QImage &thumbnail, QImageIOHandler::Transformations turn)
{
    if (thumbnail.isNull() || turn == QImageIOHandler::TransformationNone)
        return thumbnail;
    return PhotoViewer::turned_upright(thumbnail, turn)
        .scaled(thumbnail.size(), Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
}

// Lines of the scrollable list on the final page, after a heading.
QString listing(const QString &heading, const QStringList &names)
{
    return names.isEmpty() ? QString() : heading + QLatin1Char('\n') + names.join(QLatin1Char('\n'));
}

// A one-line label whose text is wider than the label gets a smaller font
// until it fits: the form's sizes were made for other fonts than a Linux
// desktop's, and the texts stay as they are.
void fit_label_font(QLabel *label)
{
    if (label->wordWrap() || label->text().isEmpty() || !label->pixmap().isNull())
        return;
    QFont font = label->font();
    const int room = label->contentsRect().width() - 2 * label->margin();
    while (QFontMetrics(font).horizontalAdvance(label->text()) > room && font.pointSizeF() > 7.0)
        font.setPointSizeF(font.pointSizeF() - 0.5);
    if (font != label->font())
        label->setFont(font);
}

// Widens a push button until its text fits between its margins.
void fit_button_width(QPushButton *button)
{
    const int margins = 2 * button->style()->pixelMetric(QStyle::PM_ButtonMargin, nullptr, button);
    const int needed = button->fontMetrics().horizontalAdvance(button->text()) + margins;
    if (needed > button->width())
        button->resize(needed, button->height());
}

// The device's node and where it is mounted, for its line in the device list.
QString device_tooltip(const RemovableDevice &device)
{
    const QString mount = device.root_path.isEmpty() ? tr_main("Not mounted")
                                                     : tr_main("Mounted at %1").arg(device.root_path);
    return device.raw_path + QLatin1Char('\n') + mount;
}

} // namespace

MainWindow::MainWindow(QWidget *parent, DeviceSource source, const RawAccess &access)
    : QMainWindow(parent)
    , ui(new Ui::MainWindow)
    , device_source(std::move(source))
    , raw_access(access)
{
    ui->setupUi(this);
    fs_indexer.set_volume_opener(access.volume_opener());

    // The results are drawn by a delegate from what each item holds: no
    // widget per photo.
    results_delegate = new ResultsDelegate(ui->listWidget_2);
    ui->listWidget_2->setItemDelegate(results_delegate);
    ui->listWidget_2->setUniformItemSizes(true);
    entry_timer.setSingleShot(true);
    entry_timer.setInterval(entry_delay_ms);
    connect(&entry_timer, &QTimer::timeout, this, &MainWindow::add_pending_entries);

    connect(&device_timer, &QTimer::timeout, this, &MainWindow::on_device_changed);
    connect(this, &MainWindow::deviceChange, this, &MainWindow::on_device_changed);
    connect(this, &MainWindow::deviceSelected, this, &MainWindow::on_work_start);
    connect(&fs_indexer, &FsIndexer::indexing_started, this, &MainWindow::on_fs_indexer_start);
    connect(&fs_indexer, &FsIndexer::indexing_done, this, &MainWindow::on_fs_indexer_done);
    connect(&fs_indexer, &FsIndexer::processedItem, this, &MainWindow::on_fs_indexer_processed);
    connect(&fs_indexer, &FsIndexer::scanning_started, this, &MainWindow::on_scanning_start);
    connect(&fs_indexer, &FsIndexer::scanning_stopped, this, &MainWindow::on_scanning_stop);
    connect(&fs_indexer, &FsIndexer::scanning_progress, this, &MainWindow::on_scanning_progress);
    connect(&fs_indexer, &FsIndexer::scanning_done, this, &MainWindow::on_scanning_done);
    connect(&fs_indexer, &FsIndexer::scanning_found, this, &MainWindow::on_scanning_found);
    connect(&fs_indexer, &FsIndexer::scanning_found_facts, this, &MainWindow::on_scanning_found_facts);
    connect(ui->listWidget_2, &QListWidget::doubleClicked, this,
            [this](const QModelIndex &index) { open_viewer(index.row()); });
    // The results select as a file manager's icons do; Space ticks, Enter opens.
    ui->listWidget_2->setSelectionMode(QAbstractItemView::ExtendedSelection);
    ui->listWidget_2->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(ui->listWidget_2, &QWidget::customContextMenuRequested, this, &MainWindow::show_results_menu);
    ui->listWidget_2->installEventFilter(this);
    connect(&fs_indexer, &FsIndexer::indexing_stopped, this, &MainWindow::on_fs_indexer_stop);
    connect(&fs_indexer, &FsIndexer::scanning_error, this, &MainWindow::on_scanning_error);
    connect(&fs_indexer, &FsIndexer::scanning_unreadable, this, &MainWindow::on_scanning_unreadable);
    connect(&fs_indexer, &FsIndexer::file_system_unreadable, this, &MainWindow::on_file_system_unreadable);

    // Passing through page 0 makes the return to page 1 emit currentChanged,
    // which starts the device poll.
    ui->stackedWidget->setCurrentIndex(0);
    ui->progressBar->hide();
    ui->checkBox->hide();
    ui->pushButton_8->hide();
    ui->mountNote->hide();
    ui->countLabel->hide();
    ui->restoredNames->hide();
    ui->summaryLabel->setTextFormat(Qt::PlainText);
    empty_hint = new QLabel(tr("Insert a memory card or attach a camera"), ui->deviceList);
    empty_hint->setObjectName(QStringLiteral("emptyHint"));
    empty_hint->setAlignment(Qt::AlignCenter);
    empty_hint->setEnabled(false); // drawn in the palette's disabled, greyed text
    empty_hint->setAttribute(Qt::WA_TransparentForMouseEvents);
    empty_hint->setGeometry(ui->deviceList->rect());
    show_empty_hint();
    for (QLabel *label : findChildren<QLabel *>())
        fit_label_font(label);
    ui->stackedWidget->setCurrentIndex(device_page);
    ui->pushButton_5->hide();

    setFixedSize(742, 514);
}

MainWindow::~MainWindow()
{
    // A worker that outlived the bounded waits of going back or closing
    // must end before it is destroyed with the window. One stuck in a read
    // of a failing card may take minutes more: the device is only ever read
    // and the photos written are closed, so the process ends instead.
    fs_indexer.stop();
    if (!fs_indexer.wait(worker_stuck ? 0 : stop_wait_ms))
        volume_platform::end_process_now(0);
    qDeleteAll(pending_entries);
    delete ui;
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    const int page = ui->stackedWidget->currentIndex();
    if (page == 0 || page == final_page) {
        event->accept();
        return;
    }
    event->ignore();
    if (closing || !ask(QString(), tr("Are you sure want to exit?")))
        return;
    if (fs_indexer.isRunning()) {
        closing = true;
        fs_indexer.stop();
        show_stopping();
        worker_stuck = !wait_for_worker(stop_wait_ms);
    }
    event->accept();
}

// Every question's Yes gives something up (a scan, its results, the
// window): No is the default, so Enter gives up nothing.
bool MainWindow::ask(const QString &title, const QString &text)
{
    return QMessageBox::information(this, title, text, QMessageBox::Yes | QMessageBox::No, QMessageBox::No)
        == QMessageBox::Yes;
}

bool MainWindow::wait_for_worker(int ms)
{
    QEventLoop loop;
    connect(&fs_indexer, &QThread::finished, &loop, &QEventLoop::quit);
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    // connected first, so an end that comes meanwhile still quits the loop
    if (fs_indexer.isRunning())
        loop.exec(QEventLoop::ExcludeUserInputEvents);
    return fs_indexer.isFinished() || !fs_indexer.isRunning();
}

void MainWindow::show_stopping()
{
    stopping = true;
    show_status(tr("Stopping the scan..."));
}

bool MainWindow::eventFilter(QObject *watched, QEvent *event)
{
    if (watched != ui->listWidget_2 || event->type() != QEvent::KeyPress)
        return QMainWindow::eventFilter(watched, event);
    const auto *key = static_cast<QKeyEvent *>(event);
    const QListWidgetItem *current = ui->listWidget_2->currentItem();
    switch (key->key()) {
    case Qt::Key_Space:
    case Qt::Key_Select:
        if (current)
            tick_selected(current->checkState() == Qt::Checked ? Qt::Unchecked : Qt::Checked);
        return true;
    case Qt::Key_Return:
    case Qt::Key_Enter:
        if (current)
            open_viewer(ui->listWidget_2->row(current));
        return true;
    default:
        return QMainWindow::eventFilter(watched, event);
    }
}

void MainWindow::inform(const QString &text)
{
    QMessageBox::information(this, QString(), text);
}

// Device page

void MainWindow::on_stackedWidget_currentChanged(int index)
{
    if (index == device_page)
        device_timer.start(device_poll_ms);
    else if (device_timer.isActive())
        device_timer.stop();
}

void MainWindow::on_device_changed()
{
    if (ui->stackedWidget->currentIndex() != device_page)
        return;
    devices = device_source ? device_source() : QMap<QString, RemovableDevice>();

    // Items that stay keep their place, selection and current mark.
    QSet<QString> shown;
    QList<QListWidgetItem *> gone;
    for (int row = 0; row < ui->deviceList->count(); ++row) {
        QListWidgetItem *item = ui->deviceList->item(row);
        const QString key = item->data(Qt::UserRole).toString();
        const auto device = devices.constFind(key);
        if (device == devices.constEnd()) {
            gone.append(item);
            continue;
        }
        const QString text = device->display_text();
        if (item->text() != text)
            item->setText(text);
        item->setToolTip(device_tooltip(*device));
        shown.insert(key);
    }
    qDeleteAll(gone);

    const QIcon volume_icon(QStringLiteral(":/icons/volume"));
    for (auto device = devices.constBegin(); device != devices.constEnd(); ++device) {
        if (shown.contains(device.key()))
            continue;
        auto *item = new QListWidgetItem(volume_icon, device->display_text());
        item->setData(Qt::UserRole, device->raw_path);
        item->setToolTip(device_tooltip(*device));
        ui->deviceList->addItem(item);
    }
    show_empty_hint();
}

void MainWindow::show_empty_hint()
{
    empty_hint->setVisible(ui->deviceList->count() == 0);
}

void MainWindow::on_pushButton_2_clicked()
{
    ui->stackedWidget->setCurrentIndex(device_page);
    emit deviceChange();
}

void MainWindow::on_pushButton_5_clicked()
{
    ui->stackedWidget->setCurrentIndex(0);
}

void MainWindow::on_pushButton_4_clicked()
{
    const QListWidgetItem *item = ui->deviceList->currentItem();
    if (!item) {
        if (devices.isEmpty())
            inform(tr("No devices found.\nPlease connect your removable device to computer."));
        else
            inform(tr("Please choose device."));
        return;
    }
    if (fs_indexer.isRunning()) {
        inform(tr("The previous scan is still ending. Please wait a moment and press Next again."));
        return;
    }
    RemovableDevice device = devices.value(item->data(Qt::UserRole).toString());
    scan_if_readable(device);
}

void MainWindow::scan_if_readable(RemovableDevice &device)
{
    volume_platform::Failure failure = volume_platform::Failure::None;
    if (device.is_available(raw_access, &failure)) {
        emit deviceSelected(device);
        return;
    }
    // A device that is there but may not be read is not "gone": say why.
    if (failure == volume_platform::Failure::PermissionDenied
        || failure == volume_platform::Failure::AuthorizationRefused)
        inform(tr("The device could not be read.\n%1").arg(volume_platform::failure_text(failure)));
    else
        inform(tr("Selected device no longer available. Please select again."));
}

void MainWindow::on_deviceList_itemActivated(QListWidgetItem *)
{
    on_pushButton_4_clicked();
}

// An image of a card is scanned as the card would be: read only, never
// mounted, so every photo in it is listed.
void MainWindow::on_openImageButton_clicked()
{
    const QString path = QFileDialog::getOpenFileName(this, tr("Open image file"), QDir::homePath(),
                                                      tr("Card images (*.img *.dd *.raw *.bin *.dmg *.iso);;"
                                                         "All files (*)"));
    activateWindow();
    if (path.isEmpty())
        return;
    if (fs_indexer.isRunning()) {
        inform(tr("The previous scan is still ending. Please wait a moment and press Next again."));
        return;
    }
    RemovableDevice device;
    volume_platform::Failure failure = volume_platform::Failure::None;
    if (!RemovableDevice::describe(QFileInfo(path).absoluteFilePath(), raw_access, &device, &failure)) {
        const QString why = failure == volume_platform::Failure::Other
            ? tr("Its size could not be read.")
            : volume_platform::failure_text(failure);
        inform(tr("The image file could not be read.\n%1").arg(why));
        return;
    }
    device.label = QFileInfo(path).fileName();
    scan_if_readable(device);
}

void MainWindow::on_work_start(RemovableDevice &device)
{
    // A run that outlasted the bounded wait of going back must end before
    // its members are rewritten: the user is told rather than the window
    // waiting on a failing card. What it still had queued for this window
    // belongs to the old scan.
    if (fs_indexer.isRunning()) {
        inform(tr("The previous scan is still ending. Please wait a moment and press Next again."));
        return;
    }
    QCoreApplication::removePostedEvents(this, QEvent::MetaCall);

    ui->stackedWidget->setCurrentIndex(scanning_page);
    // The larger view belongs to the list about to be emptied.
    if (viewer)
        viewer->close();
    entry_timer.stop();
    qDeleteAll(pending_entries);
    pending_entries.clear();
    ui->listWidget_2->clear();
    ui->checkBox->hide();
    ui->label_3->setToolTip(QString());
    ui->progressBar->setToolTip(QString());
    unreadable_bytes = 0;
    arriving_facts.clear();
    stopping = false;
    last_percent = 0.0f;
    partial_entries = 0;
    show_photo_count();
    ui->mountNote->hide();
    unnamed_photos = 0;
    photos_restored = false;
    last_restore = RestoreCounts();

    fs_indexer.known_crcs.clear();
    fs_indexer.found_images.clear();
    fs_indexer.device = device;
    // Without a mount the live files come from the card's file system.
    fs_indexer.set_root_path(device.has_file_system() ? device.root_path : QString());
    fs_indexer.set_index_existing(true);
    fs_indexer.set_thumbnail_pixel_ratio(ui->listWidget_2->devicePixelRatioF());
    fs_indexer.start(QThread::InheritPriority);
}

// Scanning page

void MainWindow::show_status(const QString &text)
{
    ui->pushButton_7->hide();
    ui->progressBar->hide();
    ui->label_3->show();
    ui->label_3->setText(text);
    fit_status_label();
}

void MainWindow::fit_status_label()
{
    QLabel *label = ui->label_3;
    const int needed = label->fontMetrics().horizontalAdvance(label->text()) + 2 * label->margin()
                       + 2 * label->frameWidth();
    if (needed > label->width())
        label->resize(qMin(needed, status_max_width), label->height());
}

void MainWindow::show_final_status(const QString &text)
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

void MainWindow::on_fs_indexer_start()
{
    show_status(tr("Scanning existing files"));
}

void MainWindow::on_fs_indexer_processed(int i)
{
    show_status(tr("Please wait. Scanning exiting files (%1).").arg(i));
    ui->label_3->adjustSize();
    ui->label_3->resize(ui->label_3->width(), ui->pushButton_8->height());
    ui->pushButton_8->show();
    fit_button_width(ui->pushButton_8);
    ui->pushButton_8->move(ui->label_3->x() + ui->label_3->width() + 5, ui->label_3->y());
}

void MainWindow::on_fs_indexer_done()
{
    show_status(tr("Scanning existing files completed"));
    ui->label_3->resize(280, 21);
    ui->pushButton_8->hide();
}

void MainWindow::on_fs_indexer_stop()
{
    // Skipping makes no sense once the phase has ended.
    ui->pushButton_8->hide();
}

void MainWindow::on_scanning_start()
{
    show_status(tr("Scanning sectors"));
    scan_clock.start();
    scan_rate.start(fs_indexer.device.sector_count * qMax<quint32>(fs_indexer.device.bytes_per_sector, 1), 0);
}

// "Scanning 45.67% - 312 photos, 38 MB/s, 12 min left", shortened until it
// fits width: first the word "Scanning", then the speed, then the count.
QString MainWindow::progress_text(float percent, int width) const
{
    // asprintf formats in the C locale: always a point, whatever the user's locale.
    const QString share = QString::asprintf("%.02f", double(percent)) + QLatin1Char('%');
    const QString scanning = tr("Scanning %1%").arg(QString::asprintf("%.02f", double(percent)));
    // The count is what the list shows: photos waiting to enter it are not counted yet.
    const int photos = ui->listWidget_2->count();
    const std::optional<double> speed = scan_rate.bytes_per_second();
    const std::optional<qint64> left = scan_rate.seconds_left();

    QStringList candidates;
    if (speed && left) {
        const QString count = photo_count_text(photos);
        const QString rate = speed_text(*speed);
        const QString time = time_left_text(*left);
        candidates << tr("%1 - %2, %3, %4").arg(scanning, count, rate, time)
                   << tr("%1 - %2, %3, %4").arg(share, count, rate, time)
                   << tr("%1 - %2, %3").arg(share, count, time) << tr("%1 - %2").arg(share, time);
    } else if (photos > 0) {
        candidates << tr("%1 - %2").arg(scanning, photo_count_text(photos))
                   << tr("%1 - %2").arg(share, photo_count_text(photos));
    }
    candidates << scanning;
    const QFontMetrics metrics = ui->progressBar->fontMetrics();
    for (const QString &text : std::as_const(candidates)) {
        if (metrics.horizontalAdvance(text) <= width)
            return text;
    }
    return share;
}

void MainWindow::on_scanning_progress(qint64 i, qint64 j)
{
    // What is read after a stop was asked for is the worker finishing its block.
    if (stopping)
        return;
    ui->pushButton_7->show();
    ui->progressBar->show();
    ui->label_3->hide();

    last_percent = j > 0 ? float(double(i) * 100.0 / double(j)) : 0.0f;
    ui->progressBar->setValue(qBound(0, int(last_percent), 100));
    if (scan_clock.isValid())
        scan_rate.update(i * qMax<quint32>(fs_indexer.device.bytes_per_sector, 1), scan_clock.elapsed());
    refresh_progress_text();
}

void MainWindow::refresh_progress_text()
{
    const QString text = progress_text(last_percent, ui->progressBar->width() - progress_text_margin);
    ui->progressBar->setFormat(text);
    // The whole line stays at hand when the bar is too narrow for it.
    const QString whole = progress_text(last_percent, INT_MAX);
    ui->progressBar->setToolTip(whole == text ? QString() : whole);
}

void MainWindow::show_photo_count()
{
    const int photos = ui->listWidget_2->count();
    ui->countLabel->setVisible(photos > 0);
    QString text = photo_count_text(photos);
    if (partial_entries > 0)
        text = tr("%1, %2 only in part").arg(text).arg(partial_entries);
    ui->countLabel->setText(text);
}

// The run ends right after its last signal: wait the moment it takes, so that
// the results page never shows a finished scan while the worker still runs
// ("Restore..." would refuse) and found_images is read only once it is still.
void MainWindow::end_of_run()
{
    stopping = false;
    fs_indexer.wait();
    add_pending_entries();
    scan_clock.invalidate();
    // The card may be read now: the larger view can show the whole photo.
    if (viewer)
        viewer->reload();
}

void MainWindow::on_scanning_stop()
{
    end_of_run();
    show_final_status(tr("Select files and press the restore button"));
}

void MainWindow::on_scanning_done()
{
    end_of_run();
    if (fs_indexer.found_images.isEmpty())
        show_final_status(tr("No files found"));
    else
        show_final_status(tr("Scanning finished"));
    ui->progressBar->hide();
    ui->pushButton_7->hide();
}

void MainWindow::on_scanning_error()
{
    end_of_run();
    show_final_status(tr("The device could not be read."));
    const QString reason = fs_indexer.error_text();
    if (!reason.isEmpty())
        ui->label_3->setToolTip(reason);
    if (ui->stackedWidget->currentIndex() != scanning_page || closing)
        return;
    if (reason.isEmpty())
        inform(tr("The device could not be read."));
    else
        inform(tr("The device could not be read.\n%1").arg(reason));
}

void MainWindow::on_scanning_unreadable(qint64 bytes)
{
    unreadable_bytes = bytes;
}

void MainWindow::on_pushButton_7_clicked()
{
    if (!ask(tr("Program"), tr("Are you sure you want to stop scanning?")) || !fs_indexer.isRunning())
        return;
    fs_indexer.set_running(false);
    show_stopping();
}

void MainWindow::on_pushButton_8_clicked()
{
    if (ask(QString(), tr("Are you sure want to skip scanning existing files?")))
        fs_indexer.set_index_existing(false);
}

void MainWindow::on_pushButton_6_clicked()
{
    if (fs_indexer.isRunning()) {
        QMessageBox box(this);
        box.setText(QStringLiteral("Are you sure to stop scanning and select another one device?"));
        QPushButton *yes = box.addButton(tr("Yes"), QMessageBox::ActionRole);
        box.setDefaultButton(box.addButton(tr("No"), QMessageBox::ActionRole));
        box.exec();
        if (box.clickedButton() != yes)
            return;
    } else if (!keep_unrestored_photos()) {
        return;
    }
    fs_indexer.stop();
    if (fs_indexer.isRunning()) {
        show_stopping();
        wait_for_worker(stop_wait_ms);
    }
    ui->stackedWidget->setCurrentIndex(device_page);
}

bool MainWindow::keep_unrestored_photos()
{
    if (photos_restored || fs_indexer.found_images.isEmpty())
        return true;
    return ask(QString(), tr("The photos found have not been restored. Go back and discard them?"));
}

// Results page

void MainWindow::on_scanning_found(qint64 i, QImage image)
{
    auto *item = new QListWidgetItem;
    item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsUserCheckable | Qt::ItemIsSelectable);
    PhotoFacts facts = arriving_facts.take(i);
    facts.offset = i;
    // The name its deleted entry still gives, else the next number.
    item->setData(Qt::DisplayRole, facts.origin.is_known() ? facts.origin.name : photo_name(++unnamed_photos));
    item->setData(Qt::DecorationRole,
                  list_picture(upright_thumbnail(image, facts.turn), ui->listWidget_2->devicePixelRatioF()));
    item->setData(Qt::CheckStateRole, ui->checkBox->isChecked() ? Qt::Checked : Qt::Unchecked);
    item->setData(Qt::UserRole, i);
    item->setData(ResultsDelegate::partial_role, facts.partial);
    item->setData(ResultsDelegate::damaged_role, facts.damaged);
    item->setData(PhotoViewer::facts_role, QVariant::fromValue(facts));
    // The name comes first: the tooltip is then never taken for rich text.
    item->setToolTip(photo_tooltip(item->text(), facts));
    pending_entries.append(item);
    if (!entry_timer.isActive())
        entry_timer.start();
    ui->checkBox->show();
}

// Said once a scan. Unmounted, the live photos could not be told apart.
void MainWindow::on_file_system_unreadable(const QString &why)
{
    ui->mountNote->setText(fs_indexer.device.has_file_system()
                               ? tr("The card's file system could not be read: photos come back without their names.")
                               : tr("The card's file system could not be read, so photos still on it as files are "
                                    "listed too."));
    ui->mountNote->setToolTip(why);
    fit_label_font(ui->mountNote);
    ui->mountNote->show();
}

void MainWindow::on_scanning_found_facts(PhotoFacts facts)
{
    arriving_facts.insert(facts.offset, facts);
}

void MainWindow::open_viewer(int row)
{
    add_pending_entries();
    if (row < 0 || row >= ui->listWidget_2->count())
        return;
    // Not modal: the scan goes on and the list stays usable beside it.
    if (!viewer) {
        const auto bytes = [this](const PhotoFacts &facts, QString *note) { return photo_bytes(facts, note); };
        viewer = new PhotoViewer(ui->listWidget_2, bytes, this);
        viewer->setAttribute(Qt::WA_DeleteOnClose);
    }
    viewer->show_row(row);
    viewer->show();
    viewer->raise();
    viewer->activateWindow();
}

QByteArray MainWindow::photo_bytes(const PhotoFacts &facts, QString *note) const
{
    // The scan reads the card from start to end; reading elsewhere meanwhile
    // would slow it down, and the worker keeps no photo's bytes.
    if (fs_indexer.isRunning()) {
        *note = tr("This is the photo's thumbnail: the whole photo can be shown when the scan has ended.");
        return {};
    }
    *note = tr("The card could not be read where this photo lies; this is its thumbnail.");
    if (facts.length <= 0 || facts.length > viewer_byte_limit)
        return {};
    const std::unique_ptr<RawVolume> volume = raw_access.open_volume(fs_indexer.device.raw_path);
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

void MainWindow::add_pending_entries()
{
    entry_timer.stop();
    if (pending_entries.isEmpty())
        return;
    for (QListWidgetItem *item : std::as_const(pending_entries)) {
        ui->listWidget_2->addItem(item);
        partial_entries += item->data(ResultsDelegate::partial_role).toBool() ? 1 : 0;
    }
    pending_entries.clear();
    show_photo_count();
    // The bar's count follows the list, also after the last block was read.
    if (ui->progressBar->isVisible() && !stopping)
        refresh_progress_text();
}

void MainWindow::tick_selected(Qt::CheckState state)
{
    QList<QListWidgetItem *> items = ui->listWidget_2->selectedItems();
    if (items.isEmpty() && ui->listWidget_2->currentItem())
        items.append(ui->listWidget_2->currentItem());
    for (QListWidgetItem *item : std::as_const(items))
        item->setCheckState(state);
}

void MainWindow::show_results_menu(const QPoint &at)
{
    QListWidgetItem *under = ui->listWidget_2->itemAt(at);
    if (!under)
        return;
    // As in a file manager: the menu acts on the selection the pointer is in,
    // or on the entry under it alone.
    if (!under->isSelected())
        ui->listWidget_2->setCurrentItem(under, QItemSelectionModel::ClearAndSelect);
    QMenu menu(this);
    const QAction *tick = menu.addAction(tr("Tick"));
    const QAction *untick = menu.addAction(tr("Untick"));
    menu.addSeparator();
    const QAction *open = menu.addAction(tr("Open larger view"));
    const QAction *chosen = menu.exec(ui->listWidget_2->viewport()->mapToGlobal(at));
    if (chosen == tick)
        tick_selected(Qt::Checked);
    else if (chosen == untick)
        tick_selected(Qt::Unchecked);
    else if (chosen == open)
        open_viewer(ui->listWidget_2->row(under));
}

void MainWindow::on_checkBox_stateChanged(int state)
{
    add_pending_entries();
    const Qt::CheckState target = state == Qt::Checked ? Qt::Checked : Qt::Unchecked;
    for (int row = 0; row < ui->listWidget_2->count(); ++row)
        ui->listWidget_2->item(row)->setCheckState(target);
}

// Recovery

void MainWindow::collect_checked_files()
{
    add_pending_entries();
    recover_files.clear();
    for (int row = 0; row < ui->listWidget_2->count(); ++row) {
        const QListWidgetItem *item = ui->listWidget_2->item(row);
        if (item->checkState() == Qt::Checked)
            recover_files.insert(item->text(), item->data(Qt::UserRole).toLongLong());
    }
}

void MainWindow::on_pushButton_clicked()
{
    if (fs_indexer.isRunning()) {
        inform(tr("Scanning still in progress. Please wait or stop scanning."));
        return;
    }
    collect_checked_files();
    if (recover_files.isEmpty()) {
        inform(tr("Please select files to recover"));
        return;
    }

    const QString directory = QFileDialog::getExistingDirectory(this, tr("Recover photos to directory"),
                                                                QDir::homePath(), QFileDialog::ShowDirsOnly);
    activateWindow();
    if (directory.isEmpty())
        return;

    if (volume_platform::shares_storage(directory, fs_indexer.device.raw_path)) {
        inform(tr("This folder is on the device the photos are recovered from. Writing there can overwrite "
                  "the deleted photos before they are recovered.\nPlease choose a folder on another drive."));
        return;
    }
    volume_platform::Failure failure = volume_platform::Failure::None;
    if (!fs_indexer.device.open(raw_access, &failure)) {
        inform(tr("The device could not be opened to recover the photos.\n%1")
                   .arg(volume_platform::failure_text(failure)));
        return;
    }

    int tried = 0;
    const QString message = recover_checked_files(directory, tried);
    fs_indexer.device.close();
    recover_progress->hide();
    recover_progress->deleteLater();
    recover_progress = nullptr;
    photos_restored = last_restore.written + last_restore.present > 0;
    if (!message.isEmpty())
        inform(message);

    show_recovery_summary(last_restore, int(recover_files.size()) - tried, directory);
    ui->stackedWidget->setCurrentIndex(final_page);
    activateWindow();
    QDesktopServices::openUrl(QUrl::fromLocalFile(directory));
}

void MainWindow::show_recovery_summary(const RestoreCounts &counts, int cancelled, const QString &folder)
{
    const int written = counts.written, failed = counts.failed, renamed = counts.renamed, present = counts.present;
    recovered_folder = folder;
    QStringList lines;
    if (written == 0 && failed == 0 && present == 0 && cancelled > 0)
        lines << tr("No photo was written: the recovery was cancelled.");
    else if (written == 0)
        lines << tr("No new photo was written into this folder:");
    else if (written == 1)
        lines << tr("1 photo was written into this folder:");
    else
        lines << tr("%1 photos were written into this folder:").arg(written);
    // A path has no spaces to wrap at: shorten it in the middle instead.
    const QString path = QDir::toNativeSeparators(folder);
    lines << ui->summaryLabel->fontMetrics().elidedText(path, Qt::ElideMiddle, ui->summaryLabel->width() - 4);
    ui->summaryLabel->setToolTip(path);
    if (renamed == 1)
        lines << tr("1 of them was saved under another name, because a different file had its name.");
    else if (renamed > 1)
        lines << tr("%1 of them were saved under other names, because different files had their names.")
                     .arg(renamed);
    if (present == 1)
        lines << tr("1 photo was in this folder already, byte for byte, and was not written again.");
    else if (present > 1)
        lines << tr("%1 photos were in this folder already, byte for byte, and were not written again.").arg(present);
    if (failed == 1)
        lines << tr("1 photo could not be written.");
    else if (failed > 1)
        lines << tr("%1 photos could not be written.").arg(failed);
    if (cancelled == 1)
        lines << tr("1 photo was not written, because the recovery was cancelled.");
    else if (cancelled > 1)
        lines << tr("%1 photos were not written, because the recovery was cancelled.").arg(cancelled);
    if (written > 0)
        lines << QString() << tr("Each photo's file date is the date it was taken, where the photo records one.");
    ui->summaryLabel->setText(lines.join(QLatin1Char('\n')));
    ui->openFolderButton->setEnabled(!folder.isEmpty());
}

void MainWindow::on_openFolderButton_clicked()
{
    if (!QDesktopServices::openUrl(QUrl::fromLocalFile(recovered_folder)))
        inform(tr("No file manager could be started to open the folder:\n%1")
                   .arg(QDir::toNativeSeparators(recovered_folder)));
}

// Writes the files of recover_files in name order with the progress dialog
// showing, each checked against what the scan found; returns what the user
// must be told about the failed and renamed ones. tried counts the photos
// attempted before a cancel.
QString MainWindow::recover_checked_files(const QString &directory, int &tried)
{
    recover_progress = new QProgressDialog(tr("Recovering photos"), QStringLiteral("Cancel"), 0,
                                           int(recover_files.size()));
    recover_progress->setWindowTitle(QStringLiteral("DodurEdivezav"));
    recover_progress->setFixedWidth(300);
    recover_progress->setModal(true);
    recover_progress->show();

    PhotoWriter writer(directory);
    QStringList failed;
    QStringList reasons;
    QStringList renamed;
    QStringList present;
    const auto note = [&](const PhotoWriter::Result &result) {
        if (result.outcome == PhotoWriter::Outcome::Failed) {
            failed.append(result.asked);
            const QString why = result.failure == PhotoWriter::Failure::TargetUnwritable
                    && !QFileInfo(directory).isWritable()
                ? tr("You have no permission to write in this folder.")
                : PhotoWriter::failure_text(result.failure);
            if (!reasons.contains(why))
                reasons.append(why);
        } else if (result.outcome == PhotoWriter::Outcome::Renamed) {
            renamed.append(tr("%1 as %2").arg(result.asked, result.name));
        } else if (result.outcome == PhotoWriter::Outcome::Present) {
            present.append(result.name == result.asked ? result.asked : tr("%1 as %2").arg(result.asked, result.name));
        }
    };
    int counter = 0;
    for (auto file = recover_files.constBegin(); file != recover_files.constEnd(); ++file) {
        const FoundImage image = fs_indexer.found_images.value(file.value());
        const PhotoWriter::Result result = writer.copy(file.key(), image, fs_indexer.device.handle);
        if (result.outcome == PhotoWriter::Outcome::Failed || result.outcome == PhotoWriter::Outcome::Present)
            note(result); // the others are told once they are on the disk
        recover_progress->setValue(counter++);
        tried = counter;
        if (recover_progress->wasCanceled())
            break;
        QCoreApplication::processEvents();
    }
    // Once for all the photos: a slow stick is not made to wait on each file.
    for (const PhotoWriter::Result &result : writer.sync())
        note(result);
    last_restore = {writer.written(), writer.renamed(), writer.present(), writer.failed()};

    // Every name goes on the final page's list; the message names the first.
    const QStringList lists{listing(tr("Saved under other names:"), renamed),
                            listing(tr("Already in the folder:"), present),
                            listing(tr("Not written:"), failed)};
    ui->restoredNames->setPlainText(lists.filter(QRegularExpression(QStringLiteral("."))).join(QStringLiteral("\n\n")));
    ui->restoredNames->setVisible(!ui->restoredNames->toPlainText().isEmpty());
    const auto first_names = [](QStringList names) {
        if (names.size() > listed_failures) {
            const int more = int(names.size()) - listed_failures;
            names = names.mid(0, listed_failures);
            names.append(tr("and %n more, all listed on the last page", nullptr, more));
        }
        return names.join(QLatin1Char('\n'));
    };
    QStringList parts;
    if (!failed.isEmpty())
        parts.append(tr("%n photo(s) could not be recovered into %1:", nullptr, int(failed.size()))
                         .arg(QDir::toNativeSeparators(directory))
                     + QLatin1Char('\n') + first_names(failed) + QStringLiteral("\n\n") + reasons.join(QLatin1Char('\n')));
    if (!renamed.isEmpty())
        parts.append(tr("%n photo(s) were saved under other names, because files of their names with other "
                        "contents were already in the folder:",
                        nullptr, int(renamed.size()))
                     + QLatin1Char('\n') + first_names(renamed));
    return parts.join(QStringLiteral("\n\n"));
}

void MainWindow::on_pushButton_9_clicked()
{
    ui->stackedWidget->setCurrentIndex(scanning_page);
}

void MainWindow::on_pushButton_3_clicked()
{
    close();
}
