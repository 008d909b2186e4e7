#include "deviceenumeration.h"
#include "headlessscan.h"
#include "photofilter.h"
#include "rawaccess.h"
#include "rawvolume.h"
#include "removabledevice.h"
#include "volumeplatform.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QLoggingCategory>

#include <cstdio>

namespace {

enum ExitCode { AllWritten = 0, SomeWritesFailed = 1, UnusableInput = 2, Interrupted = 130 };

const char help_text[] =
    "Usage: velvora-scan [--root DIR] [--min-size BYTES] [--since DATE] [--until DATE]\n"
    "                    [--kinds LIST] SOURCE OUTDIR\n"
    "       velvora-scan --list\n"
    "       velvora-scan --version\n"
    "\n"
    "Finds deleted photos (JPEG, HEIC) and videos (MP4, MOV, 3GP, Motion-JPEG\n"
    "AVI) on SOURCE by reading it raw, byte for byte, and writes every file found\n"
    "into OUTDIR. A file whose deleted entry the file system still holds is\n"
    "written under its original name (flat, no folders), made safe: its last\n"
    "part only, control characters and those FAT refuses replaced by _, no\n"
    "leading dot, at most 247 bytes; the others are numbered in the order they\n"
    "were found (their order on the volume), each kind on its own counter:\n"
    "IMAGE_0001.JPG, IMAGE_0002.JPG, ... for JPEG photos, IMAGE_0001.HEIC, ...\n"
    "for HEIC photos, VIDEO_0001.MP4, VIDEO_0002.MOV, ... for videos (the\n"
    "extension from the video's header: MP4, MOV, 3GP or AVI). A photo of which\n"
    "only the top part could be recovered is named IMAGE_0007.partial.JPG:\n"
    "viewers show its top part and grey below.\n"
    "\n"
    "  SOURCE      a block device (for example /dev/sdb1) or an image file of one.\n"
    "              It is only ever opened for reading. Reading a device needs\n"
    "              membership of the 'disk' group or root; otherwise, in a desktop\n"
    "              session, the disk service (UDisks2) asks once for the\n"
    "              administrator's password.\n"
    "  OUTDIR      the folder for the recovered photos; created if missing. It must\n"
    "              not be on SOURCE itself: writing there can overwrite the very\n"
    "              photos being recovered. A file already there is never replaced:\n"
    "              a file whose name is taken by another file is saved under the\n"
    "              next free number after the highest IMAGE_NNNN (for photos) or\n"
    "              VIDEO_NNNN (for videos) in OUTDIR, or under its original name\n"
    "              with -2, -3, ... before the extension; a file already there\n"
    "              byte for byte is not written again.\n"
    "  --root DIR  first read the photo and video files under DIR (the volume's\n"
    "              files still present) so that those that still exist as files\n"
    "              are not written again. Without it, the mount point of SOURCE is used when\n"
    "              SOURCE is a mounted block device; otherwise the live files are\n"
    "              read from SOURCE's file system (FAT, exFAT, NTFS, ext2 to ext4).\n"
    "  --min-size BYTES  write only photos of at least BYTES bytes (thumbnails and\n"
    "              icons are smaller than photos).\n"
    "  --since DATE, --until DATE  write only photos taken on DATE (YYYY-MM-DD) or\n"
    "              later, or on DATE or earlier: the date in their EXIF data, else\n"
    "              the modification time their deleted entry kept. Photos with\n"
    "              neither are written whatever the dates.\n"
    "              Photos left out by these choices keep their numbers (the\n"
    "              others' names do not change) and are counted as skipped.\n"
    "  --kinds LIST  look only for these kinds of file, a comma-separated list of\n"
    "              jpeg, heic and video; photos stands for jpeg,heic, videos for\n"
    "              video, all (the default) for every kind. Kinds not looked for\n"
    "              are neither found nor counted; each kind keeps its numbers.\n"
    "  --list      list the removable volumes attached now, one a line: the\n"
    "              device node, a tab, its name, drive, size and file system, a\n"
    "              tab and its mount point (empty when not mounted). Exit 0; when\n"
    "              none is attached, stdout stays empty and stderr says so.\n"
    "  --version   show the version.\n"
    "  -h, --help  show this text.\n"
    "\n"
    "Each photo is written as soon as it is found. While scanning, a progress line\n"
    "(phase, per cent, MB/s, photos found, time left) is shown on stderr when it is\n"
    "a terminal. Ctrl-C (SIGINT) or SIGTERM stops the scan; the photos found so\n"
    "far are kept, and stderr says that the scan was stopped and how many photos\n"
    "were written. At the end exactly one line is printed on stdout:\n"
    "  found=N written=M failed=F unreadable_bytes=U renamed=R partial=P present=E named=A damaged=D\n"
    "  skipped=S videos=V heic=H\n"
    "where M counts the files written now, U the bytes of SOURCE that could not\n"
    "be read and were skipped, R the photos among the written ones saved under\n"
    "another name, P the photos of which only the top part could be recovered,\n"
    "E the photos not written because OUTDIR already held them byte for byte,\n"
    "A the photos that got their original name back, D the photos recovered\n"
    "whole whose data holds a few wrong bytes (they show a flaw where the bytes\n"
    "went wrong), S the files found but not written because --min-size,\n"
    "--since or --until left them out, and V and H the videos and HEIC photos\n"
    "among the N files found. N, M, F, R, E, A and S count files of every kind.\n"
    "\n"
    "When SOURCE holds a file system that cannot be read (damaged, too slow or\n"
    "listing more than it can hold), stderr says so and why; the scan goes on\n"
    "over the raw bytes: no photo gets its original name back and, without\n"
    "--root, photos still on SOURCE as files are written too. A damaged FAT32 or\n"
    "exFAT boot sector is read from its copy; after a quick format the old\n"
    "entries give the photos their old names.\n"
    "\n"
    "Exit status: 0 when every photo found was written (or was there already,\n"
    "or was left out by choice),\n"
    "1 when any write failed,\n"
    "2 for bad usage or an unusable SOURCE or OUTDIR, 130 when interrupted.\n";

int fail(const QString &message)
{
    std::fprintf(stderr, "velvora-scan: %s\n", qPrintable(message));
    return UnusableInput;
}

int usage_error(const QString &message)
{
    std::fprintf(stderr, "velvora-scan: %s\nTry 'velvora-scan --help' for more information.\n", qPrintable(message));
    return UnusableInput;
}

// An unknown option as it was typed, dashes and all: the parser keeps only its name.
QString option_as_typed(const QStringList &arguments, const QString &name)
{
    for (const QString &argument : arguments.mid(1)) {
        if (argument == QLatin1String("--"))
            break;
        const QString bare = argument.section(QLatin1Char('='), 0, 0);
        if (bare == QLatin1String("--") + name || bare == QLatin1Char('-') + name)
            return bare;
    }
    return (name.size() == 1 ? QStringLiteral("-") : QStringLiteral("--")) + name;
}

QString parse_error(const QCommandLineParser &parser, const QStringList &arguments)
{
    const QStringList unknown = parser.unknownOptionNames();
    if (unknown.isEmpty())
        return parser.errorText();
    return QStringLiteral("unknown option '%1'.").arg(option_as_typed(arguments, unknown.first()));
}

// The photos the options choose; false with why for a value that is no choice.
bool parse_filter(const QCommandLineParser &parser, const QCommandLineOption &min_size,
                  const QCommandLineOption &since, const QCommandLineOption &until, PhotoFilter *filter,
                  QString *error)
{
    if (parser.isSet(min_size)) {
        bool ok = false;
        filter->min_bytes = parser.value(min_size).toLongLong(&ok);
        if (!ok || filter->min_bytes < 0) {
            *error = QStringLiteral("--min-size takes a number of bytes, not '%1'.").arg(parser.value(min_size));
            return false;
        }
    }
    for (const auto &[option, day] : {std::pair{&since, &filter->since}, std::pair{&until, &filter->until}}) {
        if (!parser.isSet(*option))
            continue;
        *day = QDate::fromString(parser.value(*option), Qt::ISODate);
        if (!day->isValid()) {
            *error = QStringLiteral("--%1 takes a date as YYYY-MM-DD, not '%2'.")
                         .arg(option->names().constFirst(), parser.value(*option));
            return false;
        }
    }
    if (filter->since.isValid() && filter->until.isValid() && filter->since > filter->until) {
        *error = QStringLiteral("--since is later than --until: no photo could be written.");
        return false;
    }
    return true;
}

// Opens SOURCE once to learn its size and sector size, and to fail early.
bool describe_source(const QString &path, const RawAccess &access, RemovableDevice *device, QString *error)
{
    volume_platform::Failure failure = volume_platform::Failure::None;
    if (RemovableDevice::describe(path, access, device, &failure))
        return true;
    *error = failure == volume_platform::Failure::Other
        ? QStringLiteral("%1: the size of the volume could not be read.").arg(path)
        : QStringLiteral("%1: %2").arg(path, volume_platform::failure_text(failure));
    return false;
}

QString refusal_text(RecoverySession::Refusal refusal, const QString &out_dir)
{
    switch (refusal) {
    case RecoverySession::Refusal::None:
        return {};
    case RecoverySession::Refusal::OnScannedVolume:
        return QStringLiteral("%1 is on the volume being scanned; writing there can overwrite the very photos "
                              "being recovered. Choose a folder on another disk.")
            .arg(out_dir);
    case RecoverySession::Refusal::NotAFolder:
        return QStringLiteral("%1 exists and is not a folder.").arg(out_dir);
    case RecoverySession::Refusal::CannotCreate:
        return QStringLiteral("%1: the folder cannot be created.").arg(out_dir);
    case RecoverySession::Refusal::CannotWrite:
        break;
    }
    return QStringLiteral("%1: the folder cannot be written to.").arg(out_dir);
}

// The volumes the device page offers, one a line, for users and scripts.
int list_volumes(const RawAccess &access)
{
    const QMap<QString, RemovableDevice> devices = access.removable_devices();
    if (devices.isEmpty())
        std::fprintf(stderr, "velvora-scan: no removable volume is attached (insert a memory card or attach a camera).\n");
    for (const RemovableDevice &device : devices) {
        const QString text = device.display_text().replace(QLatin1Char('\n'), QStringLiteral(" | "));
        std::printf("%s\t%s\t%s\n", qPrintable(device.raw_path), qPrintable(text), qPrintable(device.root_path));
    }
    std::fflush(stdout);
    return AllWritten;
}

} // namespace

int main(int argc, char *argv[])
{
    volume_platform::limit_heap_growth();
    QCoreApplication app(argc, argv);
    // The image decoder's complaints about damaged photos are not for the
    // user's terminal: they would break up the progress line and summary.
    QLoggingCategory::setFilterRules(QStringLiteral("qt.gui.imageio*.warning=false"));
    QCoreApplication::setApplicationName(QStringLiteral("velvora-scan"));
    QCoreApplication::setApplicationVersion(QStringLiteral(VELVORA_VERSION));

    QCommandLineParser parser;
    const QCommandLineOption root_option(QStringLiteral("root"), QStringLiteral("Index the files under DIR first."),
                                         QStringLiteral("DIR"));
    const QCommandLineOption help_option({QStringLiteral("h"), QStringLiteral("help")},
                                         QStringLiteral("Show the help."));
    parser.addOption(root_option);
    const QCommandLineOption min_size_option(QStringLiteral("min-size"), QStringLiteral("Smallest photo written."),
                                             QStringLiteral("BYTES"));
    const QCommandLineOption since_option(QStringLiteral("since"), QStringLiteral("First day written."),
                                          QStringLiteral("DATE"));
    const QCommandLineOption until_option(QStringLiteral("until"), QStringLiteral("Last day written."),
                                          QStringLiteral("DATE"));
    const QCommandLineOption kinds_option(QStringLiteral("kinds"), QStringLiteral("Kinds looked for."),
                                          QStringLiteral("LIST"));
    parser.addOptions({min_size_option, since_option, until_option, kinds_option});
    const QCommandLineOption list_option(QStringLiteral("list"), QStringLiteral("List the removable volumes."));
    const QCommandLineOption version_option(QStringLiteral("version"), QStringLiteral("Show the version."));
    parser.addOption(help_option);
    parser.addOption(list_option);
    parser.addOption(version_option);
    parser.addPositionalArgument(QStringLiteral("SOURCE"), QStringLiteral("Device or image file."));
    parser.addPositionalArgument(QStringLiteral("OUTDIR"), QStringLiteral("Folder for the photos."));
    if (!parser.parse(QCoreApplication::arguments()))
        return usage_error(parse_error(parser, QCoreApplication::arguments()));
    if (parser.isSet(help_option)) {
        std::fputs(help_text, stdout);
        return AllWritten;
    }
    if (parser.isSet(version_option)) {
        std::printf("velvora-scan %s\n", VELVORA_VERSION);
        return AllWritten;
    }
    const QStringList positional = parser.positionalArguments();
    if (parser.isSet(list_option)) {
        if (!positional.isEmpty() || parser.isSet(root_option))
            return usage_error(QStringLiteral("--list takes no other arguments."));
        return list_volumes(RawAccess::with_system_bus());
    }
    if (positional.size() != 2)
        return usage_error(QStringLiteral("expected SOURCE and OUTDIR."));
    // QFileInfo would make an empty name the current folder
    if (positional[0].isEmpty())
        return usage_error(QStringLiteral("SOURCE is empty: give a device or an image file."));
    if (positional[1].isEmpty())
        return usage_error(QStringLiteral("OUTDIR is empty: give the folder for the recovered photos."));

    PhotoFilter filter;
    QString choice_error;
    if (!parse_filter(parser, min_size_option, since_option, until_option, &filter, &choice_error))
        return usage_error(choice_error);
    QList<MediaKind> kinds; // every kind unless chosen
    if (parser.isSet(kinds_option) && !PhotoFilter::parse_kinds(parser.value(kinds_option), &kinds))
        return usage_error(QStringLiteral("--kinds takes a list of jpeg, heic and video (or photos, videos, all), "
                                          "not '%1'.")
                               .arg(parser.value(kinds_option)));

    const QString source = QFileInfo(positional[0]).absoluteFilePath();
    const QString out_dir = QFileInfo(positional[1]).absoluteFilePath();
    // An ordinary user in a desktop session reads devices through the disk
    // service, once the administrator's password has been given.
    const RawAccess access = RawAccess::with_system_bus();
    QString error;
    RemovableDevice device;
    if (!describe_source(source, access, &device, &error))
        return fail(error);

    QString root_path = device.root_path;
    if (parser.isSet(root_option)) {
        root_path = parser.value(root_option);
        if (!volume_platform::probe_mount(root_path))
            return fail(QStringLiteral("%1: not a readable folder.").arg(root_path));
    } else if (!root_path.isEmpty() && !volume_platform::probe_mount(root_path)) {
        root_path.clear();
    }

    HeadlessScan scan(device, root_path, out_dir, access, kinds);
    if (const RecoverySession::Refusal refusal = scan.open_output(); refusal != RecoverySession::Refusal::None)
        return fail(refusal_text(refusal, out_dir));

    volume_platform::catch_interrupts();
    scan.set_filter(filter);
    const HeadlessScan::Summary summary = scan.run();
    const RecoverySession::Counts &counts = summary.counts;
    if (summary.source_failed)
        std::fprintf(stderr, "velvora-scan: %s: %s\n", qPrintable(source), qPrintable(summary.source_error));
    if (summary.interrupted)
        std::fprintf(stderr, "velvora-scan: stopped; %d photo%s written before the stop.\n", counts.written,
                     counts.written == 1 ? " was" : "s were");
    std::printf("found=%d written=%d failed=%d unreadable_bytes=%lld renamed=%d partial=%d present=%d named=%d "
                "damaged=%d skipped=%d videos=%d heic=%d\n",
                counts.found, counts.written, counts.failed, static_cast<long long>(summary.unreadable_bytes),
                counts.renamed, counts.partial, counts.present, counts.named, counts.damaged, summary.skipped,
                counts.videos, counts.heic);
    std::fflush(stdout);
    if (summary.interrupted)
        return Interrupted;
    if (summary.source_failed)
        return UnusableInput;
    return counts.failed > 0 ? SomeWritesFailed : AllWritten;
}
