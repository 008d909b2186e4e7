#pragma once

#include <QSet>

#include "deviceenumeration.h"
#include "fsindexer.h"
#include "rawaccess.h"
#include "removabledevice.h"

#include <QMainWindow>
#include <QMap>
#include <QString>
#include <QTimer>

#include <functional>

class QCloseEvent;
class QImage;
class QListWidgetItem;
class QProgressDialog;
class ResultsDelegate;

namespace Ui {
class MainWindow;
}

// The wizard: device list (page 1), scanning and results (page 2), the
// final page after a recovery (page 3) and the welcome page (page 0, only
// reachable through a hidden button). Owns the scan worker and the device
// poll timer.
class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    // Where the device page gets the attached volumes from on every poll.
    using DeviceSource = std::function<QMap<QString, RemovableDevice>()>;

    // access opens the volumes for the availability check, the scan and the recovery.
    explicit MainWindow(QWidget *parent = nullptr, DeviceSource source = enumerate_removable_devices,
                        const RawAccess &access = RawAccess());
    ~MainWindow() override;

signals:
    void deviceChange();
    void deviceSelected(RemovableDevice &device);

protected:
    void closeEvent(QCloseEvent *event) override;

private slots:
    void on_device_changed();
    void on_pushButton_2_clicked();
    void on_pushButton_5_clicked();
    void on_pushButton_4_clicked();
    void on_stackedWidget_currentChanged(int index);
    void on_work_start(RemovableDevice &device);
    void on_fs_indexer_start();
    void on_fs_indexer_done();
    void on_fs_indexer_stop();
    void on_fs_indexer_processed(int i);
    void on_scanning_start();
    void on_scanning_stop();
    void on_scanning_done();
    void on_scanning_error();
    void on_scanning_unreadable(qint64 bytes);
    void on_scanning_progress(qint64 i, qint64 j);
    void on_scanning_found(qint64 i, QImage image);
    void on_pushButton_clicked();
    void on_pushButton_9_clicked();
    void on_pushButton_7_clicked();
    void on_pushButton_6_clicked();
    void on_pushButton_3_clicked();
    void on_checkBox_stateChanged(int state);
    void on_pushButton_8_clicked();

private:
    void end_of_run();
    void show_status(const QString &text);
    // The status text at the end of a scan, with the bytes that could not be read.
    void show_final_status(const QString &text);
    bool ask(const QString &title, const QString &text);
    void inform(const QString &text);
    void collect_checked_files();
    // Puts the entries found since the last call into the results list.
    void add_pending_entries();
    QStringList recover_checked_files(const QString &directory);

    QTimer device_timer;
    FsIndexer fs_indexer;
    QProgressDialog *recover_progress = nullptr;
    Ui::MainWindow *ui = nullptr;
    QMap<QString, RemovableDevice> devices;
    QMap<QString, qint64> recover_files;

    DeviceSource device_source;
    RawAccess raw_access;
    ResultsDelegate *results_delegate = nullptr;
    // Found photos wait here briefly and enter the list together: the list
    // lays out all its entries again after every insertion, so one insertion
    // per photo would cost time growing with the number already shown.
    QList<QListWidgetItem *> pending_entries;
    QSet<qint64> partial_photos; // offsets of photos of which only the top part was found
    QTimer entry_timer;
    qint64 unreadable_bytes = 0;
};
