#include "blockreader.h"

BlockReader::BlockReader(VolumeSource &volume, qint64 unit, const std::atomic<bool> &running, Consumer consumer)
    : volume(volume)
    , unit(unit)
    , running(running)
    , consumer(std::move(consumer))
{
}

BlockReader::Block BlockReader::read(qint64 position, char *buffer)
{
    Block result;
    const qint64 n = volume.read_at(position, buffer, block_size);
    if (n >= 0) {
        failing_run = 0;
        result.covered = n;
        if (n > 0)
            consumer.bytes(buffer, n);
        return result;
    }
    if (volume.last_failure() == volume_platform::Failure::DeviceGone) {
        result.device_gone = true;
        return result;
    }
    salvage(position, buffer, result);
    return result;
}

void BlockReader::salvage(qint64 position, char *buffer, Block &result)
{
    qint64 good_from = 0; // start of the readable run not yet handed on
    qint64 filled = 0;    // bytes of the block accounted for
    const auto hand_on_good_run = [&] {
        if (filled > good_from)
            consumer.bytes(buffer + good_from, filled - good_from);
    };

    // A failing card may take seconds over each sector: a stop is honoured
    // between any two of them, and what was read so far is still handed on.
    while (filled < block_size && running) {
        const qint64 want = qMin(unit, block_size - filled);
        const qint64 n = volume.read_sector_at(position + filled, buffer + filled, want);
        if (n == 0)
            break; // end of the volume
        if (n > 0) {
            failing_run = 0;
            filled += n;
            if (n < want)
                break;
            continue;
        }
        if (volume.last_failure() == volume_platform::Failure::DeviceGone) {
            hand_on_good_run(); // carved, and finished at the end of the scan
            result.device_gone = true;
            return;
        }
        hand_on_good_run();
        consumer.gap(want);
        unreadable += want;
        failing_run += want;
        filled += want;
        good_from = filled;
        if (failing_run >= dead_device_run) {
            result.device_gone = true;
            return;
        }
    }
    hand_on_good_run();
    result.covered = filled;
}
