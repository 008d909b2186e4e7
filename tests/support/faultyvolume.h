#pragma once

// A card with bad sectors, one that goes away, or a slow one: a real image
// file read through RawVolume, with reads that fail over [bad_from, bad_to)
// (any request touching the region fails as a whole, as a card's does) and
// an optional pause before every read. Header only: link velvora_scan.

#include "fsindexer.h"
#include "rawvolume.h"

#include <QThread>

namespace testsupport {

class FaultyVolume : public VolumeSource
{
public:
    struct Faults
    {
        qint64 bad_from = 0;
        qint64 bad_to = 0; // bad_to <= bad_from: no bad region
        volume_platform::Failure kind = volume_platform::Failure::Io;
        int pause_ms = 0; // before every read: a slow card
    };

    FaultyVolume(std::unique_ptr<RawVolume> inner, const Faults &faults)
        : inner(std::move(inner)), faults(faults)
    {
    }
    qint64 read(char *buffer, qint64 count) override
    {
        if (faults.pause_ms > 0)
            QThread::msleep(faults.pause_ms);
        if (position < faults.bad_to && position + count > faults.bad_from) {
            failure = faults.kind;
            return -1;
        }
        const qint64 n = inner->read(buffer, count);
        failure = inner->last_failure();
        if (n > 0)
            position += n;
        return n;
    }
    bool seek(qint64 offset) override
    {
        position = offset;
        return inner->seek(offset);
    }
    volume_platform::Failure last_failure() const override { return failure; }

    // An opener for FsIndexer::set_volume_opener that puts these faults on the volume.
    static FsIndexer::VolumeOpener opener(const Faults &faults)
    {
        return [faults](const QString &path, volume_platform::Failure *failure) {
            std::unique_ptr<VolumeSource> volume;
            if (auto raw = RawVolume::open(path, failure))
                volume = std::make_unique<FaultyVolume>(std::move(raw), faults);
            return volume;
        };
    }

private:
    std::unique_ptr<RawVolume> inner;
    const Faults faults;
    qint64 position = 0;
    volume_platform::Failure failure = volume_platform::Failure::None;
};

} // namespace testsupport
