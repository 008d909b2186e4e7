#pragma once

#include "volumesource.h"

#include <QString>

#include <memory>

// A device node or an image file opened read-only through the platform layer.
class RawVolume : public VolumeSource
{
public:
    static std::unique_ptr<RawVolume> open(const QString &path, volume_platform::Failure *failure = nullptr);
    // Takes over a handle opened elsewhere (for example one handed out by
    // the desktop's disk service); invalid_handle gives nullptr.
    static std::unique_ptr<RawVolume> adopt(volume_platform::Handle handle);
    ~RawVolume() override;

    RawVolume(const RawVolume &) = delete;
    RawVolume &operator=(const RawVolume &) = delete;

    qint64 read(char *buffer, qint64 count) override;
    bool seek(qint64 offset) override;
    volume_platform::Failure last_failure() const override { return failure; }
    qint64 read_at(qint64 offset, char *buffer, qint64 count) override;
    qint64 read_sector_at(qint64 offset, char *buffer, qint64 count) override;

    volume_platform::Geometry geometry() const;

private:
    explicit RawVolume(volume_platform::Handle handle);

    volume_platform::Handle handle;
    // The same block device opened again for direct I/O, for the sector
    // reads of a failing region; invalid when it could not be.
    volume_platform::Handle unbuffered = volume_platform::invalid_handle;
    volume_platform::Failure failure = volume_platform::Failure::None;
    // A block device is read once from start to end: its pages are dropped
    // behind the read position instead of filling the page cache.
    bool block_device = false;
    qint64 position = 0;
};
