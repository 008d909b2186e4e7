#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "resultsdelegate.h"
#include "volumeplatform.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QDesktopServices>
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
#include <QPushButton>
#include <QSet>
#include <QStorageInfo>
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

QString photo_name(int number)
{
    return QString::asprintf("IMAGE_%04d.JPG", number);
}

// The list keeps its own copy of a thumbnail at the size it draws it.
// Painting with bilinear filtering is several times quicker here than
// QImage::scaled's smooth path, and looks the same at this reduction.
QPixmap list_picture(const QImage &thumbnail)
{
    if (thumbnail.isNull())
        return {};
    const QSize size = thumbnail.size().boundedTo(QSize(ResultsDelegate::icon_width, ResultsDelegate::icon_height));
    const QSize fitted = thumbnail.size().scaled(size, Qt::KeepAspectRatio);
    if (fitted == thumbnail.size())
        return QPixmap::fromImage(thumbnail);
    QImage picture(fitted, thumbnail.hasAlphaChannel() ? QImage::Format_ARGB32_Premultiplied : QImage::Format_RGB32);
    picture.fill(Qt::transparent);
    QPainter painter(&picture);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.drawImage(picture.rect(), thumbnail);
    painter.end();
    return QPixmap::fromImage(std::move(picture));
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
    connect(&fs_indexer, &FsIndexer::scanning_found_partial, this, [this](qint64 i) { partial_photos.insert(i); });
    connect(&fs_indexer, &FsIndexer::indexing_stopped, this, &MainWindow::on_fs_indexer_stop);
    connect(&fs_indexer, &FsIndexer::scanning_error, this, &MainWindow::on_scanning_error);
    connect(&fs_indexer, &FsIndexer::scanning_unreadable, this, &MainWindow::on_scanning_unreadable);

    // Passing through page 0 makes the return to page 1 emit currentChanged,
    // which starts the device poll.
    ui->stackedWidget->setCurrentIndex(0);
    ui->progressBar->hide();
    ui->checkBox->hide();
    ui->pushButton_8->hide();
    ui->stackedWidget->setCurrentIndex(device_page);
    ui->pushButton_5->hide();

    setFixedSize(742, 514);
}

MainWindow::~MainWindow()
{
    // A worker that outlived the bounded waits of going back or closing
    // must end before it is destroyed with the window.
    fs_indexer.stop();
    fs_indexer.wait();
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
    if (QMessageBox::information(this, QString(), tr("Are you sure want to exit?"),
                                 QMessageBox::Yes | QMessageBox::No)
        != QMessageBox::Yes)
        return;
    if (fs_indexer.isRunning()) {
        fs_indexer.stop();
        fs_indexer.wait(stop_wait_ms);
    }
    event->accept();
}

bool MainWindow::ask(const QString &title, const QString &text)
{
    return QMessageBox::information(this, title, text, QMessageBox::Yes | QMessageBox::No) == QMessageBox::Yes;
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
        shown.insert(key);
    }
    qDeleteAll(gone);

    const QIcon volume_icon(QStringLiteral(":/icons/volume"));
    for (auto device = devices.constBegin(); device != devices.constEnd(); ++device) {
        if (shown.contains(device.key()))
            continue;
        auto *item = new QListWidgetItem(volume_icon, device->display_text());
        item->setData(Qt::UserRole, device->raw_path);
        ui->deviceList->addItem(item);
    }
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
    RemovableDevice device = devices.value(item->data(Qt::UserRole).toString());
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

void MainWindow::on_work_start(RemovableDevice &device)
{
    // A run that outlasted the bounded wait of going back must end before
    // its members are rewritten; what it still had queued for this window
    // belongs to the old scan.
    if (fs_indexer.isRunning()) {
        fs_indexer.stop();
        fs_indexer.wait();
    }
    QCoreApplication::removePostedEvents(this, QEvent::MetaCall);

    ui->stackedWidget->setCurrentIndex(scanning_page);
    entry_timer.stop();
    qDeleteAll(pending_entries);
    pending_entries.clear();
    ui->listWidget_2->clear();
    partial_photos.clear();
    ui->checkBox->hide();
    ui->label_3->setToolTip(QString());
    unreadable_bytes = 0;

    fs_indexer.known_crcs.clear();
    fs_indexer.found_images.clear();
    fs_indexer.device = device;
    if (device.has_file_system()) {
        fs_indexer.set_root_path(device.root_path);
        fs_indexer.set_index_existing(true);
    } else {
        fs_indexer.set_index_existing(false);
    }
    fs_indexer.start(QThread::InheritPriority);
}

// Scanning page

void MainWindow::show_status(const QString &text)
{
    ui->pushButton_7->hide();
    ui->progressBar->hide();
    ui->label_3->show();
    ui->label_3->setText(text);
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
}

void MainWindow::on_scanning_progress(qint64 i, qint64 j)
{
    ui->pushButton_7->show();
    ui->progressBar->show();
    ui->label_3->hide();

    const float percent = j > 0 ? float(double(i) * 100.0 / double(j)) : 0.0f;
    ui->progressBar->setValue(qBound(0, int(percent), 100));
    // asprintf formats in the C locale: always a point, whatever the user's locale.
    ui->progressBar->setFormat(tr("Scanning %1%").arg(QString::asprintf("%.02f", double(percent))));
}

// The run ends right after its last signal: wait the moment it takes, so that
// the results page never shows a finished scan while the worker still runs
// ("Restore..." would refuse) and found_images is read only once it is still.
void MainWindow::end_of_run()
{
    fs_indexer.wait();
    add_pending_entries();
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
    if (ui->stackedWidget->currentIndex() != scanning_page)
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
    if (ask(tr("Program"), tr("Are you sure you want to stop scanning?")))
        fs_indexer.set_running(false);
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
        box.addButton(tr("No"), QMessageBox::ActionRole);
        box.exec();
        if (box.clickedButton() != yes)
            return;
    }
    fs_indexer.stop();
    fs_indexer.wait(stop_wait_ms);
    ui->stackedWidget->setCurrentIndex(device_page);
}

// Results page

void MainWindow::on_scanning_found(qint64 i, QImage image)
{
    auto *item = new QListWidgetItem;
    item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsUserCheckable);
    item->setData(Qt::DisplayRole,
                  photo_name(ui->listWidget_2->count() + int(pending_entries.size()) + 1));
    item->setData(Qt::DecorationRole, list_picture(image));
    item->setData(Qt::CheckStateRole, ui->checkBox->isChecked() ? Qt::Checked : Qt::Unchecked);
    item->setData(Qt::UserRole, i);
    if (partial_photos.contains(i))
        item->setToolTip(tr("Only the top part of this photo could be recovered."));
    pending_entries.append(item);
    if (!entry_timer.isActive())
        entry_timer.start();
    ui->checkBox->show();
}

void MainWindow::add_pending_entries()
{
    entry_timer.stop();
    for (QListWidgetItem *item : std::as_const(pending_entries))
        ui->listWidget_2->addItem(item);
    pending_entries.clear();
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

    const QStringList failed = recover_checked_files(directory);
    fs_indexer.device.close();
    recover_progress->hide();
    recover_progress->deleteLater();
    recover_progress = nullptr;

    if (!failed.isEmpty()) {
        QStringList listed = failed.mid(0, listed_failures);
        if (failed.size() > listed_failures)
            listed.append(tr("and %n more", nullptr, int(failed.size() - listed_failures)));
        QString why;
        if (!QFileInfo(directory).isWritable())
            why = tr("You have no permission to write in this folder.");
        else if (QStorageInfo(directory).bytesAvailable() < RemovableDevice::copy_chunk)
            why = tr("The disk of this folder is full.");
        else
            why = tr("The device could not be read where these photos lie, or the folder could not be written.");
        inform(tr("%n photo(s) could not be recovered into %1:", nullptr, int(failed.size()))
                   .arg(QDir::toNativeSeparators(directory))
               + QLatin1Char('\n') + listed.join(QLatin1Char('\n')) + QStringLiteral("\n\n") + why);
    }

    ui->stackedWidget->setCurrentIndex(final_page);
    activateWindow();
    QDesktopServices::openUrl(QUrl::fromLocalFile(directory));
}

// Writes the files of recover_files in name order with the progress dialog
// showing; returns the names of those that could not be written.
QStringList MainWindow::recover_checked_files(const QString &directory)
{
    recover_progress = new QProgressDialog(tr("Recovering photos"), QStringLiteral("Cancel"), 0,
                                           int(recover_files.size()));
    recover_progress->setWindowTitle(QStringLiteral("DodurEdivezav"));
    recover_progress->setFixedWidth(300);
    recover_progress->setModal(true);
    recover_progress->show();

    QStringList failed;
    int counter = 0;
    const QDir target(directory);
    for (auto file = recover_files.constBegin(); file != recover_files.constEnd(); ++file) {
        const qint64 offset = file.value();
        const VolumeExtents pieces = fs_indexer.found_images.value(offset).extents();
        if (!fs_indexer.device.copy_extents_to_file(target.filePath(file.key()), pieces))
            failed.append(file.key());
        recover_progress->setValue(counter++);
        if (recover_progress->wasCanceled())
            break;
        QCoreApplication::processEvents();
    }
    return failed;
}

void MainWindow::on_pushButton_9_clicked()
{
    ui->stackedWidget->setCurrentIndex(scanning_page);
}

void MainWindow::on_pushButton_3_clicked()
{
    close();
}
