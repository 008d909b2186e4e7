// End-to-end tests of velvora-scan: the real binary, run with QProcess over
// real card images made with mkfs.fat/mtools (and mkfs.exfat, loop devices and
// FUSE where the machine allows).

#include "testsupport.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>

using namespace testsupport;

namespace {

const QString scan_program = QStringLiteral(VELVORA_SCAN_PATH);
const QString photo_program = QStringLiteral(VELVORA_MAKE_PHOTO_PATH);
const QString card_script = QStringLiteral(VELVORA_SOURCE_DIR "/scripts/make-sample-card.sh");

struct Run
{
    int exit_code = -1;
    bool crashed = true;
    QByteArray out;
    QByteArray err;
};

Run run_program(const QString &program, const QStringList &arguments)
{
    QProcess process;
    process.start(program, arguments);
    Run run;
    if (!process.waitForStarted(10000)) {
        run.err = process.errorString().toLocal8Bit();
        return run;
    }
    if (!process.waitForFinished(300000)) {
        process.kill();
        process.waitForFinished();
        run.err = "timed out";
        return run;
    }
    run.crashed = process.exitStatus() != QProcess::NormalExit;
    run.exit_code = process.exitCode();
    run.out = process.readAllStandardOutput();
    run.err = process.readAllStandardError();
    return run;
}

Run run_scan(const QStringList &arguments)
{
    return run_program(scan_program, arguments);
}

const QStringList as_nobody = {QStringLiteral("--reuid=nobody"), QStringLiteral("--regid=nogroup"),
                               QStringLiteral("--clear-groups")};

// velvora-scan run as the unprivileged user nobody.
Run run_scan_as_nobody(const QStringList &arguments)
{
    return run_program(QStringLiteral("setpriv"), as_nobody + QStringList{scan_program} + arguments);
}

// Empty when the scanner can be run as nobody here, else why not.
QString why_not_as_nobody()
{
    if (!missing_tools({QStringLiteral("setpriv")}).isEmpty())
        return QStringLiteral("setpriv is not installed");
    const Run run = run_scan_as_nobody({QStringLiteral("--help")});
    if (run.crashed || run.exit_code != 0)
        return QStringLiteral("cannot run velvora-scan as nobody (needs root, and a build folder nobody can "
                              "reach): %1")
            .arg(QString::fromLocal8Bit(run.err.trimmed()));
    return {};
}

QByteArray summary_line(int found, int written, int failed)
{
    return QStringLiteral("found=%1 written=%2 failed=%3 unreadable_bytes=0 renamed=0 partial=0\n")
        .arg(found)
        .arg(written)
        .arg(failed)
        .toLatin1();
}

// Every entry of a folder, hidden ones included.
QStringList entries_of(const QString &directory)
{
    return QDir(directory).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                                     QDir::Name);
}

QStringList lines_of(const QString &path)
{
    return QString::fromUtf8(read_file(path)).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

// A folder anyone may enter: the scanner runs as nobody in some tests.
bool open_to_everyone(const QString &path)
{
    return QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner
                                           | QFileDevice::ReadGroup | QFileDevice::ExeGroup
                                           | QFileDevice::ReadOther | QFileDevice::ExeOther);
}

// What a helper program said when it failed.
QString failure_of(QProcess &process)
{
    const QString said = QString::fromLocal8Bit(process.readAllStandardError().trimmed());
    return said.isEmpty() ? process.errorString() : said;
}

// An image file attached to a loop device for as long as this object lives.
class LoopAttachment
{
public:
    explicit LoopAttachment(const QString &image)
    {
        QProcess process;
        process.start(QStringLiteral("losetup"), {QStringLiteral("-f"), QStringLiteral("--show"), image});
        if (process.waitForFinished(30000) && process.exitStatus() == QProcess::NormalExit
            && process.exitCode() == 0)
            node = QString::fromLocal8Bit(process.readAllStandardOutput().trimmed());
        else
            failure = failure_of(process);
    }
    ~LoopAttachment()
    {
        if (!node.isEmpty())
            run_tool(QStringLiteral("losetup"), {QStringLiteral("-d"), node});
    }
    LoopAttachment(const LoopAttachment &) = delete;
    LoopAttachment &operator=(const LoopAttachment &) = delete;

    QString node;
    QString failure;
};

// A file system mounted for as long as this object lives.
class Mount
{
public:
    Mount(const QString &program, const QStringList &arguments, const QString &mount_point)
    {
        QProcess process;
        process.start(program, arguments);
        if (process.waitForFinished(30000) && process.exitStatus() == QProcess::NormalExit
            && process.exitCode() == 0)
            point = mount_point;
        else
            failure = failure_of(process);
    }
    ~Mount()
    {
        if (!point.isEmpty() && !run_tool(QStringLiteral("umount"), {point}))
            run_tool(QStringLiteral("umount"), {QStringLiteral("-l"), point});
    }
    Mount(const Mount &) = delete;
    Mount &operator=(const Mount &) = delete;

    bool mounted() const { return !point.isEmpty(); }

    QString point;
    QString failure;
};

} // namespace

class VelvoraScanTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void sampleCardWithLiveFilesIndexed();
    void sampleCardWithoutIndex();
    void progressLineOnTerminal();
    void readOnlyImageIsEnough();
    void help();

    void usageErrors_data();
    void usageErrors();
    void unusableSource_data();
    void unusableSource();
    void unreadableSource();
    void unusableOutDir();
    void unwritableOutDirAsUnprivilegedUser();
    void outDirOnScannedVolumeRefused();
    void namesTakenInOutDirAreNeverReplaced();
    void failedWriteLeavesNoFileAndRunGoesOn();

private:
    QString card() const { return scratch.filePath(QStringLiteral("card/card.img")); }
    QString live_files() const { return scratch.filePath(QStringLiteral("live")); }
    QString expected(const QString &name) const { return card() + QStringLiteral(".expected/") + name; }

    QTemporaryDir scratch;
    QStringList deleted_paths;
    QStringList live_paths;
};

void VelvoraScanTest::initTestCase()
{
    QVERIFY(scratch.isValid());
    QVERIFY2(QFileInfo(scan_program).isExecutable(), qPrintable(scan_program));
    const QStringList missing = missing_tools({QStringLiteral("mkfs.fat"), QStringLiteral("mcopy"),
                                               QStringLiteral("cjpeg"), QStringLiteral("exiftool")});
    if (!missing.isEmpty())
        QSKIP(qPrintable(QStringLiteral("needs %1 (run scripts/setup-debian.sh)").arg(missing.join(u' '))));

    QVERIFY(open_to_everyone(scratch.path()));
    QVERIFY(QDir(scratch.path()).mkpath(QStringLiteral("card")));
    QVERIFY(open_to_everyone(scratch.filePath(QStringLiteral("card"))));
    QProcess maker;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("VELVORA_MAKE_PHOTO"), photo_program);
    maker.setProcessEnvironment(environment);
    maker.start(QStringLiteral("bash"), {card_script, card()});
    QVERIFY(maker.waitForFinished(120000));
    QVERIFY2(maker.exitStatus() == QProcess::NormalExit && maker.exitCode() == 0,
             maker.readAllStandardError().constData());

    deleted_paths = lines_of(expected(QStringLiteral("deleted.txt")));
    live_paths = lines_of(expected(QStringLiteral("live.txt")));
    QVERIFY(deleted_paths.size() >= 4);
    QVERIFY(live_paths.size() >= 4);

    // What is still on the card as files, copied off it the way a user would.
    QVERIFY(QDir().mkpath(live_files()));
    QVERIFY(run_tool(QStringLiteral("mcopy"),
                     {QStringLiteral("-s"), QStringLiteral("-n"), QStringLiteral("-i"), card(),
                      QStringLiteral("::/*"), live_files()}));
    for (const QString &path : std::as_const(live_paths))
        QVERIFY2(QFileInfo::exists(live_files() + u'/' + path), qPrintable(path));
    for (const QString &path : std::as_const(deleted_paths))
        QVERIFY2(!QFileInfo::exists(live_files() + u'/' + path), qPrintable(path));
}

void VelvoraScanTest::sampleCardWithLiveFilesIndexed()
{
    const QString out = scratch.filePath(QStringLiteral("recovered-indexed"));
    const Run run = run_scan({QStringLiteral("--root"), live_files(), card(), out});
    QVERIFY2(!run.crashed, run.err.constData());
    QCOMPARE(run.exit_code, 0);
    QCOMPARE(run.out, summary_line(int(deleted_paths.size()), int(deleted_paths.size()), 0));
    // stderr is no terminal here, so it carries no progress line
    QCOMPARE(run.err, QByteArray());

    // Exactly the deleted photos, byte for byte up to their end-of-image
    // marker, numbered in the order they lie on the card.
    QStringList names;
    for (int i = 1; i <= deleted_paths.size(); ++i)
        names.append(QString::asprintf("IMAGE_%04d.JPG", i));
    QCOMPARE(entries_of(out), names);
    for (int i = 0; i < deleted_paths.size(); ++i) {
        const QByteArray original =
            read_file(expected(QStringLiteral("deleted/") + QFileInfo(deleted_paths[i]).fileName()));
        QVERIFY(original.endsWith("\xFF\xD9"));
        QVERIFY2(read_file(QDir(out).filePath(names[i])) == original, qPrintable(deleted_paths[i]));
    }
}

void VelvoraScanTest::sampleCardWithoutIndex()
{
    // An image file has no mount point, so without --root nothing is indexed
    // and the live photos are written too.
    const QString out = scratch.filePath(QStringLiteral("recovered-all"));
    const Run run = run_scan({card(), out});
    QCOMPARE(run.exit_code, 0);
    const int all = int(deleted_paths.size() + live_paths.size());
    QCOMPARE(run.out, summary_line(all, all, 0));

    const QStringList written = entries_of(out);
    QCOMPARE(written.size(), all);
    QList<QByteArray> photos;
    for (const QString &name : written) {
        photos.append(read_file(QDir(out).filePath(name)));
        QImage decoded;
        QVERIFY2(decoded.loadFromData(photos.last(), "JPEG"), qPrintable(name));
    }
    // Each live photo comes out as its JPEG stream: whole, or cut at its
    // end-of-image marker when the file carries bytes after it.
    for (const QString &path : std::as_const(live_paths)) {
        const QByteArray file = read_file(live_files() + u'/' + path);
        const bool present = std::any_of(photos.cbegin(), photos.cend(), [&](const QByteArray &photo) {
            return file == photo || (file.startsWith(photo) && photo.endsWith("\xFF\xD9"));
        });
        QVERIFY2(present, qPrintable(path));
    }
}

void VelvoraScanTest::progressLineOnTerminal()
{
    if (!missing_tools({QStringLiteral("script")}).isEmpty())
        QSKIP("needs script (bsdutils) to give the scanner a terminal");
    const QString out = scratch.filePath(QStringLiteral("recovered-on-terminal"));
    auto quoted = [](const QString &text) { return u'\'' + text + u'\''; };
    const QString command = QStringList{quoted(scan_program), QStringLiteral("--root"), quoted(live_files()),
                                        quoted(card()), quoted(out)}
                                .join(u' ');
    const Run run = run_program(QStringLiteral("script"),
                                {QStringLiteral("-qec"), command, QStringLiteral("/dev/null")});
    QCOMPARE(run.exit_code, 0);
    // Both phases are shown on one line redrawn with carriage returns; the
    // summary follows on a line of its own.
    const QList<QByteArray> redraws = run.out.split('\r');
    const auto shows = [&](const QByteArray &text) {
        return std::any_of(redraws.cbegin(), redraws.cend(),
                           [&](const QByteArray &line) { return line.startsWith(text); });
    };
    QVERIFY2(shows("Indexing existing files"), run.out.constData());
    QVERIFY2(shows("Scanning 100.00%"), run.out.constData());
    const QByteArray last_line = *std::find_if(redraws.crbegin(), redraws.crend(), [](const QByteArray &line) {
        return line.startsWith("Scanning");
    });
    QVERIFY2(last_line.contains(QByteArray::number(deleted_paths.size()) + " photos"), last_line.constData());
    QVERIFY2(run.out.endsWith("\n" + summary_line(int(deleted_paths.size()), int(deleted_paths.size()), 0)
                                          .replace("\n", "\r\n")),
             run.out.constData());
}

void VelvoraScanTest::readOnlyImageIsEnough()
{
    // A read-only image, scanned by a user who may not write to it: the scan
    // never asks for write access, and leaves the image as it was.
    const QString why_not = why_not_as_nobody();
    const bool as_root = why_not.isEmpty();
    QTemporaryDir work;
    QVERIFY(open_to_everyone(work.path()));
    const QString source = work.filePath(QStringLiteral("read-only.img"));
    QVERIFY(QFile::copy(card(), source));
    QVERIFY(QFile::setPermissions(source, QFileDevice::ReadOwner | QFileDevice::ReadGroup | QFileDevice::ReadOther));
    if (!as_root && QFile(source).open(QIODevice::ReadWrite))
        QSKIP(qPrintable(QStringLiteral("this user may write to any file, and %1").arg(why_not)));
    const QByteArray before = QCryptographicHash::hash(read_file(source), QCryptographicHash::Sha256);
    const QString outs = work.filePath(QStringLiteral("outs"));
    QVERIFY(QDir().mkpath(outs));
    QVERIFY(QFile::setPermissions(outs, QFileDevice::Permissions(0x7777)));
    const QString out = outs + QStringLiteral("/out");

    const Run run = as_root ? run_scan_as_nobody({source, out}) : run_scan({source, out});
    QCOMPARE(run.exit_code, 0);
    const int all = int(deleted_paths.size() + live_paths.size());
    QCOMPARE(run.out, summary_line(all, all, 0));
    QCOMPARE(entries_of(out).size(), all);
    QCOMPARE(QCryptographicHash::hash(read_file(source), QCryptographicHash::Sha256), before);
}

void VelvoraScanTest::help()
{
    const Run run = run_scan({QStringLiteral("--help")});
    QCOMPARE(run.exit_code, 0);
    const QString text = QString::fromUtf8(run.out);
    QVERIFY(text.contains(QLatin1String("velvora-scan [--root DIR] SOURCE OUTDIR")));
    QVERIFY(text.contains(QLatin1String("found=N written=M failed=F unreadable_bytes=U renamed=R partial=P")));
    QVERIFY(text.contains(QLatin1String("Exit status")));
    QVERIFY(text.contains(QLatin1String("'disk' group")));
    QVERIFY(text.contains(QLatin1String("IMAGE_0001.JPG")));
}

void VelvoraScanTest::usageErrors_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("nothing") << QStringList{};
    QTest::newRow("only SOURCE") << QStringList{QStringLiteral("CARD")};
    QTest::newRow("three operands") << QStringList{QStringLiteral("CARD"), QStringLiteral("OUT"), QStringLiteral("MORE")};
    QTest::newRow("unknown option") << QStringList{QStringLiteral("--fast"), QStringLiteral("CARD"), QStringLiteral("OUT")};
    QTest::newRow("--root without DIR") << QStringList{QStringLiteral("--root")};
}

void VelvoraScanTest::usageErrors()
{
    QFETCH(QStringList, arguments);
    QTemporaryDir work;
    QVERIFY(write_file(work.filePath(QStringLiteral("CARD")), QByteArray(64 * 1024, '\0')));
    QProcess process;
    process.setWorkingDirectory(work.path());
    process.start(scan_program, arguments);
    QVERIFY(process.waitForFinished(60000));
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), 2);
    QCOMPARE(process.readAllStandardOutput(), QByteArray());
    QVERIFY(process.readAllStandardError().contains("velvora-scan"));
    QCOMPARE(entries_of(work.path()), QStringList{QStringLiteral("CARD")});
}

void VelvoraScanTest::unusableSource_data()
{
    QTest::addColumn<QString>("source");
    QTest::addColumn<QString>("reason");
    QTest::newRow("missing") << QStringLiteral("no-such-card.img") << QStringLiteral("No such");
    QTest::newRow("a folder") << QStringLiteral("folder") << QStringLiteral("folder");
}

void VelvoraScanTest::unusableSource()
{
    QFETCH(QString, source);
    QFETCH(QString, reason);
    QTemporaryDir work;
    QVERIFY(QDir(work.path()).mkdir(QStringLiteral("folder")));
    const QString out = work.filePath(QStringLiteral("out"));
    const Run run = run_scan({work.filePath(source), out});
    QCOMPARE(run.exit_code, 2);
    QCOMPARE(run.out, QByteArray());
    QCOMPARE(run.err.count('\n'), 1);
    QVERIFY2(run.err.contains(source.toLocal8Bit()), run.err.constData());
    if (!reason.isEmpty())
        QVERIFY2(QString::fromLocal8Bit(run.err).contains(reason, Qt::CaseInsensitive), run.err.constData());
    QVERIFY(!QFileInfo::exists(out));
}

void VelvoraScanTest::unreadableSource()
{
    // As root the scanner runs as nobody over a root-owned 0600 image; as
    // anyone else over an image of their own they may not read.
    const QString why_not = why_not_as_nobody();
    const bool as_root = why_not.isEmpty();
    QTemporaryDir work;
    QVERIFY(open_to_everyone(work.path()));
    const QString source = work.filePath(QStringLiteral("private.img"));
    QVERIFY(QFile::copy(card(), source));
    const QFileDevice::Permissions private_mode =
        as_root ? QFileDevice::ReadOwner | QFileDevice::WriteOwner : QFileDevice::WriteOwner;
    QVERIFY(QFile::setPermissions(source, private_mode));
    if (!as_root && QFile(source).open(QIODevice::ReadOnly))
        QSKIP(qPrintable(QStringLiteral("this user may read any file, and %1").arg(why_not)));
    const QString outs = work.filePath(QStringLiteral("outs"));
    QVERIFY(QDir().mkpath(outs));
    QVERIFY(QFile::setPermissions(outs, QFileDevice::Permissions(0x7777)));
    const QString out = outs + QStringLiteral("/out");

    const Run run = as_root ? run_scan_as_nobody({source, out}) : run_scan({source, out});
    QCOMPARE(run.exit_code, 2);
    QCOMPARE(run.out, QByteArray());
    const QString message = QString::fromLocal8Bit(run.err);
    QVERIFY2(message.contains(QLatin1String("permission"), Qt::CaseInsensitive), qPrintable(message));
    QVERIFY2(message.contains(QLatin1String("disk")) && message.contains(QLatin1String("root")),
             qPrintable(message));
    QVERIFY(!QFileInfo::exists(out));
}

void VelvoraScanTest::unusableOutDir()
{
    QTemporaryDir work;
    const QString plain_file = work.filePath(QStringLiteral("plain-file"));
    QVERIFY(write_file(plain_file, "not a folder"));

    for (const QString &out : {plain_file, plain_file + QStringLiteral("/out")}) {
        const Run run = run_scan({card(), out});
        QCOMPARE(run.exit_code, 2);
        QCOMPARE(run.out, QByteArray());
        QVERIFY2(run.err.contains(out.toLocal8Bit()), run.err.constData());
    }
    QCOMPARE(read_file(plain_file), QByteArray("not a folder"));
    QCOMPARE(entries_of(work.path()), QStringList{QStringLiteral("plain-file")});
}

void VelvoraScanTest::unwritableOutDirAsUnprivilegedUser()
{
    const QString why = why_not_as_nobody();
    if (!why.isEmpty())
        QSKIP(qPrintable(why));
    // The folder belongs to root and is not writable by others.
    QTemporaryDir work;
    QVERIFY(open_to_everyone(work.path()));
    const QString source = work.filePath(QStringLiteral("card.img"));
    QVERIFY(QFile::copy(card(), source));
    QVERIFY(open_to_everyone(source));
    const QString existing = work.filePath(QStringLiteral("existing"));
    QVERIFY(QDir().mkpath(existing));
    QVERIFY(open_to_everyone(existing));

    // "Cannot be written" for a folder that exists, "cannot be created" for one
    // that would have to be made in a folder nobody may write to.
    for (const QString &out : {existing, work.filePath(QStringLiteral("new"))}) {
        const Run run = run_scan_as_nobody({source, out});
        QCOMPARE(run.exit_code, 2);
        // No summary: the run stopped before scanning.
        QCOMPARE(run.out, QByteArray());
        QVERIFY2(run.err.contains(out.toLocal8Bit()), run.err.constData());
    }
    QCOMPARE(entries_of(existing), QStringList());
    QVERIFY(!QFileInfo::exists(work.filePath(QStringLiteral("new"))));
}

void VelvoraScanTest::outDirOnScannedVolumeRefused()
{
    const QStringList missing =
        missing_tools({QStringLiteral("losetup"), QStringLiteral("mkfs.exfat"), QStringLiteral("mount.exfat-fuse")});
    if (!missing.isEmpty())
        QSKIP(qPrintable(QStringLiteral("needs %1").arg(missing.join(u' '))));
    if (!QFileInfo::exists(QStringLiteral("/dev/fuse")))
        QSKIP("FUSE is not available here (no /dev/fuse)");

    QTemporaryDir work;
    const QString image = work.filePath(QStringLiteral("exfat.img"));
    {
        QFile file(image);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.resize(16 * 1024 * 1024));
    }
    QVERIFY(run_tool(QStringLiteral("mkfs.exfat"), {image}));
    const LoopAttachment loop(image);
    if (loop.node.isEmpty())
        QSKIP(qPrintable(QStringLiteral("loop devices are not available here: %1").arg(loop.failure)));
    const QString point = work.filePath(QStringLiteral("mnt"));
    QVERIFY(QDir().mkpath(point));
    const Mount mount(QStringLiteral("mount.exfat-fuse"), {loop.node, point}, point);
    if (!mount.mounted())
        QSKIP(qPrintable(QStringLiteral("cannot mount with exfat-fuse here: %1").arg(mount.failure)));

    // One photo on the card, as a live file.
    const QByteArray photo = qt_jpeg(make_picture(640, 480, 41));
    QVERIFY(QDir(point).mkdir(QStringLiteral("DCIM")));
    QVERIFY(write_file(point + QStringLiteral("/DCIM/PHOTO.JPG"), photo));
    QVERIFY(run_tool(QStringLiteral("sync"), {}));

    // Refused for the device and for the image file behind it, also when the
    // way there leads through a symbolic link, before anything is written.
    const QString link = work.filePath(QStringLiteral("link-to-card"));
    QVERIFY(QFile::link(point + QStringLiteral("/DCIM"), link));
    const QList<std::pair<QString, QString>> refused = {
        {loop.node, point + QStringLiteral("/out")},
        {image, point + QStringLiteral("/out")},
        {loop.node, point + QStringLiteral("/DCIM")},
        {image, link + QStringLiteral("/new/out")},
    };
    for (const auto &[source, out] : refused) {
        const Run run = run_scan({source, out});
        QCOMPARE(run.exit_code, 2);
        QCOMPARE(run.out, QByteArray());
        QVERIFY2(run.err.contains("volume being scanned"), run.err.constData());
    }
    QCOMPARE(entries_of(point), QStringList{QStringLiteral("DCIM")});
    QCOMPARE(entries_of(point + QStringLiteral("/DCIM")), QStringList{QStringLiteral("PHOTO.JPG")});

    // A folder beside the image file is fine. The mounted device's files are
    // indexed through its mount point, so its live photo is not offered; the
    // image file has no mount point, so the photo is written.
    const QString beside_device = work.filePath(QStringLiteral("from-device"));
    const Run device_run = run_scan({loop.node, beside_device});
    QCOMPARE(device_run.exit_code, 0);
    QCOMPARE(device_run.out, summary_line(0, 0, 0));

    const QString beside_image = work.filePath(QStringLiteral("from-image"));
    const Run image_run = run_scan({image, beside_image});
    QCOMPARE(image_run.exit_code, 0);
    QCOMPARE(image_run.out, summary_line(1, 1, 0));
    QCOMPARE(read_file(beside_image + QStringLiteral("/IMAGE_0001.JPG")), photo);
}

void VelvoraScanTest::namesTakenInOutDirAreNeverReplaced()
{
    // Links in the photos' places stay, and so does what they point at; the
    // photos go under the next free numbers.
    QTemporaryDir work;
    const QString out = work.filePath(QStringLiteral("out"));
    QVERIFY(QDir().mkpath(out));
    const QString precious = work.filePath(QStringLiteral("precious.txt"));
    QVERIFY(write_file(precious, "keep me"));
    const QString nowhere = work.filePath(QStringLiteral("nowhere.jpg"));
    QVERIFY(QFile::link(precious, out + QStringLiteral("/IMAGE_0001.JPG")));
    QVERIFY(QFile::link(nowhere, out + QStringLiteral("/IMAGE_0002.JPG")));

    const Run run = run_scan({QStringLiteral("--root"), live_files(), card(), out});
    QCOMPARE(run.exit_code, 0);
    const int all = int(deleted_paths.size());
    QCOMPARE(run.out, summary_line(all, all, 0).replace("renamed=0", "renamed=" + QByteArray::number(all)));
    QVERIFY(QFileInfo(out + QStringLiteral("/IMAGE_0001.JPG")).isSymLink());
    QVERIFY(QFileInfo(out + QStringLiteral("/IMAGE_0002.JPG")).isSymLink());
    for (int i = 0; i < all; ++i)
        QCOMPARE(read_file(out + QString::asprintf("/IMAGE_%04d.JPG", i + 3)),
                 read_file(expected(QStringLiteral("deleted/") + QFileInfo(deleted_paths[i]).fileName())));
    QCOMPARE(read_file(precious), QByteArray("keep me"));
    QVERIFY(!QFileInfo::exists(nowhere));
}

void VelvoraScanTest::failedWriteLeavesNoFileAndRunGoesOn()
{
    // A small, a large and a small photo; the output folder has room for the
    // small ones only.
    QTemporaryDir work;
    FatImage card_image;
    QVERIFY(card_image.create(work.filePath(QStringLiteral("card.img")), 40 * 1024 * 1024));
    const QByteArray small_one = qt_jpeg(make_picture(200, 150, 51));
    const QByteArray large = qt_jpeg(make_picture(1600, 1200, 52), 95);
    const QByteArray small_two = qt_jpeg(make_picture(200, 150, 53));
    QVERIFY(large.size() > 400 * 1024);
    QVERIFY(card_image.put(QStringLiteral("/A.JPG"), small_one));
    QVERIFY(card_image.put(QStringLiteral("/B.JPG"), large));
    QVERIFY(card_image.put(QStringLiteral("/C.JPG"), small_two));

    const QString out = work.filePath(QStringLiteral("small-disk"));
    QVERIFY(QDir().mkpath(out));
    const Mount mount(QStringLiteral("mount"),
                      {QStringLiteral("-t"), QStringLiteral("tmpfs"), QStringLiteral("-o"), QStringLiteral("size=200k"),
                       QStringLiteral("tmpfs"), out},
                      out);
    if (!mount.mounted())
        QSKIP(qPrintable(QStringLiteral("cannot mount a small tmpfs here: %1").arg(mount.failure)));

    const Run run = run_scan({card_image.path(), out});
    QCOMPARE(run.exit_code, 1);
    QCOMPARE(run.out, summary_line(3, 2, 1));
    QCOMPARE(entries_of(out), (QStringList{QStringLiteral("IMAGE_0001.JPG"), QStringLiteral("IMAGE_0003.JPG")}));
    QCOMPARE(read_file(out + QStringLiteral("/IMAGE_0001.JPG")), small_one);
    QCOMPARE(read_file(out + QStringLiteral("/IMAGE_0003.JPG")), small_two);
}

QTEST_GUILESS_MAIN(VelvoraScanTest)
#include "tst_velvorascan.moc"
