#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "finishpage.h"
#include "messages.h"
#include "resultsmodel.h"
#include "scanpage.h"
#include "widgetfit.h"

#include <QCloseEvent>
#include <QDesktopServices>
#include <QLabel>
#include <QUrl>

MainWindow::MainWindow(QWidget *parent, DeviceSource source, const RawAccess &access)
    : QMainWindow(parent)
    , ui(new Ui::MainWindow)
    , raw_access(access)
{
    ui->setupUi(this);
    scan_page = new ScanPage(access, ui->stackedWidget);
    device_page = new DevicePage(std::move(source), access, [this] { return scan_page->is_scanning(); },
                                 ui->stackedWidget);
    finish_page = new FinishPage(ui->stackedWidget);
    ui->stackedWidget->addWidget(device_page);
    ui->stackedWidget->addWidget(scan_page);
    ui->stackedWidget->addWidget(finish_page);

    // The device list is polled exactly while it shows.
    connect(ui->stackedWidget, &QStackedWidget::currentChanged, this,
            [this] { device_page->set_polling(ui->stackedWidget->currentWidget() == device_page); });
    connect(device_page, &DevicePage::scan_requested, this, &MainWindow::scan);
    connect(scan_page, &ScanPage::back_requested, this, [this] { show_page(device_page); });
    connect(scan_page, &ScanPage::restore_requested, this, &MainWindow::restore);
    connect(finish_page, &FinishPage::back_requested, this, [this] { show_page(scan_page); });
    connect(finish_page, &FinishPage::close_requested, this, &QWidget::close);

    for (QLabel *label : findChildren<QLabel *>())
        fit_label_font(label);
    show_page(device_page);
    device_page->set_polling(true);

    setFixedSize(742, 514);
}

MainWindow::~MainWindow()
{
    delete ui;
}

void MainWindow::set_volume_opener(VolumeScan::VolumeOpener opener)
{
    scan_page->set_volume_opener(std::move(opener));
}

void MainWindow::show_page(QWidget *page)
{
    ui->stackedWidget->setCurrentWidget(page);
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    if (ui->stackedWidget->currentWidget() == finish_page) {
        event->accept();
        return;
    }
    event->ignore();
    // Photos found and not restored, or a scan under way, are named as what is lost.
    const QString question = ui->stackedWidget->currentWidget() == scan_page || scan_page->is_scanning()
        ? scan_page->close_question()
        : tr("Are you sure want to exit?");
    if (closing || !ask(this, QString(), question))
        return;
    if (scan_page->is_scanning()) {
        closing = true;
        scan_page->stop_for_close();
    }
    event->accept();
}

void MainWindow::scan(const RemovableDevice &device)
{
    if (scan_page->start(device, device_page->kinds()))
        show_page(scan_page);
}

void MainWindow::restore()
{
    PhotoRecovery recovery(this, raw_access);
    const std::optional<PhotoRecovery::Report> report =
        recovery.run(scan_page->results(), scan_page->scanned_device(), scan_page->found_images(),
                     scan_page->recovery_session());
    if (!report)
        return;
    last_restore = report->counts;
    scan_page->set_restored(last_restore.written + last_restore.present > 0);
    const ResultsModel &found = scan_page->results();
    finish_page->show_report(*report, scan_page->stopped_scan_text(),
                             found_kinds(found.checked_count(), found.checked_video_count()));
    show_page(finish_page);
    activateWindow();
    QDesktopServices::openUrl(QUrl::fromLocalFile(report->folder));
}
