#pragma once

#include "openvolume.h"
#include "photofilter.h"
#include "photowriter.h"
#include "recoverysession.h"
#include "rawaccess.h"
#include "removabledevice.h"
#include "scanrateestimator.h"
#include "volumescan.h"

#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QString>

#include <atomic>
#include <cstdio>
#include <optional>

// Drives one VolumeScan over a source from the command line, shows a live
// progress line when stderr is a terminal, and writes every file found as
// soon as it is accepted, from the bytes the scan read (a video, too long to
// hold, is copied from the source in chunks): what was found is on disk even
// when the card goes away or the scan is interrupted.
class HeadlessScan : public QObject
{
    Q_OBJECT

public:
    struct Summary
    {
        RecoverySession::Counts counts;
        qint64 unreadable_bytes = 0;
        bool interrupted = false;
        int skipped = 0; // found, but not written: outside the photos chosen
        bool source_failed = false;
        QString source_error;
    };

    // access opens the volume for the scan and for writing the files; kinds
    // are the kinds looked for (empty: every kind).
    HeadlessScan(const RemovableDevice &device, const QString &root_path, const QString &out_dir,
                 const RawAccess &access = RawAccess(), const QList<MediaKind> &kinds = {},
                 QObject *parent = nullptr);
    ~HeadlessScan() override;

    // Opens out_dir for the photos, making it when missing, or says why it cannot be used.
    RecoverySession::Refusal open_output();

    // Scans and writes the photos as they are found; returns when both are
    // over. SIGINT or SIGTERM (see volume_platform::catch_interrupts) stops
    // the scan; what was found by then is still written.
    Summary run();
    // Writes only the photos filter accepts; the others are counted as skipped.
    void set_filter(const PhotoFilter &chosen) { filter = chosen; }

private slots:
    void on_indexing_started();
    void on_processed(int count);
    void on_scanning_started();
    void on_progress(qint64 sectors_done, qint64 sectors_total);
    void on_found(const FoundFile &file);
    void on_finished(const ScanSummary &scan_summary);
    void check_interrupt();
    void refresh_progress();

private:
    // Photos written are put on the disk this many at a time, and the rest
    // at the end: a photo counts as written only then.
    static constexpr int sync_batch = 64;
    // and whenever this many bytes wait, so a video does not leave gigabytes
    // for the last sync
    static constexpr qint64 sync_bytes = qint64(256) << 20;

    void write_photo(const FoundImage &image, const QByteArray &stream, const PhotoFacts &facts);
    PhotoWriter::Result copy_from_source(const FoundImage &image);
    void sync_written();
    void report_failure(const PhotoWriter::Result &result);
    void show_progress(const QString &line, bool force = false);
    void end_progress_line();

    RemovableDevice device;
    RawAccess access;
    // The source opened again for the files known by their place only; on
    // the worker thread, opened at the first of them.
    std::optional<OpenVolume> source;
    QString root_path;
    QString out_dir;
    RecoverySession recovery; // on the worker thread while it runs, in the order of announcement
    int photos_skipped = 0; // on the worker thread too
    PhotoFilter filter;
    VolumeScan scan;
    QList<qint64> arrivals;
    Summary summary;
    bool live_progress = false;
    bool progress_shown = false;
    QElapsedTimer scan_clock;
    ScanRateEstimator rate;
    QElapsedTimer redraw_clock;
    int files_indexed = 0;
    qint64 last_done = 0;
    qint64 last_total = 0;
    // Set by the worker after every block; the line is redrawn from them on
    // the poll, so a fast scan does not wake this thread 256 times a GiB.
    std::atomic<qint64> sectors_read{0};
    std::atomic<qint64> sectors_total{0};
};
