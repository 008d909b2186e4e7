// Scans a volume with VolumeScan exactly as the application does (no
// existing-file index) and prints what it took:
// "seconds=S bytes=B found=N peak_mib=M".
// Peak memory is the process's high-water mark of resident memory, so it
// includes the block buffer, the carver's buffer and the thumbnails in flight.

#include "benchmemory.h"
#include "volumescan.h"
#include "rawvolume.h"
#include "volumeplatform.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <atomic>
#include <cstdio>

namespace {

bool describe(const QString &path, RemovableDevice *device)
{
    volume_platform::Failure failure = volume_platform::Failure::None;
    const std::unique_ptr<RawVolume> volume = RawVolume::open(path, &failure);
    if (!volume) {
        std::fprintf(stderr, "velvora-bench-scan: %s: %s\n", qPrintable(path),
                     qPrintable(volume_platform::failure_text(failure)));
        return false;
    }
    const volume_platform::Geometry geometry = volume->geometry();
    if (geometry.size < 0 || geometry.bytes_per_sector == 0)
        return false;
    device->raw_path = path;
    device->size = geometry.size;
    device->bytes_per_sector = geometry.bytes_per_sector;
    device->sector_count = geometry.size / geometry.bytes_per_sector;
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    volume_platform::limit_heap_growth();
    QCoreApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    if (args.size() != 2) {
        std::fputs("Usage: velvora-bench-scan SOURCE\n", stderr);
        return 2;
    }

    RemovableDevice device;
    if (!describe(args.at(1), &device))
        return 1;
    ScanOptions options;
    options.index_existing = false;
    VolumeScan scan(device, options);

    // Direct connections: the worker's signals are counted on its own thread,
    // as nothing here runs an event loop.
    std::atomic<int> found{0};
    QObject::connect(&scan, &VolumeScan::found, &scan, [&](const FoundFile &) { ++found; }, Qt::DirectConnection);

    QElapsedTimer clock;
    clock.start();
    scan.start();
    scan.wait();
    const double seconds = clock.nsecsElapsed() / 1e9;

    if (scan.summary().outcome != ScanSummary::Outcome::Completed) {
        std::fprintf(stderr, "velvora-bench-scan: the scan did not complete: %s\n", qPrintable(scan.summary().error));
        return 1;
    }
    std::printf("seconds=%.4f bytes=%lld found=%d peak_mib=%.1f\n", seconds, static_cast<long long>(device.size),
                found.load(), peak_resident_mib());
    return 0;
}
