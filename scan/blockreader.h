#pragma once

#include "volumesource.h"

#include <QtGlobal>

#include <atomic>
#include <functional>

// Reads a volume block by block and hands what it read on in volume order. A
// block that fails as a whole is read again sector by sector, past the page
// cache where the volume allows, so only the sectors that still fail are
// lost; those are counted and reported as a gap. Reads failing without a
// break over dead_device_run bytes mean the device is gone.
class BlockReader
{
public:
    static constexpr qint64 block_size = 4194304;
    static constexpr qint64 dead_device_run = 16 * 1024 * 1024;

    struct Consumer
    {
        std::function<void(const char *data, qint64 length)> bytes;
        std::function<void(qint64 length)> gap; // bytes that could not be read
    };

    struct Block
    {
        qint64 covered = 0; // bytes of the volume the block stands for; 0 at the end
        bool device_gone = false;
    };

    // unit is the volume's sector size; a stop is honoured between any two
    // sectors of a salvage.
    BlockReader(VolumeSource &volume, qint64 unit, const std::atomic<bool> &running, Consumer consumer);

    // Reads the block at position into buffer (block_size bytes).
    Block read(qint64 position, char *buffer);

    qint64 unreadable_bytes() const { return unreadable; }

private:
    void salvage(qint64 position, char *buffer, Block &result);

    VolumeSource &volume;
    const qint64 unit;
    const std::atomic<bool> &running;
    Consumer consumer;
    qint64 unreadable = 0;
    qint64 failing_run = 0;
};
