#pragma once

#include "brokenphotoresolver.h"
#include "clipframefilter.h"
#include "crccalculator.h"
#include "filesystemview.h"
#include "foundfile.h"
#include "mediacarver.h"
#include "removabledevice.h"
#include "scanoptions.h"
#include "scansummary.h"
#include "streamkey.h"

#include <QHash>
#include <QMutex>
#include <QObject>
#include <QSet>

#include <atomic>
#include <memory>
#include <set>
#include <vector>

class QThread;

// One scan of one volume, run once on a thread of its own: the live files
// are indexed (ExistingFileIndex), then the volume is read raw from its first byte
// to its end (BlockReader, with salvage of failing sectors), every
// registered kind's carver looks at what was read and validates its
// candidates, repeats and live files are dropped, broken photos are put back
// together (BrokenPhotoResolver), and each file found is announced once by
// found(), with the deleted entry's name where the card keeps it. finished()
// comes last, with the summary.
//
// Signals are emitted on the scan's thread: queued to receivers on others.
class VolumeScan : public QObject, private MediaCarver::Sink, private BrokenPhotoResolver::Host
{
    Q_OBJECT

public:
    using VolumeOpener = ScanOptions::VolumeOpener;

    // Bytes after a named photo's end taken from its entry at most (a
    // motion photo's video, a second picture).
    static constexpr qint64 largest_trailer = 64 * 1024 * 1024;

    VolumeScan(const RemovableDevice &device, ScanOptions options, QObject *parent = nullptr);
    // Stops the scan and waits for its thread.
    ~VolumeScan() override;

    // Starts the scan; false when it has run already (a scan runs once).
    bool start();
    // Asks the scan to stop; it finishes the files in hand and announces them.
    void stop();
    // Asks the live-file index to end early; the raw read goes on.
    void skip_existing_files();

    bool is_running() const;
    // Waits up to ms milliseconds (negative: without a bound) for the thread to end.
    bool wait(int ms = -1);

    const RemovableDevice &device() const { return volume_device; }
    // Valid once finished() was emitted.
    ScanSummary summary() const { return result; }
    const FileSystemView &file_system() const { return view; }
    // Every file found, in the order announced (an earlier run's first when resumed).
    const QList<FoundImage> &files_found() const { return found_files; }
    // Where a scan of the same volume goes on from this one: after this
    // one's last whole block, before any file still open or waiting there.
    ResumePoint resume_point() const;

signals:
    // Once a scan, before its index phase, when no file system could be read
    // on the volume: why is empty when none was found (a raw image, a
    // reformatted card), else why reading it failed (a damaged one).
    void file_system_unreadable(QString why);
    // Once a scan, after its index phase, when the photos still on the card
    // as files could not all be read within their time budget: some of them
    // may be offered again.
    void existing_files_incomplete(QString why);
    void indexing_started();
    void indexing_progress(int files);
    // completed is false when the phase ended by a stop or a skip.
    void indexing_finished(bool completed);
    void raw_scan_started();
    void progress(qint64 sectors_done, qint64 sectors_total);
    void found(FoundFile file);
    void finished(ScanSummary summary);
    // The scan's thread has ended; comes after finished().
    void ended();

private:
    void run();
    void index_existing(VolumeSource *volume);
    void scan_volume();
    void feed_carvers(const char *data, qint64 length);
    void announce(MediaCarver &carver, QList<MediaCarver::Checked> checked);
    qint64 frames_undecided_from() const;
    void judge_what_could_be_due();
    void record_found(FoundImage image, const QImage &thumbnail, QByteArray bytes, PhotoFacts facts);
    // Gives a photo found at the first cluster of a deleted entry that
    // entry's name, folder and times, and the bytes the file held after the
    // photo's end where they lie in the same free run.
    void name_after_entry(FoundImage &image, QByteArray &bytes, PhotoFacts &facts);
    bool is_new(StreamKey key);
    static quint32 crc_of(const QByteArray &bytes);
    static QByteArray read_from(VolumeSource *volume, qint64 offset, qint64 length);
    qint64 unit() const;
    qint64 volume_end() const;

    // MediaCarver::Sink
    bool take_candidate(MediaKind kind, const char *bytes, qint64 length, qint64 offset) override;
    bool take_extent(MediaKind kind, qint64 offset, qint64 length, quint32 crc, bool damaged) override;
    QByteArray read_back(qint64 offset, qint64 length) override;
    void take_broken(MediaKind kind, qint64 offset, qint64 length, bool whole_if_alone = false) override;
    void take_frame(qint64 offset) override { clip_frames.note_frame(offset); }
    void take_clip(const VolumeExtents &pieces) override { clip_frames.note_clip(pieces); }
    qint64 deleted_file_end(qint64 offset, qint64 at_least) override;
    const FileSystemView *volume_file_system() const override { return view.is_read() ? &view : nullptr; }
    bool stopping() const override { return !running; }
    // BrokenPhotoResolver::Host
    QByteArray read_again(qint64 offset, qint64 length) override;
    void announce_carved() override;
    void offer(const VolumeExtents &pieces, bool partial, const QImage &thumbnail, const QByteArray &bytes,
               const PhotoFacts &facts) override;

    const RemovableDevice volume_device;
    const ScanOptions options;
    QThread *thread = nullptr;
    std::atomic<bool> running{false};
    std::atomic<bool> index_live_files{true};
    bool started = false;

    // On the scan's thread while it runs; read by others once it has ended.
    std::set<StreamKey> known; // live files and files found, by CRC-32 and length
    QList<FoundImage> found_files;
    QHash<qint64, quint32> accepted_crcs; // by offset, until the file is announced
    CrcCalculator stream_crc;
    FileSystemView view;
    std::vector<std::unique_ptr<MediaCarver>> carvers;
    std::unique_ptr<BrokenPhotoResolver> resolver;
    ClipFrameFilter clip_frames;
    qint64 first_unchecked = -1; // the first file a stop left unchecked
    // A handle of its own for the validators' threads, so their reads never
    // move the raw scan's.
    QMutex read_back_lock;
    std::unique_ptr<VolumeSource> read_back_volume;
    std::atomic<qint64> bytes_read_back{0};
    qint64 position = 0;
    ScanSummary result;
};
