// End to end: the real velvora-scan over the sample FAT32 card, and over
// loop devices, FUSE and tmpfs mounts where the machine allows.

#include "cardimage.h"
#include "testsupport.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>

using namespace testsupport;

namespace {

const QString scan_program = QStringLiteral(VELVORA_SCAN_PATH);

ProgramRun run_scan(const QStringList &arguments, bool unprivileged = false)
{
    QStringList command = QStringList{scan_program} + arguments;
    if (unprivileged)
        command = as_nobody(command);
    return run_program(command.takeFirst(), command);
}

QByteArray summary_line(int found, int written, int failed)
{
    return QStringLiteral("found=%1 written=%2 failed=%3 unreadable_bytes=0 renamed=0 partial=0\n").arg(found).arg(written).arg(failed).toLatin1();
}

} // namespace

class TestVelvoraScan : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void recovers_the_deleted_photos_byte_for_byte();
    void without_an_index_every_photo_is_written();
    void refusals_data();
    void refusals();
    void out_dir_on_the_scanned_volume_is_refused();
    void failed_write_leaves_no_file_and_the_run_goes_on();

private:
    QTemporaryDir scratch;
    SampleCard card;
};

void TestVelvoraScan::initTestCase()
{
    const QStringList missing = missing_tools({"mkfs.fat", "mcopy", "cjpeg", "exiftool"});
    if (!missing.isEmpty())
        QSKIP(qPrintable(QStringLiteral("needs %1 (run scripts/setup-debian.sh)").arg(missing.join(u' '))));
    QString error;
    QVERIFY2(card.make(scratch.path(), &error), qPrintable(error));
}

// With the live files indexed, exactly the deleted photos come out, byte for
// byte up to their end-of-image marker, in card order; symbolic links in the
// first names stay and are never followed: the photos go under the next
// free numbers and are counted as renamed.
void TestVelvoraScan::recovers_the_deleted_photos_byte_for_byte()
{
    QTemporaryDir work;
    const QString out = work.filePath("out"), precious = work.filePath("precious.txt");
    QVERIFY(QDir().mkpath(out));
    QVERIFY(write_file(precious, "keep me"));
    QVERIFY(QFile::link(precious, out + "/IMAGE_0001.JPG"));
    QVERIFY(QFile::link(work.filePath("nowhere.jpg"), out + "/IMAGE_0002.JPG"));

    const ProgramRun run = run_scan({"--root", card.live, card.image, out});
    QCOMPARE(run.exit_code, 0);
    const int deleted = int(card.deleted.size());
    QCOMPARE(run.out, summary_line(deleted, deleted, 0).replace("renamed=0", "renamed=" + QByteArray::number(deleted)));
    QCOMPARE(run.err, QByteArray()); // stderr is no terminal here: no progress line
    QVERIFY(QFileInfo(out + "/IMAGE_0001.JPG").isSymLink() && QFileInfo(out + "/IMAGE_0002.JPG").isSymLink());
    for (int i = 0; i < deleted; ++i) {
        const QString name = QString::asprintf("IMAGE_%04d.JPG", i + 3);
        QVERIFY(card.deleted[i].endsWith("\xFF\xD9"));
        QVERIFY2(read_file(out + '/' + name) == card.deleted[i], qPrintable(card.deleted_paths[i]));
    }
    QCOMPARE(entries_of(out).size(), deleted + 2);
    QCOMPARE(read_file(precious), QByteArray("keep me"));
    QCOMPARE(entries_of(work.path()), (QStringList{"out", "precious.txt"}));
}

// An image file has no mount point: without --root the live photos come out
// too, each as its JPEG stream (cut at its end-of-image marker when the file
// carries bytes after it). Run by another user over a read-only copy where
// the machine allows: the scan never asks for write access, and leaves the
// source as it was.
void TestVelvoraScan::without_an_index_every_photo_is_written()
{
    QTemporaryDir work;
    QVERIFY(open_for_writing(work.path()));
    const QString source = work.filePath("read-only.img"), out = work.filePath("out");
    QVERIFY(QFile::copy(card.image, source));
    QVERIFY(QFile::setPermissions(source, QFileDevice::ReadOwner | QFileDevice::ReadGroup | QFileDevice::ReadOther));
    const QByteArray before = QCryptographicHash::hash(read_file(source), QCryptographicHash::Sha256);
    const ProgramRun run = run_scan({source, out}, why_not_as_nobody().isEmpty());
    QCOMPARE(run.exit_code, 0);
    const int all = int(card.deleted.size() + card.live_paths.size());
    QCOMPARE(run.out, summary_line(all, all, 0));
    QCOMPARE(QCryptographicHash::hash(read_file(source), QCryptographicHash::Sha256), before);
    QList<QByteArray> photos;
    for (const QString &name : entries_of(out)) {
        photos.append(read_file(out + '/' + name));
        QVERIFY2(!QImage::fromData(photos.last(), "JPEG").isNull(), qPrintable(name));
    }
    QCOMPARE(photos.size(), all);
    for (const QString &path : std::as_const(card.live_paths)) {
        const QByteArray file = read_file(card.live + '/' + path);
        QVERIFY2(std::any_of(photos.cbegin(), photos.cend(),
                             [&](const QByteArray &photo) { return file == photo || (file.startsWith(photo) && photo.endsWith("\xFF\xD9")); }),
                 qPrintable(path));
    }
}

void TestVelvoraScan::refusals_data()
{
    // @card is the sample card, @/ the test's folder: CARD (a small image),
    // folder/, plain-file, private.img (root's, 0600) and locked/ (root's, 0755).
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<bool>("unprivileged");
    QTest::addColumn<QString>("said");
    const auto row = [](const char *name, const QStringList &arguments, const char *said, bool unprivileged = false) {
        QTest::newRow(name) << arguments << unprivileged << QString::fromUtf8(said);
    };
    row("no operands", {}, "velvora-scan");
    row("only SOURCE", {"@/CARD"}, "velvora-scan");
    row("three operands", {"@/CARD", "@/out", "@/more"}, "velvora-scan");
    row("unknown option", {"--fast", "@/CARD", "@/out"}, "velvora-scan");
    row("--root without DIR", {"--root"}, "velvora-scan");
    row("--list with operands", {"--list", "@/CARD"}, "velvora-scan");
    row("--root not a folder", {"--root", "@/no-such-dir", "@/CARD", "@/out"}, "not a readable folder");
    row("missing SOURCE", {"@/no-such-card.img", "@/out"}, "No such");
    row("a folder as SOURCE", {"@/folder", "@/out"}, "folder");
    row("OUTDIR is a file", {"@card", "@/plain-file"}, "plain-file exists and is not a folder");
    row("OUTDIR under a file", {"@card", "@/plain-file/out"}, "plain-file/out: the folder cannot be created");
    row("SOURCE this user may not read", {"@/private.img", "@/out"}, "membership of the 'disk' group or root", true);
    row("OUTDIR this user may not write", {"@card", "@/locked"}, "locked: the folder cannot be written to", true);
    row("OUTDIR this user may not create", {"@card", "@/locked/new"}, "locked/new: the folder cannot be created", true);
}

// Exit status 2, nothing on stdout, the reason on stderr, nothing written.
void TestVelvoraScan::refusals()
{
    QFETCH(QStringList, arguments);
    QFETCH(bool, unprivileged);
    QFETCH(QString, said);
    if (unprivileged && !why_not_as_nobody().isEmpty())
        QSKIP(qPrintable(why_not_as_nobody()));
    QTemporaryDir work;
    QVERIFY(open_to_everyone(work.path()));
    QVERIFY(write_file(work.filePath("CARD"), QByteArray(64 * 1024, '\0')) && open_to_everyone(work.filePath("CARD")));
    QVERIFY(write_file(work.filePath("plain-file"), "not a folder"));
    QVERIFY(QFile::copy(card.image, work.filePath("private.img")));
    QVERIFY(QFile::setPermissions(work.filePath("private.img"), QFileDevice::ReadOwner | QFileDevice::WriteOwner));
    QVERIFY(QDir(work.path()).mkdir("folder") && QDir(work.path()).mkdir("locked") && open_to_everyone(work.filePath("locked")));
    const QStringList before = entries_of(work.path());
    for (QString &argument : arguments)
        argument.replace("@card", card.image).replace("@/", work.path() + '/');

    const ProgramRun run = run_scan(arguments, unprivileged);
    QCOMPARE(run.exit_code, 2);
    QCOMPARE(run.out, QByteArray());
    QVERIFY2(QString::fromLocal8Bit(run.err).contains(said), run.err.constData());
    QCOMPARE(entries_of(work.path()), before);
    QCOMPARE(entries_of(work.filePath("locked")), QStringList());
    QCOMPARE(read_file(work.filePath("plain-file")), QByteArray("not a folder"));
}

void TestVelvoraScan::out_dir_on_the_scanned_volume_is_refused()
{
    const QString why_not = loop_unavailable_reason({"mkfs.exfat", "mount.exfat-fuse"});
    if (!why_not.isEmpty())
        QSKIP(qPrintable(why_not));
    QTemporaryDir work;
    const QString image = work.filePath("exfat.img"), point = work.filePath("mnt");
    QVERIFY(make_exfat_image(image, 16 * 1024 * 1024, "CARD") && QDir().mkpath(point));
    LoopDevice loop;
    if (!loop.attach(image) || !loop.mount_exfat(point))
        QSKIP("cannot attach and mount an exFAT image here");
    const QByteArray photo = qt_jpeg(make_picture(640, 480, 41)); // one live photo on the card
    QVERIFY(QDir(point).mkdir("DCIM") && write_file(point + "/DCIM/PHOTO.JPG", photo));
    QVERIFY(run_tool("sync", {}));

    // Refused for the device and for the image behind it, also through a
    // symbolic link, before anything is written.
    const QString link = work.filePath("link-to-card");
    QVERIFY(QFile::link(point + "/DCIM", link));
    for (const auto &[source, out] : QList<std::pair<QString, QString>>{{loop.node, point + "/out"},
                                                                       {image, point + "/out"},
                                                                       {loop.node, point + "/DCIM"},
                                                                       {image, link + "/new/out"}}) {
        const ProgramRun run = run_scan({source, out});
        QCOMPARE(run.exit_code, 2);
        QCOMPARE(run.out, QByteArray());
        QVERIFY2(run.err.contains("volume being scanned"), run.err.constData());
    }
    QCOMPARE(entries_of(point), QStringList{"DCIM"});
    QCOMPARE(entries_of(point + "/DCIM"), QStringList{"PHOTO.JPG"});

    // A folder beside the image is fine. The mounted device's files are
    // indexed through its mount point; the image file has none.
    QCOMPARE(run_scan({loop.node, work.filePath("from-device")}).out, summary_line(0, 0, 0));
    QCOMPARE(run_scan({image, work.filePath("from-image")}).out, summary_line(1, 1, 0));
    QCOMPARE(read_file(work.filePath("from-image/IMAGE_0001.JPG")), photo);
}

void TestVelvoraScan::failed_write_leaves_no_file_and_the_run_goes_on()
{
    // Links in the photos' places stay, and so does what they point at; the
    // photos go under the next free numbers.
    QTemporaryDir work;
    FatImage small_card;
    QVERIFY(small_card.create(work.filePath("card.img"), 40 * 1024 * 1024));
    const QList<QByteArray> photos{qt_jpeg(make_picture(200, 150, 51)), qt_jpeg(make_picture(1600, 1200, 52), 95),
                                   qt_jpeg(make_picture(200, 150, 53))};
    QVERIFY(photos[1].size() > 400 * 1024);
    for (int i = 0; i < 3; ++i)
        QVERIFY(small_card.put(QStringLiteral("/%1.JPG").arg(i), photos[i]));
    const QString out = work.filePath("small-disk");
    QVERIFY(QDir().mkpath(out));
    const TmpfsMount mount(out, "200k"); // room for the small photos only
    if (!mount.mounted())
        QSKIP("cannot mount a small tmpfs here (needs root)");

    const ProgramRun run = run_scan({small_card.path(), out});
    QCOMPARE(run.exit_code, 1);
    QCOMPARE(run.out, summary_line(3, 2, 1));
    QCOMPARE(entries_of(out), (QStringList{"IMAGE_0001.JPG", "IMAGE_0003.JPG"}));
    QCOMPARE(read_file(out + "/IMAGE_0001.JPG"), photos[0]);
    QCOMPARE(read_file(out + "/IMAGE_0003.JPG"), photos[2]);
}

QTEST_GUILESS_MAIN(TestVelvoraScan)
#include "tst_velvorascan.moc"
