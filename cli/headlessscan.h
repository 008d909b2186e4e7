#pragma once

#include "fsindexer.h"
#include "rawaccess.h"
#include "removabledevice.h"

#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QString>

#include <cstdio>

// Drives one FsIndexer over a source from the command line, shows a live
// progress line when stderr is a terminal, and writes every photo found.
class HeadlessScan : public QObject
{
    Q_OBJECT

public:
    struct Summary
    {
        int found = 0;
        int written = 0;
        int failed = 0;
        qint64 unreadable_bytes = 0;
        int partial = 0; // photos of which only the top part could be recovered
        bool source_failed = false;
        QString source_error;
    };

    // access opens the volume for the scan and for writing the photos.
    HeadlessScan(const RemovableDevice &device, const QString &root_path, const QString &out_dir,
                 const RawAccess &access = RawAccess(), QObject *parent = nullptr);

    // Scans, then writes the photos; returns when both are over.
    Summary run();

private slots:
    void on_indexing_started();
    void on_processed(int count);
    void on_scanning_started();
    void on_progress(qint64 sectors_done, qint64 sectors_total);
    void on_found(qint64 offset);
    void on_unreadable(qint64 bytes);
    void on_error();

private:
    void write_photos();
    void show_progress(const QString &line, bool force = false);
    void end_progress_line();

    RemovableDevice device;
    RawAccess access;
    QString root_path;
    QString out_dir;
    FsIndexer indexer;
    QList<qint64> arrivals;
    Summary summary;
    bool live_progress = false;
    bool progress_shown = false;
    QElapsedTimer scan_clock;
    QElapsedTimer redraw_clock;
    int files_indexed = 0;
    qint64 last_done = 0;
    qint64 last_total = 0;
};
