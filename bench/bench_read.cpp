// The baseline the scan is measured against: reads a volume from its first
// byte to its end in 4 MiB blocks through the same raw volume layer as the
// scan, into a page-aligned buffer as dd's is, and does nothing with the bytes. Prints the seconds taken and the
// bytes read: "seconds=S bytes=B".

#include "alignedbuffer.h"
#include "rawvolume.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <cstdio>
#include <memory>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    if (args.size() != 2) {
        std::fputs("Usage: velvora-bench-read SOURCE\n", stderr);
        return 2;
    }

    constexpr qint64 block_size = 4 * 1024 * 1024;
    QElapsedTimer clock;
    clock.start();
    volume_platform::Failure failure = volume_platform::Failure::None;
    const std::unique_ptr<RawVolume> volume = RawVolume::open(args.at(1), &failure);
    if (!volume) {
        std::fprintf(stderr, "velvora-bench-read: %s: %s\n", qPrintable(args.at(1)),
                     qPrintable(volume_platform::failure_text(failure)));
        return 1;
    }
    const AlignedBuffer block(block_size);
    qint64 total = 0;
    qint64 n = 0;
    while ((n = volume->read_at(total, block.data(), block_size)) > 0)
        total += n;
    const double seconds = clock.nsecsElapsed() / 1e9;
    if (n < 0) {
        std::fprintf(stderr, "velvora-bench-read: read failed after %lld bytes\n", static_cast<long long>(total));
        return 1;
    }
    std::printf("seconds=%.4f bytes=%lld\n", seconds, static_cast<long long>(total));
    return 0;
}
