#pragma once

#include "crccalculator.h"
#include "filesystemreader.h"
#include "foundimage.h"
#include "fragmentsearch.h"
#include "jpegcarver.h"
#include "photofacts.h"
#include "removabledevice.h"
#include "streamkey.h"
#include "thumbnailqueue.h"
#include "volumesource.h"

#include <QHash>
#include <QImage>
#include <QMap>
#include <QString>
#include <QThread>

#include <atomic>
#include <functional>
#include <memory>

// The scan worker: indexes the JPEG files still on the volume, then reads
// the volume raw from its first byte to its end, carves JPEG streams and
// announces those that are neither existing files nor repeats. Reused for
// every scan; steered only through the running and index_existing flags.
class FsIndexer : public QThread
{
    Q_OBJECT

public:
    using VolumeOpener =
        std::function<std::unique_ptr<VolumeSource>(const QString &raw_path, volume_platform::Failure *failure)>;

    static constexpr qint64 block_size = 4194304;
    // Reads failing without a break over this many bytes mean the device is gone.
    static constexpr qint64 dead_device_run = 16 * 1024 * 1024;
    // Bytes after a named photo's end taken from its entry at most (a
    // motion photo's video, a second picture).
    static constexpr qint64 largest_trailer = 64 * 1024 * 1024;
    // How far along the free space a photo in pieces is followed, and over
    // how many runs of it.
    static constexpr qint64 free_space_reach = 50 * 1024 * 1024;
    static constexpr int most_free_runs = 65536;

    // A JPEG photo by its name: the last suffix is JPG, JPEG, JPE or JFIF in
    // any case (IMG_0001.jpg, photo.backup.JPG, PXL_..._PORTRAIT.jpeg).
    static bool is_jpeg_file_name(const QString &name);

    FsIndexer();
    ~FsIndexer() override;

    void set_root_path(const QString &path) { root_path = path; }
    void set_index_existing(bool on) { index_existing = on; }
    void set_running(bool on) { running = on; }
    void stop() { running = false; }

    // Raises running before the thread starts, so a stop that comes at once
    // is never lost.
    void start(Priority priority = InheritPriority);

    // Why the last scan_error was emitted; empty when it was not.
    QString error_text() const { return scan_error; }
    // How the raw volume is opened; tests put a faulty medium in here.
    void set_volume_opener(VolumeOpener opener) { open_volume = std::move(opener); }
    // Off: broken photos are offered as their valid leading part only,
    // without looking for their other pieces (for comparisons).
    void set_fragment_search(bool on) { fragment_search = on; }
    // The screen's pixel ratio: thumbnails are made with that many pixels a
    // point, sharp on a high-density screen. Set before start().
    void set_thumbnail_pixel_ratio(qreal ratio) { thumbnails.set_pixel_ratio(ratio); }
    // How long the volume's file system may take to read before the scan
    // goes on without it.
    void set_file_system_time_limit(int ms) { file_system_time_limit_ms = ms; }
    // The volume's file system as the last scan read it.
    const FileSystemView &file_system() const { return view; }
    // Photos of the last scan that took the name of a deleted entry.
    int named_photos() const { return named_count; }
    // Bytes the last scan read a second time to put broken photos together.
    qint64 bytes_read_again() const { return reread_bytes; }
    // Called on the worker thread for every photo just before it is
    // announced, with the stream's bytes as they were read: a caller that
    // keeps what it finds at once need not read the volume again.
    using FoundHandler = std::function<void(const FoundImage &image, const QByteArray &stream)>;
    void set_found_handler(FoundHandler handler) { found_handler = std::move(handler); }

    // Existing files and streams seen in this scan, by CRC-32 and length.
    QMap<StreamKey, bool> known_crcs;
    QMap<qint64, FoundImage> found_images;
    CrcCalculator stream_crc;
    RemovableDevice device;

signals:
    void processedItem(int i);
    void started();
    void indexing_started();
    void indexing_stopped();
    void indexing_done();
    void scanning_started();
    void scanning_stopped();
    void scanning_done();
    void scanning_error();
    void scanning_progress(qint64 i, qint64 j);
    void scanning_found(qint64 i, QImage image);
    // What is known of the photo announced next by scanning_found (same offset).
    void scanning_found_facts(PhotoFacts facts);
    void scanning_unreadable(qint64 i);
    // Comes just before scanning_found for a photo of which only the top
    // part could be recovered.
    void scanning_found_partial(qint64 i);
    // Once a scan, before its index phase, when no file system could be read
    // on the volume: why is empty when none was found (a raw image, a
    // reformatted card), else why reading it failed (a damaged one).
    void file_system_unreadable(QString why);

protected:
    void run() override;

private:
    struct BlockRead
    {
        qint64 covered = 0;    // bytes of the volume the block stands for
        bool device_gone = false;
    };

    // Bytes of one file, piece by piece, to a consumer; false when a read failed.
    using Content = std::function<bool(const std::function<void(const char *, qint64)> &consume)>;

    void read_file_system(VolumeSource &volume);
    void index_existing_files();
    void index_file_system_files(VolumeSource &volume);
    void index_file(const QString &path);
    void index_content(const Content &content);
    void scan_volume();
    BlockRead read_block(VolumeSource &volume, qint64 position, char *block, qint64 unit);
    void salvage_block(VolumeSource &volume, qint64 position, char *block, qint64 unit, BlockRead &result);
    void accept_stream(const char *stream, qint64 length, qint64 offset);
    void announce(const QList<ThumbnailQueue::Result> &results);
    void record_found(FoundImage image, const QImage &thumbnail, QByteArray stream, PhotoFacts facts);
    void offer_damaged(qint64 offset, const QByteArray &stream);
    // Gives a photo found at the first cluster of a deleted entry that
    // entry's name, folder and times, and the bytes the file held after the
    // photo's end where they lie in the same free run.
    void name_after_entry(FoundImage &image, QByteArray &stream, PhotoFacts &facts);
    // A candidate that did not come out whole waits until the scan has read
    // past the window where its other pieces may lie.
    // whole_if_alone: the stream decodes to its end, damaged where it lies;
    // offered whole when no pieces close by make it a photo in pieces.
    void note_broken(qint64 offset, qint64 length, bool whole_if_alone = false);
    void resolve_broken(VolumeSource &volume, qint64 position, bool all);
    struct Broken;
    void resolve(const Broken &candidate);
    bool assemble_along_free_space(qint64 offset);
    VolumeExtents free_space_from(qint64 offset, qint64 length) const;
    bool offer_if_whole(const VolumeExtents &runs);
    bool offer_assembled(const FragmentSearch::Outcome &outcome);
    void offer_leading_part(qint64 offset, const QByteArray &stream, const FragmentSearch::Outcome &outcome);
    bool is_new(const QByteArray &stream);
    static quint32 crc_of(const QByteArray &stream);
    static qint64 first_foreign_sector(const QByteArray &stream, qint64 fault);
    QByteArray read_again(qint64 offset, qint64 length);
    qint64 occupied_until(qint64 offset) const;

    JpegCarver carver;
    ThumbnailQueue thumbnails;
    QString root_path;
    std::atomic<bool> index_existing{false};
    std::atomic<bool> running{false};
    VolumeOpener open_volume;
    FoundHandler found_handler;
    QHash<qint64, uint> accepted_crcs; // by offset, until the photo is announced
    QString scan_error;
    qint64 unreadable_bytes = 0;
    qint64 failing_run = 0;
    struct Broken
    {
        qint64 offset;
        qint64 length;
        bool whole_if_alone;
    };
    QList<Broken> broken;
    QMap<qint64, qint64> found_runs; // start to end of every piece of every photo found
    FileSystemView view;
    int file_system_time_limit_ms = FileSystemReader::default_time_limit_ms;
    int named_count = 0;
    VolumeSource *volume_in_use = nullptr;
    qint64 reread_bytes = 0;
    bool fragment_search = true;
};
