// Damaged photos between whole ones, as a failing card or a folder of
// decoders' test and fuzz files leaves them: photos with a byte changed,
// cut short with random bytes after them, changed in a few places, or with a
// broken table, each at a sector boundary with random bytes behind it. Scans
// the whole photos alone and then among the damaged streams, and prints the
// time each damaged stream adds, the whole photos found, and how many of the
// damaged streams that still decode cleanly came back whole.
//
//   velvora-bench-damaged [PHOTOS [DAMAGED [SEED]]]

#include "benchmemory.h"
#include "carvingvolume.h"
#include "jpegdecodecheck.h"
#include "testsupport.h"
#include "volumescan.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>

#include <cstdio>
#include <ctime>

using testsupport::CarvingVolume;
using testsupport::Damage;
using testsupport::Gap;

namespace {

struct Figures
{
    double seconds = 0;
    double cpu_seconds = 0;  // of every thread of the process: what a shared machine does not inflate
    int photos_back = 0;     // whole photos placed that came out byte for byte
    int clean_back = 0;      // damaged streams that decode cleanly, back whole
    int damaged_whole = 0;   // photos offered whole and marked damaged
    int partial = 0;
};

Figures scan(const QString &path, const CarvingVolume &volume, const QList<QByteArray> &clean_streams)
{
    const QByteArray bytes = volume.bytes();
    testsupport::write_file(path, bytes);
    RemovableDevice device;
    device.raw_path = path;
    device.size = bytes.size();
    device.bytes_per_sector = 512;
    device.sector_count = bytes.size() / 512;
    ScanOptions options;
    options.index_existing = false;
    VolumeScan scan(device, options);
    QElapsedTimer clock;
    clock.start();
    const std::clock_t cpu = std::clock();
    scan.start();
    scan.wait();
    Figures figures;
    figures.seconds = clock.nsecsElapsed() / 1e9;
    figures.cpu_seconds = double(std::clock() - cpu) / CLOCKS_PER_SEC;
    QList<QByteArray> outputs;
    for (const FoundImage &image : scan.files_found()) {
        QByteArray out;
        for (const VolumeExtent &piece : image.extents())
            out.append(bytes.mid(piece.offset, piece.length));
        outputs.append(out);
        figures.partial += image.partial ? 1 : 0;
        figures.damaged_whole += image.damaged ? 1 : 0;
    }
    for (const CarvingVolume::Placed &photo : volume.whole_photos())
        figures.photos_back += outputs.contains(photo.bytes) ? 1 : 0;
    for (const QByteArray &stream : clean_streams)
        figures.clean_back += outputs.contains(stream) ? 1 : 0;
    return figures;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    const int photos = args.size() > 1 ? args.at(1).toInt() : 20;
    const int damaged = args.size() > 2 ? args.at(2).toInt() : 200;
    const int seed = args.size() > 3 ? args.at(3).toInt() : 1;
    if (photos <= 0 || damaged < 0 || testsupport::cjpeg(testsupport::make_picture(16, 16, 1)).isEmpty()) {
        std::fputs("Usage: velvora-bench-damaged [PHOTOS [DAMAGED [SEED]]] (needs cjpeg)\n", stderr);
        return 2;
    }

    // The photos to damage: small and middling, a third progressive, some
    // with restart markers, as a test corpus holds them.
    QList<QByteArray> sources;
    for (int i = 0; i < 12; ++i) {
        const QStringList options = i % 3 == 0   ? QStringList{QStringLiteral("-progressive")}
            : i % 3 == 1                         ? QStringList{}
                                                 : QStringList{QStringLiteral("-restart"), QStringLiteral("2")};
        sources.append(testsupport::cjpeg(testsupport::make_picture(160 + 90 * i, 120 + 70 * i, seed + 900 + i),
                                          options));
    }
    const QList<Damage> kinds{Damage::FlippedByte, Damage::CutShort, Damage::Mutated, Damage::BrokenHeader};

    CarvingVolume alone, among;
    QList<QByteArray> clean_streams;
    int streams_between = 0;
    for (int p = 0; p < photos; ++p) {
        const QByteArray photo = testsupport::cjpeg(testsupport::make_picture(1024 + 32 * (p % 9), 768, seed + p));
        alone.add_photo(photo);
        alone.add_bytes(testsupport::gap_bytes(Gap::Random, 2, quint32(seed + p)));
        among.add_photo(photo);
        among.add_bytes(testsupport::gap_bytes(Gap::Random, 2, quint32(seed + p)));
        for (int d = p * damaged / photos; d < (p + 1) * damaged / photos; ++d, ++streams_between) {
            const QByteArray stream = testsupport::damaged(sources.at(d % sources.size()), kinds.at(d % kinds.size()),
                                                           quint32(seed * 7919 + d), 0.1 + 0.8 * ((d * 37) % 100) / 100.0);
            if (JpegDecodeCheck::check(stream, QSize()).clean)
                clean_streams.append(stream);
            among.add_bytes(stream);
            among.add_bytes(testsupport::gap_bytes(Gap::Random, 1 + d % 3, quint32(seed * 31 + d)));
        }
    }

    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("damaged.img"));
    const Figures base = scan(path, alone, {});
    const Figures with = scan(path, among, clean_streams);
    std::printf("volume: %d photos, %d damaged streams between them (%lld of these decode cleanly), %.1f MiB\n",
                photos, streams_between, static_cast<long long>(clean_streams.size()),
                among.bytes().size() / 1048576.0);
    std::printf("photos alone:       %.2f s (%.2f s of CPU), %d/%d photos back\n", base.seconds, base.cpu_seconds,
                base.photos_back, photos);
    std::printf("among damaged:      %.2f s (%.2f s of CPU), %d/%d photos back, %d/%lld clean streams back, %d whole "
                "marked damaged, %d top parts\n",
                with.seconds, with.cpu_seconds, with.photos_back, photos, with.clean_back,
                static_cast<long long>(clean_streams.size()), with.damaged_whole, with.partial);
    const double added = with.seconds - base.seconds;
    const double added_cpu = with.cpu_seconds - base.cpu_seconds;
    const int streams = qMax(1, streams_between);
    std::printf("added by the damaged streams: %.2f s (target at most 5 s), %.1f ms a stream (target under 20 ms) %s\n",
                added, 1000.0 * added / streams, added <= 5 && 1000.0 * added / streams < 20 ? "PASS" : "over");
    std::printf("  in CPU time (all threads): %.2f s, %.1f ms a stream\n", added_cpu, 1000.0 * added_cpu / streams);
    std::printf("broken candidates resolved %d at once\n", BrokenPhotoResolver::resolutions_at_once());
    std::printf("peak memory %.1f MiB\n", peak_resident_mib());
    return 0;
}
