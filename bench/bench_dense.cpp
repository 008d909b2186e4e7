// The scan of a card packed with photos against its decode floor: the time
// it takes to decode every photo found once, the least any scan that looks
// at every photo's pixels can take.
//
//   velvora-bench-dense [--rounds N] [--scanner PATH] SOURCE
//
// Runs velvora-scan over SOURCE N times (writing the photos into a scratch
// folder beside it), then decodes each photo it wrote once, as the scan's
// decode check does (at thumbnail scale, and only those within the decoders'
// memory budget), on every core. Prints
// "floor X s, scan Y s, ratio Z, peak P MiB" and the figures behind them.
//
// The machine may be shared, so both times are modelled from CPU time: the
// floor's decodes are independent, so on an idle machine they take their CPU
// time over the cores; the scan takes its CPU time over the cores it keeps
// busy. How busy is read from the kernel's per-thread scheduler figures
// (/proc/PID/task/TID/schedstat, sampled every 20 ms): a thread waiting for
// a core wants one as much as a running thread, so (run + wait) / (cores x
// wall) is the share of the cores the scan would use on an idle machine.
// The best round counts; the peak is the highest of all rounds.

#include "jpegdecodecheck.h"
#include "thumbnailqueue.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <ctime>
#include <thread>
#include <vector>

namespace {

struct Round
{
    double wall = 0;      // seconds
    double cpu = 0;       // seconds run by all threads
    double waiting = 0;   // seconds threads waited for a core
    double peak_mib = 0;
    QByteArray summary;   // velvora-scan's last line

    double busy(int cores) const { return std::min(1.0, (cpu + waiting) / (cores * wall)); }
    // What the round would take on an idle machine.
    double modelled(int cores) const { return cpu / (cores * busy(cores)); }
};

QByteArray read_all(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

double peak_mib_of(qint64 pid)
{
    for (const QByteArray &line : read_all(QStringLiteral("/proc/%1/status").arg(pid)).split('\n'))
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').value(0).toDouble() / 1024.0;
    return 0;
}

// Run and wait nanoseconds of each live thread of pid, by thread id.
void sample_threads(qint64 pid, QHash<QString, std::pair<double, double>> &threads)
{
    const QString tasks = QStringLiteral("/proc/%1/task").arg(pid);
    for (const QString &tid : QDir(tasks).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        const QList<QByteArray> fields = read_all(tasks + QLatin1Char('/') + tid + QStringLiteral("/schedstat"))
                                             .trimmed()
                                             .split(' ');
        if (fields.size() >= 2)
            threads[tid] = {fields.at(0).toDouble() / 1e9, fields.at(1).toDouble() / 1e9};
    }
}

bool scan_once(const QString &scanner, const QString &source, const QString &out_dir, Round *round)
{
    QDir(out_dir).removeRecursively();
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    QElapsedTimer clock;
    clock.start();
    process.start(scanner, {source, out_dir});
    if (!process.waitForStarted())
        return false;
    const qint64 pid = process.processId();
    QHash<QString, std::pair<double, double>> threads;
    while (!process.waitForFinished(20)) {
        sample_threads(pid, threads);
        round->peak_mib = std::max(round->peak_mib, peak_mib_of(pid));
    }
    round->wall = clock.nsecsElapsed() / 1e9;
    for (const auto &[run, wait] : std::as_const(threads)) {
        round->cpu += run;
        round->waiting += wait;
    }
    round->summary = process.readAllStandardOutput().trimmed();
    return process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

// Decodes every photo in folder once on every core: "photos=N cpu=S wall=S".
int decode_floor(const QString &folder)
{
    QList<QByteArray> photos;
    for (const QFileInfo &file : QDir(folder).entryInfoList({QStringLiteral("*.JPG")}, QDir::Files, QDir::Name))
        photos.append(read_all(file.filePath()));
    const int cores = std::max(1, QThread::idealThreadCount());
    // The photos the scan decodes (none needs more than the decoders' whole
    // budget), with as much memory as it grants one that takes all of it.
    const qint64 decoder_limit = JpegDecodeCheck::memory_budget + JpegDecodeCheck::working_memory;
    double best_cpu = 0, best_wall = 0;
    for (int pass = 0; pass < 2; ++pass) { // the first warms the allocator
        std::atomic<qsizetype> next{0};
        const std::clock_t cpu_start = std::clock();
        QElapsedTimer clock;
        clock.start();
        std::vector<std::thread> decoders;
        for (int i = 0; i < cores; ++i)
            decoders.emplace_back([&] {
                for (qsizetype n; (n = next++) < photos.size();)
                    if (ThumbnailQueue::decoder_memory(photos.at(n)) <= JpegDecodeCheck::memory_budget)
                        JpegDecodeCheck::check(photos.at(n), ThumbnailQueue::thumbnail_size, decoder_limit);
            });
        for (std::thread &decoder : decoders)
            decoder.join();
        best_cpu = double(std::clock() - cpu_start) / CLOCKS_PER_SEC;
        best_wall = clock.nsecsElapsed() / 1e9;
    }
    std::printf("photos=%lld cpu=%.3f wall=%.3f\n", static_cast<long long>(photos.size()), best_cpu, best_wall);
    return 0;
}

QByteArray field(const QByteArray &line, const QByteArray &name)
{
    for (const QByteArray &pair : line.split(' '))
        if (pair.startsWith(name + '='))
            return pair.mid(name.size() + 1);
    return {};
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QStringList args = QCoreApplication::arguments().mid(1);
    if (args.size() == 2 && args.at(0) == QLatin1String("--floor"))
        return decode_floor(args.at(1));

    int rounds = 3;
    QString scanner = QCoreApplication::applicationDirPath() + QStringLiteral("/velvora-scan");
    while (args.size() > 2) {
        if (args.at(0) == QLatin1String("--rounds"))
            rounds = std::max(1, args.at(1).toInt());
        else if (args.at(0) == QLatin1String("--scanner"))
            scanner = args.at(1);
        else
            break;
        args = args.mid(2);
    }
    if (args.size() != 1) {
        std::fputs("Usage: velvora-bench-dense [--rounds N] [--scanner PATH] SOURCE\n", stderr);
        return 2;
    }
    const QString source = args.at(0);
    QTemporaryDir scratch(QFileInfo(source).absolutePath() + QStringLiteral("/dense-XXXXXX"));
    const QString out_dir = scratch.filePath(QStringLiteral("out"));
    const int cores = std::max(1, QThread::idealThreadCount());

    Round best;
    double peak = 0;
    for (int i = 0; i < rounds; ++i) {
        Round round;
        if (!scan_once(scanner, source, out_dir, &round)) {
            std::fprintf(stderr, "velvora-bench-dense: %s failed\n", qPrintable(scanner));
            return 1;
        }
        peak = std::max(peak, round.peak_mib);
        std::printf("round %d: wall %.2f s, cpu %.2f s, waiting for a core %.2f s, busy %.2f, modelled %.2f s, "
                    "peak %.1f MiB\n",
                    i + 1, round.wall, round.cpu, round.waiting, round.busy(cores), round.modelled(cores),
                    round.peak_mib);
        std::fflush(stdout);
        if (i == 0 || round.modelled(cores) < best.modelled(cores))
            best = round;
    }

    // The floor runs in a process of its own whose allocator keeps freed
    // memory: decoding pays for no page faults there.
    QProcess floor;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("GLIBC_TUNABLES"),
                       QStringLiteral("glibc.malloc.mmap_threshold=268435456:glibc.malloc.trim_threshold=1073741824"));
    floor.setProcessEnvironment(environment);
    floor.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--floor"), out_dir});
    if (!floor.waitForFinished(-1) || floor.exitCode() != 0) {
        std::fputs("velvora-bench-dense: the decode floor failed\n", stderr);
        return 1;
    }
    const QByteArray floor_line = floor.readAllStandardOutput().trimmed();
    const double floor_cpu = field(floor_line, "cpu").toDouble();
    const double floor_seconds = floor_cpu / cores;

    std::printf("scan: %s\n", best.summary.constData());
    std::printf("decode floor: %s photos, cpu %.2f s, wall %s s\n", field(floor_line, "photos").constData(), floor_cpu,
                field(floor_line, "wall").constData());
    std::printf("scan: cpu %.2f s, busy %.2f, wall %.2f s (load average %s)\n", best.cpu, best.busy(cores), best.wall,
                read_all(QStringLiteral("/proc/loadavg")).split(' ').mid(0, 3).join(' ').constData());
    std::printf("floor %.2f s, scan %.2f s, ratio %.3f, peak %.1f MiB\n", floor_seconds, best.modelled(cores),
                best.modelled(cores) / floor_seconds, peak);
    return 0;
}
