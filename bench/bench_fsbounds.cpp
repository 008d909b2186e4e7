// A card's file system within its bounds: scans camera cards whose root
// folders hold crafted live entries and prints what the scan took:
//   exfat-entries  20,000 live entries on a 64 MiB exFAT card, all of them
//                  on one run of clusters (target: the scan ends within 20 s
//                  with every intact deleted photo);
//   shared-chain   25,000 live entries on a FAT32 card sharing one chain of
//                  2,048 pieces (target: the peak memory of the scan and of
//                  its file-system reader together under 160 MiB).
// Each case runs in a process of its own, so the peaks are its own.

#include "benchmemory.h"
#include "cameracard.h"
#include "craftedentries.h"
#include "faultyvolume.h"
#include "testsupport.h"
#include "volumeplatform.h"
#include "volumescan.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QMutex>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QThread>
#include <QTemporaryDir>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <thread>

using testsupport::CameraCard;
using testsupport::CraftedEntries;

namespace {

constexpr double seconds_target = 20;
constexpr double memory_target_mib = 160;

double status_mib(const QString &status_path, const char *field)
{
    QFile status(status_path);
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith(field))
            return line.mid(qstrlen(field)).trimmed().split(' ').value(0).toDouble() / 1024.0;
    return -1;
}

// The file-system reader's peak resident memory, sampled every 2 ms from the
// kernel while it runs (its high-water mark only grows, so the last sample
// is within 2 ms of its peak). The children of a fork count from their exec
// on, not with the copy of this process they started as.
class ReaderPeak
{
public:
    ReaderPeak()
        : watcher([this] {
              while (!done)
                  sample();
          })
    {
    }
    ~ReaderPeak() { stop(); }
    double stop()
    {
        done = true;
        if (watcher.joinable())
            watcher.join();
        return peak;
    }

private:
    void sample()
    {
        for (const QString &task : QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
            QFile children(QStringLiteral("/proc/self/task/%1/children").arg(task));
            if (!children.open(QIODevice::ReadOnly))
                continue;
            for (const QByteArray &pid : children.readAll().simplified().split(' ')) {
                if (pid.isEmpty())
                    continue;
                const QString status = QStringLiteral("/proc/%1/status").arg(QString::fromLatin1(pid));
                QFile name_file(status);
                if (name_file.open(QIODevice::ReadOnly) && name_file.readLine().contains("velvora-fs-rea"))
                    peak = std::max(peak, status_mib(status, "VmHWM:"));
            }
        }
        QThread::usleep(2000);
    }

    std::atomic<bool> done{false};
    double peak = 0;
    std::thread watcher;
};

QList<QByteArray> photos_in(const QString &folder)
{
    QList<QByteArray> photos;
    for (const QString &name : QDir(folder).entryList(QDir::Files, QDir::Name))
        photos.append(testsupport::read_file(folder + '/' + name));
    return photos;
}

// Scans image in this process and compares what came back with the photos
// the parent left in folder/deleted and folder/live.
int scan_case(const QString &name, const QString &image, const QString &folder)
{
    QMutex lock;
    QList<quint32> found;
    ScanOptions options;
    options.found_handler = [&](const FoundImage &, const QByteArray &stream, const PhotoFacts &) {
        const QMutexLocker locked(&lock);
        found.append(qChecksum(stream));
    };
    VolumeScan scan(testsupport::image_file_device(image), options);
    QString note;
    QObject::connect(&scan, &VolumeScan::file_system_unreadable, &scan, [&](const QString &w) { note = w; },
                     Qt::DirectConnection);
    QObject::connect(&scan, &VolumeScan::existing_files_incomplete, &scan, [&](const QString &w) { note = w; },
                     Qt::DirectConnection);
    ReaderPeak reader;
    QElapsedTimer clock;
    clock.start();
    scan.start();
    scan.wait();
    const double seconds = clock.nsecsElapsed() / 1e9;
    const double reader_mib = reader.stop();
    const double scan_mib = peak_resident_mib();

    const auto back = [&](const QList<QByteArray> &photos) {
        return int(std::count_if(photos.cbegin(), photos.cend(),
                                 [&](const QByteArray &photo) { return found.contains(qChecksum(photo)); }));
    };
    const QList<QByteArray> deleted = photos_in(folder + "/deleted");
    const int intact_back = back(deleted);
    const QList<FileEntry> &files = scan.file_system().files;
    const int shared = int(std::count_if(files.cbegin(), files.cend(), [](const FileEntry &f) { return f.shared_content; }));
    std::printf("%s: entries_listed=%d sharing=%d\n", qPrintable(name), int(files.size()), shared);
    std::printf("%s: seconds=%.2f intact_deleted_back=%d/%d named=%d live_offered=%d scan_peak_mib=%.1f "
                "reader_peak_mib=%.1f together_mib=%.1f\n",
                qPrintable(name), seconds, intact_back, int(deleted.size()), scan.summary().named,
                back(photos_in(folder + "/live")), scan_mib, reader_mib, scan_mib + reader_mib);
    if (!note.isEmpty())
        std::printf("%s: said: %s\n", qPrintable(name), qPrintable(note));
    const bool all_back = intact_back == deleted.size();
    if (name == QLatin1String("exfat-entries"))
        std::printf("%s: %s (target: within %.0f s with every intact deleted photo)\n", qPrintable(name),
                    seconds < seconds_target && all_back ? "PASS" : "over", seconds_target);
    else
        std::printf("%s: %s (target: together under %.0f MiB, every intact deleted photo)\n", qPrintable(name),
                    scan_mib + reader_mib < memory_target_mib && all_back ? "PASS" : "over", memory_target_mib);
    std::fflush(stdout);
    return 0;
}

// Makes the card of a case, leaves its photos beside it and scans it in a
// process of its own.
void run_case(const QString &name)
{
    const bool exfat = name == QLatin1String("exfat-entries");
    QTemporaryDir dir;
    CameraCard card;
    QString why;
    const int entries = exfat ? 20000 : 25000;
    const int pieces = exfat ? 256 : 2048;
    if (!card.make(exfat ? CameraCard::Exfat : CameraCard::Fat32, dir.path(), &why)
        || !(exfat ? CraftedEntries::add_to_exfat(card.image, entries, pieces, &why)
                   : CraftedEntries::add_to_fat32(card.image, entries, pieces, &why))) {
        std::printf("%s: skipped: %s\n", qPrintable(name), qPrintable(why));
        return;
    }
    std::printf("%s: %d crafted live entries, %d clusters each, shared\n", qPrintable(name), entries, pieces);
    std::fflush(stdout);
    QDir().mkpath(dir.filePath("deleted"));
    QDir().mkpath(dir.filePath("live"));
    int n = 0;
    for (const QByteArray &photo : card.named.values() + card.unnamed)
        testsupport::write_file(dir.filePath(QStringLiteral("deleted/%1.jpg").arg(++n)), photo);
    for (const QByteArray &photo : card.live)
        testsupport::write_file(dir.filePath(QStringLiteral("live/%1.jpg").arg(++n)), photo);
    QProcess child;
    child.setProcessChannelMode(QProcess::ForwardedChannels);
    child.start(QCoreApplication::applicationFilePath(), {QStringLiteral("scan"), name, card.image, dir.path()});
    child.waitForFinished(-1);
}

} // namespace

int main(int argc, char *argv[])
{
    volume_platform::limit_heap_growth();
    QCoreApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    if (args.size() == 5 && args.at(1) == QLatin1String("scan"))
        return scan_case(args.at(2), args.at(3), args.at(4));
    for (const QString &name : {QStringLiteral("exfat-entries"), QStringLiteral("shared-chain")})
        run_case(name);
    return 0;
}
