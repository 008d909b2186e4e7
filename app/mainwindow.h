#pragma once

#include <QSet>

#include "deviceenumeration.h"
#include "fsindexer.h"
#include "rawaccess.h"
#include "photofacts.h"
#include "recoverysession.h"
#include "removabledevice.h"
#include "scanrateestimator.h"

#include <QElapsedTimer>
#include <QHash>
#include <QMainWindow>
#include <QMap>
#include <QPointer>
#include <QString>
#include <QTimer>

#include <functional>

class QCloseEvent;
class QImage;
class QLabel;
class QListWidgetItem;
class PhotoViewer;
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

    // The photos of the last scan, and what its last "Restore..." did.
    RecoverySession::Counts restore_counts() const { return recovery.counts(); }

    // How the scan opens the volume, in place of the RawAccess given; tests
    // put a failing card in here.
    void set_volume_opener(FsIndexer::VolumeOpener opener) { fs_indexer.set_volume_opener(std::move(opener)); }

signals:
    void deviceChange();
    void deviceSelected(RemovableDevice &device);

protected:
    void closeEvent(QCloseEvent *event) override;
    // Space and Enter on the results list.
    bool eventFilter(QObject *watched, QEvent *event) override;

private slots:
    void on_device_changed();
    void on_pushButton_2_clicked();
    void on_pushButton_5_clicked();
    void on_pushButton_4_clicked();
    void on_deviceList_itemActivated(QListWidgetItem *item);
    void on_openImageButton_clicked();
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
    void on_scanning_found_facts(PhotoFacts facts);
    void on_file_system_unreadable(const QString &why);
    // The final page's account of a recovery: photos written into folder,
    // written under another name than planned, failed, and not tried
    // because the recovery was cancelled.
    void show_recovery_summary(const RecoverySession::Counts &counts, int cancelled, const QString &folder);
    void on_openFolderButton_clicked();
    // The larger view of the photo in row of the results list.
    void open_viewer(int row);
    // Tick, untick or open the photo under the pointer (and the others selected).
    void show_results_menu(const QPoint &at);
    void on_pushButton_clicked();
    void on_pushButton_9_clicked();
    void on_pushButton_7_clicked();
    void on_pushButton_6_clicked();
    void on_pushButton_3_clicked();
    void on_checkBox_stateChanged(int state);
    void on_pushButton_8_clicked();

private:
    // Starts the scan of device when it can be read; otherwise says why.
    void scan_if_readable(RemovableDevice &device);
    // Waits up to ms for the worker to end with the event loop running, so
    // the window keeps painting; whether it ended.
    bool wait_for_worker(int ms);
    // Says at once that a stop was asked for: the worker may take a moment
    // to finish the photos in hand.
    void show_stopping();
    // The number of photos in the list (and of those only in part) beside the title.
    void show_photo_count();
    void refresh_progress_text();
    // Ticks or unticks every selected photo (the current one when none is).
    void tick_selected(Qt::CheckState state);
    void end_of_run();
    void show_status(const QString &text);
    // Widens the status label, up to the "Select all" box, until its text fits.
    void fit_status_label();
    QString progress_text(float percent, int width) const;
    // The hint over the device list while it is empty.
    void show_empty_hint();
    // The bytes of a found photo for the larger view; none while a scan runs.
    QByteArray photo_bytes(const PhotoFacts &facts, QString *note) const;
    // The status text at the end of a scan, with the bytes that could not be read.
    void show_final_status(const QString &text);
    bool ask(const QString &title, const QString &text);
    void inform(const QString &text);
    void collect_checked_files();
    // Puts the entries found since the last call into the results list.
    void add_pending_entries();
    // Writes the ticked photos into directory; returns the message about
    // the failed and renamed ones, empty when there is nothing to say.
    QString recover_checked_files(const QString &directory, int &tried);
    // Whether photos of the last scan wait unrestored and the user wants to keep them.
    bool keep_unrestored_photos();

    QTimer device_timer;
    FsIndexer fs_indexer;
    QProgressDialog *recover_progress = nullptr;
    Ui::MainWindow *ui = nullptr;
    QMap<QString, RemovableDevice> devices;
    QMultiMap<QString, qint64> recover_files; // two deleted photos may have had the same name

    DeviceSource device_source;
    RawAccess raw_access;
    ResultsDelegate *results_delegate = nullptr;
    // Found photos wait here briefly and enter the list together: the list
    // lays out all its entries again after every insertion, so one insertion
    // per photo would cost time growing with the number already shown.
    QList<QListWidgetItem *> pending_entries;
    QTimer entry_timer;
    qint64 unreadable_bytes = 0;
    // Facts of the photos announced but not yet in the list, by offset.
    QHash<qint64, PhotoFacts> arriving_facts;
    // The names of this scan's photos, and the writing of those ticked.
    RecoverySession recovery;
    ScanRateEstimator scan_rate;
    QElapsedTimer scan_clock;
    QPointer<PhotoViewer> viewer;
    QString recovered_folder;
    bool photos_restored = false;
    bool worker_stuck = false; // still running after the bounded wait of closing
    bool stopping = false; // a stop was asked for and the run has not ended yet
    bool closing = false;
    float last_percent = 0.0f;
    int partial_entries = 0; // in the list, photos of which only the top part could be recovered
    QLabel *empty_hint = nullptr;
};
