#pragma once

#include "crccalculator.h"
#include "foundimage.h"
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

protected:
    void run() override;

private:
    struct BlockRead
    {
        qint64 covered = 0;    // bytes of the volume the block stands for
        bool device_gone = false;
    };

    void index_existing_files();
    void index_file(const QString &path);
    void scan_volume();
    BlockRead read_block(VolumeSource &volume, qint64 position, char *block, qint64 unit);
    void salvage_block(VolumeSource &volume, qint64 position, char *block, qint64 unit, BlockRead &result);
    void accept_stream(const char *stream, qint64 length, qint64 offset);
    void announce(const QList<ThumbnailQueue::Result> &results);

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
};
