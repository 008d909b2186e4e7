// Fragmented photos on a generated raw volume: the cases of the file-carving
// challenges (two pieces with text, a word-processor document, random bytes,
// a whole photo or a sector beginning FF D9 between them; two photos
// intertwined; zeros between the pieces; three pieces), from photos the
// tests never use, baseline, with restart markers and progressive. Scans the volume with the fragment search and
// without it and prints, for each: photos in pieces that came out byte for
// byte, wrong assemblies (an output that is no photo placed and no leading
// part of one: its pieces, the photo whose beginning it holds and how it was
// offered), leading parts, time, bytes read twice and peak memory.
//
//   velvora-bench-fragments [PHOTOS [SEED]]

#include "benchmemory.h"
#include "fragmentedvolume.h"
#include "volumescan.h"
#include "testsupport.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QMap>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>

using testsupport::FragmentedVolume;
using testsupport::Gap;

namespace {

struct Figures
{
    int whole = 0;
    int wrong = 0;
    int partial = 0;
    int whole_progressive = 0; // of whole, the progressive photos
    double seconds = 0;
    qint64 read_again = 0;
    QByteArray layout; // every file found, where and how, in volume order: equal on every run of one volume
};

// The photo placed that shares the longest beginning with an output, and
// how many bytes of it the output has before it departs from it.
std::pair<QByteArray, qint64> photo_begun(const QByteArray &output, const QList<QByteArray> &placed)
{
    std::pair<QByteArray, qint64> best;
    for (const QByteArray &photo : placed) {
        const qint64 end = qMin(photo.size(), output.size());
        qint64 same = 0;
        while (same < end && photo.at(same) == output.at(same))
            ++same;
        if (same > best.second)
            best = {photo, same};
    }
    return best;
}

Figures scan(const QString &path, const QByteArray &volume, const QList<QByteArray> &fragmented,
             const QList<QByteArray> &progressive, const QList<QByteArray> &placed, const QMap<QByteArray, QString> &names,
             bool search)
{
    RemovableDevice device;
    device.raw_path = path;
    device.size = volume.size();
    device.bytes_per_sector = 512;
    device.sector_count = volume.size() / 512;
    ScanOptions options;
    options.index_existing = false;
    options.fragment_search = search;
    VolumeScan scan(device, options);
    QElapsedTimer clock;
    clock.start();
    scan.start();
    scan.wait();
    Figures figures;
    figures.seconds = clock.nsecsElapsed() / 1e9;
    figures.read_again = scan.summary().bytes_read_again;
    QList<QByteArray> outputs;
    QStringList layout;
    for (const FoundImage &image : scan.files_found()) {
        QString line = QString::number(image.offset);
        for (const VolumeExtent &piece : image.extents())
            line += QStringLiteral(" %1+%2").arg(piece.offset).arg(piece.length);
        layout.append(line + (image.partial ? QStringLiteral(" partial") : QString())
                      + (image.damaged ? QStringLiteral(" damaged") : QString()));
        QByteArray bytes;
        for (const VolumeExtent &piece : image.extents())
            bytes.append(volume.mid(piece.offset, piece.length));
        outputs.append(bytes);
        figures.partial += image.partial ? 1 : 0;
    }
    for (const QByteArray &photo : fragmented + progressive)
        if (search && !outputs.contains(photo))
            std::printf("  not whole: %s\n", qPrintable(names.value(photo)));
    for (const QByteArray &photo : fragmented)
        figures.whole += outputs.contains(photo) ? 1 : 0;
    for (qsizetype i = 0; i < outputs.size(); ++i) {
        if (testsupport::first_foreign_output({outputs.at(i)}, placed) < 0)
            continue;
        ++figures.wrong;
        std::printf("  wrong assembly:");
        for (const VolumeExtent &piece : scan.files_found().at(i).extents())
            std::printf(" %lld+%lld", static_cast<long long>(piece.offset), static_cast<long long>(piece.length));
        const auto [photo, own] = photo_begun(outputs.at(i), placed);
        std::printf(", the first %lld bytes of %s%s\n", static_cast<long long>(own), qPrintable(names.value(photo)),
                    scan.files_found().at(i).damaged ? " (offered whole, marked damaged)"
                    : scan.files_found().at(i).partial ? " (offered as its leading part)"
                                                       : " (offered whole)");
    }
    for (const QByteArray &photo : progressive)
        figures.whole_progressive += outputs.contains(photo) ? 1 : 0;
    figures.whole += figures.whole_progressive;
    std::sort(layout.begin(), layout.end(), [](const QString &a, const QString &b) {
        return a.section(QLatin1Char(' '), 0, 0).toLongLong() < b.section(QLatin1Char(' '), 0, 0).toLongLong()
               || (a.section(QLatin1Char(' '), 0, 0) == b.section(QLatin1Char(' '), 0, 0) && a < b);
    });
    figures.layout = layout.join(QLatin1Char('\n')).toUtf8();
    if (qEnvironmentVariableIsSet("VELVORA_BENCH_LIST"))
        std::printf("%s\n", figures.layout.constData());
    return figures;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    const int photos = args.size() > 1 ? args.at(1).toInt() : 80;
    const int seed = args.size() > 2 ? args.at(2).toInt() : 1000;
    if (photos <= 0 || testsupport::cjpeg(testsupport::make_picture(16, 16, 1)).isEmpty()) {
        std::fputs("Usage: velvora-bench-fragments [PHOTOS [SEED]] (needs cjpeg)\n", stderr);
        return 2;
    }

    const QList<Gap> gaps{Gap::Text, Gap::Document, Gap::Random, Gap::WholePhoto, Gap::EndMarkerSector, Gap::Zeros};
    const QList<QStringList> encodings{{}, {QStringLiteral("-restart"), QStringLiteral("1")}};
    FragmentedVolume volume;
    QList<QByteArray> fragmented;
    QList<QByteArray> progressive;
    QMap<QByteArray, QString> names; // how each photo was laid out, for the ones not whole
    const QStringList gap_names{"text", "document", "random", "whole photo", "FF D9 sector", "zeros"};
    for (int i = 0; fragmented.size() + progressive.size() < photos; ++i) {
        const int s = seed + i;
        const int width = 640 + (s * 97) % 1000;
        const int height = 480 + (s * 61) % 700;
        const bool is_progressive = i % 5 == 4;
        const QStringList options = is_progressive ? QStringList{QStringLiteral("-progressive")}
                                                   : encodings.at(i % encodings.size());
        const QByteArray photo = testsupport::cjpeg(testsupport::make_picture(width, height, s), options);
        QList<QByteArray> &into = is_progressive ? progressive : fragmented;
        const int layout = i % 8;
        const QString name = QStringLiteral("photo %1 (%2x%3 %4, %5 bytes): ")
                                 .arg(i)
                                 .arg(width)
                                 .arg(height)
                                 .arg(options.isEmpty() ? QStringLiteral("baseline") : options.join(QLatin1Char(' ')))
                                 .arg(photo.size());
        if (layout < 6) {
            volume.add_two_pieces(photo, gaps.at(layout), 0.2 + 0.06 * (i % 10), quint32(s));
            into.append(photo);
            names.insert(photo, name + QStringLiteral("two pieces, %1 between, cut at %2").arg(gap_names.at(layout)).arg(0.2 + 0.06 * (i % 10)));
        } else if (layout == 6) {
            const QByteArray other = testsupport::cjpeg(testsupport::make_picture(width, height, s + 5000), options);
            volume.add_intertwined(photo, other, 0.3 + 0.05 * (i % 7));
            into.append(photo);
            into.append(other);
            names.insert(photo, name + QStringLiteral("intertwined, first"));
            const QString other_name = name.left(name.indexOf(QLatin1Char(','))) + QStringLiteral(", %1 bytes): ");
            names.insert(other, other_name.arg(other.size()) + QStringLiteral("intertwined, second"));
        } else {
            volume.add_three_pieces(photo, quint32(s));
            into.append(photo);
            names.insert(photo, name + QStringLiteral("three pieces"));
        }
        volume.add_gap(Gap::Random, 3 + i % 7, quint32(s));
    }

    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("fragments.img"));
    if (!volume.write(path))
        return 1;
    const QByteArray bytes = volume.bytes();
    const QList<QByteArray> placed = volume.placed();

    const qint64 all = fragmented.size() + progressive.size();
    std::printf("volume: %.1f MiB, %lld photos in pieces, %lld of them progressive\n", bytes.size() / 1048576.0,
                static_cast<long long>(all), static_cast<long long>(progressive.size()));
    for (const bool search : {false, true}) {
        const Figures f = scan(path, bytes, fragmented, progressive, placed, names, search);
        std::printf("%-15s whole %d/%lld (%.0f %%, target at least 80 %%)  wrong assemblies %d (target at most %lld)  "
                    "(progressive %d/%lld)  leading parts %d  seconds %.2f  read again %.1f MiB\n",
                    search ? "with search" : "without search", f.whole, static_cast<long long>(all),
                    100.0 * f.whole / qMax<qint64>(1, all), f.wrong, static_cast<long long>(all / 20),
                    f.whole_progressive, static_cast<long long>(progressive.size()), f.partial, f.seconds,
                    f.read_again / 1048576.0);
        std::printf("%-15s files found %lld, layout digest %08x\n", search ? "with search" : "without search",
                    static_cast<long long>(f.layout.count('\n') + (f.layout.isEmpty() ? 0 : 1)),
                    qChecksum(f.layout));
    }
    std::printf("broken candidates resolved %d at once\n", BrokenPhotoResolver::resolutions_at_once());
    std::printf("peak memory %.1f MiB\n", peak_resident_mib());
    return 0;
}
