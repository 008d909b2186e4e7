#pragma once

#include "scanrateestimator.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QString>

class QLabel;
class QProgressBar;

// How far the raw read of a scan has got over its runs and how fast it
// goes: the percent and bytes read, the rate and time left, the bytes that
// could not be read, whether the last run was stopped, and the texts that
// say so.
class ScanProgress
{
    Q_DECLARE_TR_FUNCTIONS(ScanPage)

public:
    // Back to nothing read, for a new scan.
    void reset();
    // A stopped run goes on at offset; what the runs before found unreadable is kept.
    void resume_at(qint64 offset);
    // The raw read of this run starts.
    void start_clock(qint64 device_bytes);
    void stop_clock();
    // done of total sectors are read.
    void update(qint64 done, qint64 total, quint32 bytes_per_sector);

    float percent() const { return last_percent; }
    qint64 read_bytes() const { return bytes_read; }

    void set_unreadable(qint64 bytes) { unreadable = bytes; }
    // The run that ended could not read bytes, besides what the runs it resumes could not.
    void set_unreadable_in_run(qint64 bytes) { unreadable = unreadable_before + bytes; }
    qint64 unreadable_bytes() const { return unreadable; }
    // text with the bytes that could not be read, when there are any.
    QString with_unreadable(const QString &text) const;
    // What the bytes that could not be read mean.
    QString unreadable_tip() const;

    void mark_stopped() { stopped_early = true; }
    // The status line of a stopped scan.
    QString stopped_status(qint64 device_bytes) const;
    // How far a stopped scan got, and that the rest was not searched; empty
    // unless the last run was stopped.
    QString stopped_sentence(qint64 device_bytes, bool resumable) const;

    // The line beside the bar, cut to the label's width, and the whole line
    // in the bar's format for screen readers.
    void show(QLabel *label, QProgressBar *bar, int photos, int videos = 0) const;

private:
    ScanRateEstimator scan_rate;
    QElapsedTimer scan_clock;
    float last_percent = 0.0f;
    qint64 bytes_read = 0; // how far the raw read has got
    qint64 unreadable = 0;
    bool stopped_early = false; // the last run was stopped before the card's end
    qint64 resumed_from = 0; // where the raw read of this run starts
    qint64 unreadable_before = 0; // found unreadable by the runs this one resumes
};
