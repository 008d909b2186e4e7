#pragma once

#include "rawaccess.h"
#include "recoverysession.h"
#include "removabledevice.h"
#include "scanprogress.h"
#include "volumescan.h"

#include <QPointer>
#include <QWidget>

class LargerView;
class QMessageBox;
class ResultsFeed;
class ResultsModel;
class ResultsProxy;

namespace Ui {
class ScanPage;
}

// The scan of one device and its results: the status line and progress bar
// of the two phases (the files still on the card, then the raw read), the
// grid of photos found so far, "Select all", the larger view, and the stop,
// skip and back questions. Owns the scan worker and the results model.
class ScanPage : public QWidget
{
    Q_OBJECT

public:
    explicit ScanPage(const RawAccess &access, QWidget *parent = nullptr);
    // Ends a worker that is still running; one stuck in a read of a failing
    // card ends the process instead (see the definition).
    ~ScanPage() override;

    // How the scan opens the volume, in place of the RawAccess given; tests
    // put a failing card in here.
    void set_volume_opener(VolumeScan::VolumeOpener opener) { volume_opener = std::move(opener); }

    bool is_scanning() const { return scan && scan->is_running(); }
    // Empties the results and starts the scan of device for the kinds of
    // file given (empty: JPEG photos). A run that outlasted the bounded wait
    // of going back must end first: false, and the user is told.
    bool start(const RemovableDevice &device, const QList<MediaKind> &kinds = {});
    // Stops a running scan because the window closes, waiting a bounded
    // time with the window painting.
    void stop_for_close();

    // The photos found, for the recovery.
    const ResultsModel &results() const { return *model; }
    const RemovableDevice &scanned_device() const { return device; }
    const QMap<qint64, FoundImage> &found_images() const { return found; }
    // The names of this scan's photos, and the writing of those ticked.
    RecoverySession &recovery_session() { return recovery; }
    // Whether photos of this scan were restored: going back asks no question then.
    void set_restored(bool restored) { photos_restored = restored; }
    // What closing the window now would give up, as the question to ask.
    QString close_question() const;
    // How far a scan that was stopped got, and that the rest was not
    // searched; empty when the last scan read the whole card.
    QString stopped_scan_text() const;

public slots:
    // How far the raw read is: done of total sectors.
    void show_progress(qint64 done, qint64 total);
    // Bytes of the device that could not be read so far.
    void note_unreadable(qint64 bytes);
    // The scan read the volume to its end.
    void show_done();

signals:
    void back_requested();
    void restore_requested();

private slots:
    void on_pushButton_clicked();
    void on_pushButton_6_clicked();
    void on_pushButton_7_clicked();
    void on_pushButton_8_clicked();
    void on_resumeButton_clicked();

private:
    // Starts a scan of device with options, the page's own added.
    void run_scan(ScanOptions options);
    // Every use of the worker's signals, in one place.
    void connect_scan();
    void show_indexing_started();
    void show_indexed_files(int count);
    void show_indexing_done();
    void show_scanning_started();
    void show_stopped();
    void show_error();
    void show_finished(const ScanSummary &summary);
    void show_file_system_unreadable(const QString &why);

    void show_status(const QString &text);
    // The status text at the end of a scan, with the bytes that could not be read.
    void show_final_status(const QString &text);
    // Says at once that a stop was asked for: the worker may take a moment
    // to finish the photos in hand.
    void show_stopping();
    void refresh_progress_text();
    // The number of photos found (and of those only in part) beside the title,
    // and under it how many are shown and ticked.
    void show_photo_count();
    void end_of_run();
    // Waits up to ms for the worker to end with the event loop running, so
    // the window keeps painting; whether it ended.
    bool wait_for_worker(int ms);
    // Whether the stopped scan can go on from where it stopped.
    bool can_resume() const;
    // Whether photos of the last scan wait unrestored and the user wants to keep them.
    bool keep_unrestored_photos();
    // The larger view of the photo in shown_row of the grid.
    void open_viewer(int shown_row);
    qint64 device_bytes() const;

    Ui::ScanPage *ui = nullptr;
    RawAccess raw_access;
    // The scan of the device picked last; a new one for every scan.
    std::unique_ptr<VolumeScan> scan;
    VolumeScan::VolumeOpener volume_opener;
    RemovableDevice device;
    QList<MediaKind> kinds; // looked for by this scan and its resumptions
    QMap<qint64, FoundImage> found; // the photos of the scan, by offset
    QString scan_error; // why the last scan could not read the device
    RecoverySession recovery;
    ResultsModel *model = nullptr;
    ResultsProxy *shown = nullptr; // the results as the grid shows them
    ResultsFeed *feed = nullptr;
    LargerView *larger_view = nullptr;
    QPointer<QMessageBox> stop_question; // open while the stop icon's question is asked
    ScanProgress progress;
    bool photos_restored = false;
    bool stopping = false; // a stop was asked for and the run has not ended yet
    bool closing = false;
    bool worker_stuck = false; // still running after the bounded wait of closing
};
