#pragma once

#include "removabledevice.h"
#include "scanoptions.h"
#include "volumesource.h"

#include <QByteArray>
#include <QFileInfo>
#include <QSemaphore>
#include <QThread>

#include <atomic>
#include <cstring>
#include <functional>
#include <memory>

namespace testsupport {

// A card that is failing, held in memory: reads touching the bad region
// [bad_from, bad_to) fail (each after failing_read_ms, as a real failing
// card takes its time), and other reads reaching past gone_from say the
// device has gone. With short_reads, a read running into the bad region first
// hands over the bytes before it, as the kernel does, and only the next one
// fails.
class FaultyVolume : public VolumeSource
{
public:
    explicit FaultyVolume(QByteArray bytes)
        : bytes(std::move(bytes))
    {
    }

    qint64 bad_from = -1;
    qint64 bad_to = -1;
    qint64 gone_from = -1;
    int failing_read_ms = 0;
    std::atomic<int> every_read_ms = 0; // a slow card: every read takes this long; may change as it is read
    bool short_reads = false;
    // shared, so that it can be read after the scan has destroyed the volume
    std::shared_ptr<std::atomic<int>> failed_reads = std::make_shared<std::atomic<int>>(0);
    // Bytes handed out by every read together; shared as failed_reads is.
    std::shared_ptr<std::atomic<qint64>> bytes_read = std::make_shared<std::atomic<qint64>>(0);
    // When set, a failing read hangs until the test releases it, as a read of
    // a dying card can for minutes.
    std::shared_ptr<QSemaphore> hold;
    // Released once, at the first read of an open behind the furthest one
    // it read: the volume being read again to put a broken photo together.
    std::shared_ptr<QSemaphore> reading_again = std::make_shared<QSemaphore>();
    // Called at that same read, on the thread reading, with its offset.
    std::function<void(qint64 offset)> when_reading_again;
    // Called at every read, on the thread reading, with its offset.
    std::function<void(qint64 offset)> when_reading;

    qint64 read(char *buffer, qint64 count) override { return advance(read_at(position, buffer, count)); }
    bool seek(qint64 offset) override { return (position = offset) >= 0; }
    volume_platform::Failure last_failure() const override { return failure; }

    qint64 read_at(qint64 offset, char *buffer, qint64 count) override
    {
        if (when_reading)
            when_reading(offset);
        if (every_read_ms > 0)
            QThread::msleep(every_read_ms);
        const qint64 end = qMin(offset + count, qint64(bytes.size()));
        if (offset < furthest && !went_back) {
            went_back = (reading_again->release(), true);
            if (when_reading_again)
                when_reading_again(offset);
        }
        furthest = qMax(furthest, end);
        if (bad_from >= 0 && offset < bad_to && end > bad_from) {
            if (!short_reads || offset >= bad_from)
                return fail(volume_platform::Failure::Io);
            count = bad_from - offset;
        }
        if (gone_from >= 0 && end > gone_from)
            return fail(volume_platform::Failure::DeviceGone);
        failure = volume_platform::Failure::None;
        const qint64 n = qBound<qint64>(0, qMin(count, qint64(bytes.size()) - offset), count);
        std::memcpy(buffer, bytes.constData() + offset, size_t(n));
        *bytes_read += n;
        return n;
    }

    // Reads as the copy of a found file does (PhotoWriter::copy), beside the
    // scan's handles, while the scan's opener keeps the volume.
    std::function<qint64(qint64, char *, qint64, volume_platform::Failure *)> reader()
    {
        return [this](qint64 offset, char *buffer, qint64 count, volume_platform::Failure *why) {
            const qint64 n = read_at(offset, buffer, count);
            if (n < 0 && why)
                *why = failure;
            return n;
        };
    }

    // Puts this volume, which the scan's opener then owns, in place of a
    // device. A scan opens it more than once (for the file system, then for
    // the raw read): each open gets a handle on the same volume.
    void scan_with(RemovableDevice &device, ScanOptions &options)
    {
        device.raw_path = QStringLiteral("faulty");
        device.bytes_per_sector = 512;
        device.sector_count = bytes.size() / 512;
        options.open_volume = opener();
    }

    // Opens this volume, which the opener then owns, whatever path is asked
    // for (for the window's set_volume_opener); each open gets a handle on
    // the same volume.
    ScanOptions::VolumeOpener opener()
    {
        return [volume = std::shared_ptr<FaultyVolume>(this)](const QString &, volume_platform::Failure *) {
            volume->furthest = 0;
            return std::unique_ptr<VolumeSource>(new Handle(volume));
        };
    }

private:
    class Handle : public VolumeSource
    {
    public:
        explicit Handle(std::shared_ptr<FaultyVolume> volume) : volume(std::move(volume)) {}
        qint64 read(char *buffer, qint64 count) override { return volume->read(buffer, count); }
        bool seek(qint64 offset) override { return volume->seek(offset); }
        volume_platform::Failure last_failure() const override { return volume->last_failure(); }
        qint64 read_at(qint64 offset, char *buffer, qint64 count) override { return volume->read_at(offset, buffer, count); }

    private:
        std::shared_ptr<FaultyVolume> volume;
    };

    qint64 advance(qint64 n)
    {
        position += qMax<qint64>(n, 0);
        return n;
    }
    qint64 fail(volume_platform::Failure kind)
    {
        ++*failed_reads;
        if (hold)
            hold->acquire();
        if (failing_read_ms > 0)
            QThread::msleep(failing_read_ms);
        failure = kind;
        return -1;
    }

    QByteArray bytes;
    qint64 position = 0;
    qint64 furthest = 0;
    bool went_back = false;
    volume_platform::Failure failure = volume_platform::Failure::None;
};

// An image file as the device the worker scans, in sectors of bytes_per_sector.
inline RemovableDevice image_file_device(const QString &path, quint32 bytes_per_sector = 512)
{
    RemovableDevice device;
    device.raw_path = path;
    device.size = QFileInfo(path).size();
    device.bytes_per_sector = bytes_per_sector;
    device.sector_count = device.size / bytes_per_sector;
    return device;
}

} // namespace testsupport
