// The removable-device listing and velvora-scan end to end: the sample FAT32 card
// byte for byte, refusals, a full folder, and a user outside the disk group who
// reads a card through UDisks2 (a stand-in), also in the window (this program again).

#include "cameracard.h"
#include "cardimage.h"
#include "deviceenumeration.h"
#include "rawaccess.h"
#include "sysfsvolumetable.h"
#include "udisksclient.h"
#include "udisksstandin.h"
#include "windowdriver.h"

#include <QTemporaryDir>
#include <QtTest>

#include <optional>

using namespace testsupport;
using volume_platform::Failure;
using volume_platform::VolumeInfo;

namespace {

constexpr qint64 MiB = 1024 * 1024;

// velvora-scan (or program) as this user or as nobody, with bus as its system bus when given.
ProgramRun run_scan(const QStringList &arguments, bool unprivileged = false, const QString &bus = {},
                    const QString &program = VELVORA_SCAN_PATH)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    if (!bus.isEmpty())
        environment.insert("DBUS_SYSTEM_BUS_ADDRESS", bus);
    QStringList command = unprivileged ? as_nobody(QStringList{program} + arguments) : QStringList{program} + arguments;
    return run_program(command.takeFirst(), command, environment);
}

QByteArray summary(int found, int written, int failed = 0, int named = 0, int partial = 0, int damaged = 0,
                   int videos = 0, int heic = 0)
{
    return QString::asprintf("found=%d written=%d failed=%d unreadable_bytes=0 renamed=0 partial=%d present=0 named=%d damaged=%d skipped=0 videos=%d heic=%d\n",
                             found, written, failed, partial, named, damaged, videos, heic).toLatin1();
}

// One sorted line per volume: node, drive, label, file system, mount point, size, sector size, identity.
QStringList described(const QList<VolumeInfo> &volumes, int fields = 8)
{
    QStringList lines;
    for (const VolumeInfo &v : volumes)
        lines.append(QStringList{v.raw_path, v.drive, v.label, v.file_system, v.root_path, QString::number(v.size),
                                 QString::number(v.bytes_per_sector), QString::number(v.identity)}
                         .mid(0, fields).join(" | "));
    lines.sort();
    return lines;
}

QList<QByteArray> photos_in(const QString &directory)
{
    QList<QByteArray> photos;
    for (const QString &name : entries_of(directory))
        photos.append(read_file(directory + '/' + name));
    return photos;
}

// The window as main() builds it, run as nobody: "Next" on node, "Restore..." of every photo into out_dir.
int window_run(const QString &node, const QString &out_dir)
{
    using namespace windowtest;
    const RawAccess access = RawAccess::with_system_bus();
    MainWindow window(nullptr, [access] { return access.removable_devices(); }, access);
    ModalAnswerer answers;
    QString said = QString("listed=%1").arg(int(pick_device(window, node)));
    QCoreApplication::processEvents();
    for (ModalAnswerer::Seen &seen : answers.seen)
        said += " message=" + seen.text.replace('\n', " | ");
    if (page_of(window) == scan_page) {
        for (QDeadlineTimer deadline(120000); status_of(window) != "Scanning finished" && !deadline.hasExpired();)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        said += QString(" found=%1").arg(count_of(results_of(window)));
        answers.choose_directory(out_dir);
        click(window, ui::restore);
    }
    const char *pages[] = {"devices", "scan", "final"};
    std::printf("%s page=%s\n", qPrintable(said), pages[page_of(window)]);
    return 0;
}

} // namespace

class TestDevices : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void laptop_lists_cards_sticks_and_images_data();
    void laptop_lists_cards_sticks_and_images();
    void service_lists_what_a_user_would_pick();
    void unprivileged_user_reads_through_the_service();
    void rebound_loop_device_is_another_device();
    void recovers_the_deleted_photos_byte_for_byte();
    void refusals_data();
    void refusals();
    void mounted_card_is_indexed_through_its_mount_point();
    void full_folder_fails_a_photo_and_goes_on_data();
    void full_folder_fails_a_photo_and_goes_on();
    void camera_cards_data();
    void camera_cards();

private:
    QTemporaryDir scratch, work; // the sample card; the refusals' folder
    SampleCard card;
    QString card_error, exfat_error;
    LoopDevice exfat; // an exFAT card mounted on work/mnt
    PrivateBus bus;
};

void TestDevices::initTestCase()
{
    const QStringList missing = missing_tools({"mkfs.fat", "mcopy", "cjpeg", "exiftool"});
    card_error = missing.isEmpty() ? QString() : "needs " + missing.join(' ') + " (run scripts/setup-debian.sh)";
    if (card_error.isEmpty())
        QVERIFY2(card.make(scratch.path(), &card_error), qPrintable(card_error));
    // CARD (a small image), plain-file, private.img (root's, 0600), folder/,
    // locked/ (root's, 0755), and an exFAT card on mnt/ with a photo in DCIM/, also link-to-card
    QVERIFY(open_to_everyone(work.path()) && write_file(work.filePath("plain-file"), "not a folder"));
    QVERIFY(write_file(work.filePath("CARD"), QByteArray(64 * 1024, '\0')) && open_to_everyone(work.filePath("CARD")));
    QVERIFY(write_file(work.filePath("private.img"), QByteArray(4096, '\0')));
    QVERIFY(QFile::setPermissions(work.filePath("private.img"), QFileDevice::ReadOwner | QFileDevice::WriteOwner));
    QVERIFY(QDir(work.path()).mkdir("folder") && QDir(work.path()).mkdir("locked"));
    QVERIFY(open_to_everyone(work.filePath("locked")));
    exfat_error = loop_unavailable_reason({"mkfs.exfat", "mount.exfat-fuse"});
    const QString point = QFileInfo(work.path()).canonicalFilePath() + "/mnt";
    if (exfat_error.isEmpty() && (!make_exfat_image(work.filePath("exfat.img"), 16 * MiB, "CARD") || !QDir().mkpath(point)
                                  || !exfat.attach(work.filePath("exfat.img")) || !exfat.mount_exfat(point)))
        exfat_error = "cannot attach and mount an exFAT image here";
    if (exfat_error.isEmpty())
        QVERIFY(QDir(point).mkdir("DCIM") && write_file(point + "/DCIM/P.JPG", qt_jpeg(make_picture(640, 480, 41)))
                && run_tool("sync", {}) && QFile::link(point + "/DCIM", work.filePath("link-to-card")));
}

void TestDevices::laptop_lists_cards_sticks_and_images_data()
{
    QTest::addColumn<bool>("udev");
    QTest::addColumn<QStringList>("lines");
    QTest::newRow("from udev's database") << true << QStringList{
        "loop0 | loop0 | NO NAME | FAT16 | /mnt/failing | 2147483648 | 512",
        "mmcblk0 | mmcblk0 | CAMERA | exFAT | /media/anna/CAMERA CARD | 31914983424 | 512",
        "sdb1 | sdb1 | PHOTOS | FAT32 | /media/anna/PHOTOS | 10240393216 | 512",
        "sdb5 | sdb5 | MY CARD | exFAT |  | 5134876672 | 512"};
    // without udev, libblkid's probe names what it can read (here the card only)
    QTest::newRow("probed without udev") << false << QStringList{
        "loop0 | loop0 |  |  | /mnt/failing | 2147483648 | 512",
        "mmcblk0 | mmcblk0 | CAMERA | FAT32 | /media/anna/CAMERA CARD | 31914983424 | 512",
        "sdb1 | sdb1 |  |  | /media/anna/PHOTOS | 10240393216 | 512", "sdb5 | sdb5 |  |  |  | 5134876672 | 512"};
}

// Never listed: sdb itself (it has partitions) and sdb2 (an extended partition's
// container); sdc, a card reader without card; sdd, a USB disk holding /home under
// LUKS; sde, a USB stick holding /boot; sdf, a USB disk used for swap; sr0, a DVD;
// loop1, unbound; loop2, a snap's squashfs; the NVMe disk; dm-0, zram0 and ram0.
// The stick's first partition is mounted twice: the folder bind mount must not win.
void TestDevices::laptop_lists_cards_sticks_and_images()
{
    QFETCH(bool, udev);
    QFETCH(QStringList, lines);
    const QString root = VELVORA_FIXTURES_DIR "/laptop";
    SysfsVolumeTable::Roots roots{root + "/sys", root + "/mountinfo", root + "/swaps", root + "/udev/data", root + "/dev"};
    if (!udev)
        roots.udev_data = "/nonexistent/udev/data";
    QStringList probed;
    const SysfsVolumeTable table(roots, [&probed](const QString &node, SysfsVolumeTable::FileSystemId *id) {
        probed.append(node);
        if (node.endsWith("/mmcblk0"))
            *id = {"CAMERA", "vfat", "FAT32"};
        return node.endsWith("/mmcblk0"); // the others: unreadable, or no file system on them
    });
    QCOMPARE(described(table.volumes(), 7).replaceInStrings(root + "/dev/", ""), lines);
    QCOMPARE(probed.size(), udev ? 0 : 4); // udev knows every listed volume: nothing is probed
}

// A laptop as the disk service describes it: only cards, sticks and image files
// with a medium in them are listed, never the system's disks, an empty reader, a
// DVD, a live system's stick, a hidden stick, a snap, an extended partition.
void TestDevices::service_lists_what_a_user_would_pick()
{
    if (bus.address.isEmpty())
        QSKIP("dbus-daemon cannot be started here");
    {   // nothing attached: stdout stays empty for scripts, stderr says so
        UdisksStandIn none(bus.address, UdisksTree().objects);
        QVERIFY(none.publish());
        const ProgramRun list = run_scan({"--list"}, false, bus.address);
        QVERIFY2(list.exit_code == 0 && list.out.isEmpty() && list.err.contains("no removable volume is attached"), list.err.constData());
    }
    UdisksTree tree;
    const auto drive = [&](const char *name, const char *bus, QVariantMap more = {}) {
        more.insert("ConnectionBus", bus);
        more.insert("MediaAvailable", more.value("MediaAvailable", true)); // a reader says when it is empty
        return tree.drive(name, more);
    };
    const QDBusObjectPath ssd = drive("SSD", "sata"), stick = drive("Stick", "usb"), live = drive("Live", "usb");
    tree.block("/dev/sda", {.size = 500000 * MiB, .drive = ssd, .hint_system = true});
    tree.block("/dev/sda1", {.size = 4990 * MiB, .type = "ext4", .drive = ssd, .table = "/dev/sda", .mount_points = {{"/"}}});
    tree.block("/dev/sdb", {.size = 16000 * MiB, .drive = stick});
    tree.block("/dev/sdb1", {.size = 8000 * MiB, .label = "HOLIDAY", .type = "vfat", .version = "FAT32", .drive = stick,
                             .table = "/dev/sdb", .mount_points = {{"/media/anna/HOLIDAY", "/mnt/bind"}}});
    tree.block("/dev/sdb2", {.size = MiB, .drive = stick, .table = "/dev/sdb", .container = true});
    tree.block("/dev/sdb5", {.size = 7990 * MiB, .type = "exfat", .drive = stick, .table = "/dev/sdb"});
    tree.block("/dev/sdc", {.size = 1, .drive = drive("Reader", "usb", {{"MediaAvailable", false}})});
    tree.block("/dev/sr0", {.size = 4700 * MiB, .type = "iso9660", .drive = drive("DVD", "sata", {{"Removable", true}, {"Optical", true}})});
    tree.block("/dev/mmcblk0", {.size = 64000 * MiB, .label = "EOS_DIGITAL", .type = "exfat", .drive = drive("SD", "sdio")});
    tree.block("/dev/sdg", {.size = 8000 * MiB, .drive = live});
    tree.block("/dev/sdg1", {.size = 3000 * MiB, .type = "ext4", .drive = live, .table = "/dev/sdg", .mount_points = {{"/"}}});
    tree.block("/dev/sdg2", {.size = 5000 * MiB, .type = "vfat", .drive = live, .table = "/dev/sdg"});
    tree.block("/dev/sdh", {.size = 2000 * MiB, .type = "vfat", .drive = drive("Marked", "usb"), .hint_system = true});
    tree.block("/dev/sdd", {.size = 1000 * MiB, .type = "vfat", .drive = drive("Hidden", "usb"), .hint_ignore = true});
    tree.block("/dev/loop0", {.size = 50 * MiB, .type = "squashfs", .backing_file = "/var/lib/snapd/snaps/core_1.snap"});
    tree.block("/dev/loop1", {.size = 64 * MiB, .label = "CARD", .type = "vfat", .version = "FAT32", .backing_file = "/home/anna/card.img"});
    tree.block("/dev/loop2", {.size = 64 * MiB, .backing_file = ""});
    UdisksStandIn service(bus.address, tree.objects);
    QVERIFY(service.publish());
    const auto listed = UdisksClient(QDBusConnection::connectToBus(bus.address, "lister")).list_volumes();
    QDBusConnection::disconnectFromBus("lister");
    QCOMPARE(described(listed.value_or(QList<VolumeInfo>()), 6),
             (QStringList{"/dev/loop1 | loop1 | CARD | FAT32 |  | 67108864",
                          "/dev/mmcblk0 | mmcblk0 | EOS_DIGITAL | exFAT |  | 67108864000",
                          "/dev/sdb1 | sdb1 | HOLIDAY | FAT32 | /media/anna/HOLIDAY | 8388608000",
                          "/dev/sdb5 | sdb5 |  | exFAT |  | 8378122240"}));
}

// The sample card on a loop device with 4096-byte sectors that nobody may read: a
// cancelled prompt is said as such, by velvora-scan and the window; the service lists
// the card as sysfs does; after one accepted prompt a run, every photo comes back.
void TestDevices::unprivileged_user_reads_through_the_service()
{
    QStringList why_not{bus.address.isEmpty() ? "dbus-daemon cannot be started here" : "", loop_unavailable_reason(),
                        why_not_as_nobody(), card_error};
    if (why_not.removeAll(QString()) < 4)
        QSKIP(qPrintable(why_not.join("; ")));
    LoopDevice loop;
    QVERIFY(loop.attach(card.image, {"-b", "4096"}));
    UdisksTree tree;
    const QDBusObjectPath object = tree.block(loop.node, {.size = QFileInfo(card.image).size(), .label = "VELVORA",
                                                          .type = "vfat", .version = "FAT32", .backing_file = card.image});
    const QDBusObjectPath other = tree.block("/dev/sdz", {.size = 40 * MiB});
    UdisksStandIn service(bus.address, tree.objects);
    StandInBlock *served = service.serve_block(object, loop.node, true);
    const StandInBlock *decoy = service.serve_block(other, card.image);
    QTemporaryDir dir;
    const QString out = dir.filePath("scan"), window_out = dir.filePath("window");
    QVERIFY(open_to_everyone(dir.path()) && QDir().mkpath(out) && QDir().mkpath(window_out));
    QVERIFY(open_for_writing(out) && open_for_writing(window_out));
    const auto scan = [&] { return run_scan({loop.node, out}, true, bus.address); };
    const auto window = [&] {
        const ProgramRun run = run_scan({"--window", loop.node, window_out}, true, bus.address, qApp->applicationFilePath());
        return QString::fromUtf8(run.out).trimmed();
    };
    const auto refused = [&](Failure failure) {
        const ProgramRun run = scan();
        QCOMPARE(run.exit_code, 2);
        QCOMPARE(QString::fromLocal8Bit(run.err).section('\n', 0, 0),
                 QString("velvora-scan: %1: %2").arg(loop.node, volume_platform::failure_text(failure)));
    };
    refused(Failure::PermissionDenied);
    QVERIFY(service.publish());
    refused(Failure::AuthorizationRefused);
    QCOMPARE(window(), "listed=1 message=The device could not be read. | "
                           + volume_platform::failure_text(Failure::AuthorizationRefused) + " page=devices");
    QCOMPARE(served->calls.load(), 2);
    QVERIFY(QDir(out).isEmpty() && QDir(window_out).isEmpty());

    QList<VolumeInfo> from_sysfs = volume_platform::list_volumes();
    from_sysfs.removeIf([&](const VolumeInfo &v) { return v.raw_path != loop.node; });
    QCOMPARE(from_sysfs.value(0).bytes_per_sector, 4096u);
    const auto listed = UdisksClient(QDBusConnection::connectToBus(bus.address, "client")).list_volumes();
    QDBusConnection::disconnectFromBus("client");
    QCOMPARE(described(listed.value_or(QList<VolumeInfo>())), described(from_sysfs));
    const QString line = QString("\n%1\tVELVORA (%2) - 48 MB | FAT32 Volume\t\n").arg(loop.node, loop.name());
    QVERIFY(("\n" + run_scan({"--list"}, true, bus.address).out).contains(line.toUtf8())); // needs no read access

    served->refuse = false;
    const int deleted = int(card.deleted.size());
    QCOMPARE(scan().out, summary(deleted, deleted, 0, deleted)); // the live photos known from the file system
    QCOMPARE(served->calls.load(), 3); // one prompt for the check, the scan and the writing together
    QCOMPARE(served->interactive_calls.load(), 3);
    QCOMPARE(decoy->calls.load(), 0);
    const QList<QByteArray> photos = photos_in(out);
    QCOMPARE(entries_of(out), card.recovered_names()); // the names root reads
    for (const QByteArray &photo : std::as_const(card.deleted))
        QVERIFY(photos.contains(photo));
    QCOMPARE(window(), QString("listed=1 found=%1 page=final").arg(deleted));
    QCOMPARE(photos_in(window_out), photos);
    QCOMPARE(served->calls.load(), 4);
}

// A folder is not the file system of a device not mounted there. The node
// outlives the device: bound again, to another image, it is another device.
void TestDevices::rebound_loop_device_is_another_device()
{
    const QString why_not = loop_unavailable_reason();
    LoopDevice loop;
    if (!why_not.isEmpty() || !loop.attach(work.filePath("CARD")))
        QSKIP(qPrintable(why_not.isEmpty() ? "losetup could not attach an image here" : why_not));
    RemovableDevice device = enumerate_removable_devices().value(loop.node);
    device.root_path = work.path(); // a folder, but not where the device is mounted
    QVERIFY(device.is_available() && !device.has_file_system());
    const QString node = loop.node;
    loop.detach();
    if (!run_tool("losetup", {node, work.filePath("private.img")}))
        QSKIP("the loop node was taken by someone else before it could be bound again");
    loop.node = node;
    QVERIFY(!device.is_available());
}

// With the live files indexed, exactly the deleted photos come out, byte for byte, in card order.
void TestDevices::recovers_the_deleted_photos_byte_for_byte()
{
    if (!card_error.isEmpty())
        QSKIP(qPrintable(card_error));
    QTemporaryDir dir;
    const QString out = dir.filePath("out");
    const ProgramRun scan = run_scan({"--root", card.live, card.image, out});
    const int deleted = int(card.deleted.size());
    QCOMPARE(scan.exit_code, 0);
    QCOMPARE(scan.out, summary(deleted, deleted, 0, deleted));
    QCOMPARE(scan.err, QByteArray()); // stderr is no terminal here: no progress line
    QCOMPARE(entries_of(out), card.recovered_names());
    QCOMPARE(run_scan({"--version"}).out, QByteArray("velvora-scan " VELVORA_VERSION "\n"));
    for (int i = 0; i < deleted; ++i)
        QVERIFY2(read_file(out + '/' + card.recovered_names()[i]) == card.deleted[i], qPrintable(card.deleted_paths[i]));
}

void TestDevices::refusals_data()
{
    // @/ is the refusals' folder (see initTestCase), @loop the loop device of its exFAT card
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("said");
    QTest::addColumn<QString>("needs"); // nobody: run as nobody; loop: the exFAT card
    const auto row = [](const char *name, const QStringList &arguments, const char *said, const char *needs = "") {
        QTest::newRow(name) << arguments << QString(said) << QString(needs);
    };
    row("only SOURCE", {"@/CARD"}, "velvora-scan");
    row("three operands", {"@/CARD", "@/out", "@/more"}, "velvora-scan");
    row("unknown option", {"--fast", "@/CARD", "@/out"}, "unknown option '--fast'");
    row("unknown short option", {"@/CARD", "-q", "@/out"}, "unknown option '-q'");
    row("empty OUTDIR", {"@/CARD", ""}, "OUTDIR is empty");
    row("--root without DIR", {"--root"}, "velvora-scan");
    row("--list with operands", {"--list", "@/CARD"}, "velvora-scan");
    row("--root not a folder", {"--root", "@/no-such-dir", "@/CARD", "@/out"}, "not a readable folder");
    row("missing SOURCE", {"@/no-such-card.img", "@/out"}, "No such");
    row("a folder as SOURCE", {"@/folder", "@/out"}, "folder");
    row("OUTDIR is a file", {"@/CARD", "@/plain-file"}, "plain-file exists and is not a folder");
    row("OUTDIR under a file", {"@/CARD", "@/plain-file/out"}, "plain-file/out: the folder cannot be created");
    row("SOURCE this user may not read", {"@/private.img", "@/out"}, "membership of the 'disk' group or root", "nobody");
    row("OUTDIR this user may not write", {"@/CARD", "@/locked"}, "locked: the folder cannot be written to", "nobody");
    row("OUTDIR this user may not create", {"@/CARD", "@/locked/new"}, "locked/new: the folder cannot be created",
        "nobody");
    // a folder on the volume being scanned: for the device, the image behind it, and through a link
    row("OUTDIR on the device", {"@loop", "@/mnt/out"}, "volume being scanned", "loop");
    row("OUTDIR on the image", {"@/exfat.img", "@/mnt/out"}, "volume being scanned", "loop");
    row("OUTDIR a folder of the card", {"@loop", "@/mnt/DCIM"}, "volume being scanned", "loop");
    row("OUTDIR through a link", {"@/exfat.img", "@/link-to-card/new/out"}, "volume being scanned", "loop");
}

// Exit status 2, nothing on stdout, the reason on stderr, nothing written.
void TestDevices::refusals()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, said);
    QFETCH(QString, needs);
    const QString why_not = needs == "nobody" ? why_not_as_nobody() : needs == "loop" ? exfat_error : QString();
    if (!why_not.isEmpty())
        QSKIP(qPrintable(why_not));
    for (QString &argument : arguments)
        argument.replace("@loop", exfat.node).replace("@/", work.path() + '/');
    const auto written = [this] {
        return entries_of(work.path()) + entries_of(work.filePath("locked")) + entries_of(work.filePath("mnt"))
             + entries_of(work.filePath("mnt/DCIM"));
    };
    const QStringList before = written();
    const ProgramRun scan = run_scan(arguments, needs == "nobody");
    QCOMPARE(scan.exit_code, 2);
    QVERIFY2(scan.out.isEmpty() && QString::fromLocal8Bit(scan.err).contains(said), scan.err.constData());
    QCOMPARE(written(), before);
    QCOMPARE(read_file(work.filePath("plain-file")), QByteArray("not a folder"));
}

// A mounted device's files are indexed through its mount point, an image's through its file system.
void TestDevices::mounted_card_is_indexed_through_its_mount_point()
{
    if (!exfat_error.isEmpty())
        QSKIP(qPrintable(exfat_error));
    QCOMPARE(run_scan({exfat.node, work.filePath("from-device")}).out, summary(0, 0));
    QCOMPARE(run_scan({work.filePath("exfat.img"), work.filePath("from-image")}).out, summary(0, 0));
}

// A photo that does not fit leaves no file and counts as failed; the run goes
// on. On a disk that takes the writes but cannot store them, no photo counts.
void TestDevices::full_folder_fails_a_photo_and_goes_on_data()
{
    QTest::addColumn<bool>("unstorable");
    QTest::addColumn<QList<int>>("kept");
    QTest::newRow("full: the large photo fails") << false << QList<int>{0, 2};
    QTest::newRow("unstorable: every photo fails") << true << QList<int>{};
}

void TestDevices::full_folder_fails_a_photo_and_goes_on()
{
    QFETCH(bool, unstorable);
    QFETCH(QList<int>, kept);
    QTemporaryDir dir;
    const QList<QByteArray> photos{qt_jpeg(make_picture(200, 150, 51)), qt_jpeg(make_picture(1600, 1200, 52), 95),
                                   qt_jpeg(make_picture(200, 150, 53))};
    QVERIFY(photos[1].size() > 400 * 1024 && write_file(dir.filePath("card.img"), volume_of(photos)));
    QString out = dir.filePath("small-disk");
    std::optional<TmpfsMount> mount;
    std::optional<UnstorableDisk> disk;
    if (unstorable) {
        disk.emplace(dir.path());
        if (disk->folder().isEmpty())
            QSKIP(qPrintable(disk->why_not));
        out = disk->folder() + "/out";
    } else if (!QDir().mkpath(out) || !mount.emplace(out, "200k").mounted()) { // room for the small photos only
        QSKIP("cannot mount a small tmpfs here (needs root)");
    }
    const ProgramRun scan = run_scan({dir.filePath("card.img"), out});
    QCOMPARE(scan.exit_code, 1);
    QCOMPARE(scan.out, summary(3, int(kept.size()), 3 - int(kept.size())));
    QList<QByteArray> expected;
    QStringList names;
    for (int i : kept) {
        expected.append(photos[i]);
        names.append(QString::asprintf("IMAGE_%04d.JPG", i + 1));
    }
    QCOMPARE(photos_in(out), expected);
    QCOMPARE(entries_of(out), names);
}

void TestDevices::camera_cards_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<int>("in_pieces"); // deleted photos the card's driver left in pieces
    QTest::newRow("FAT32, 8.3 names: first letters from the names beside") << int(CameraCard::Fat32) << 0;
    QTest::newRow("FAT32, a deleted long name") << int(CameraCard::Fat32LongName) << 0;
    QTest::newRow("FAT32, the first cluster's high word cleared") << int(CameraCard::Fat32ClearedHighWord) << 0;
    QTest::newRow("exFAT through exfat-fuse") << int(CameraCard::Exfat) << 0;
    QTest::newRow("ext4: deleted entries keep no blocks") << int(CameraCard::Ext4) << 0;
    QTest::newRow("damaged: boot sectors of garbage") << int(CameraCard::BadBootSector) << 0;
    QTest::newRow("damaged: FATs of the wrong length") << int(CameraCard::WrongFatLength) << 0;
    QTest::newRow("damaged: a folder of garbage") << int(CameraCard::GarbageFolder) << 0;
    QTest::newRow("damaged boot sector: its copy at sector 6 read instead") << int(CameraCard::BackupBootSector) << 0;
    QTest::newRow("quick-formatted: the old entries give the old names") << int(CameraCard::QuickFormatted) << 0;
    QTest::newRow("crafted: thousands of live entries on one chain") << int(CameraCard::SharedChain) << 0;
    QTest::newRow("crafted: thousands of live exFAT entries on one run") << int(CameraCard::ExfatManyEntries) << 0;
    QTest::newRow("damaged: exFAT boot region and its copy") << int(CameraCard::ExfatUnreadable) << 0;
    QTest::newRow("FAT32, crafted deleted names and a damaged photo") << int(CameraCard::HostileNames) << 0;
    // Whole as the card holds it, under its name, and said to be damaged.
    QTest::newRow("a deleted photo with one byte gone bad") << int(CameraCard::RottenByte) << 0;
    // Each photo's pieces lie around files deleted before and after it was written.
    QTest::newRow("exFAT: photos split by the driver around other files") << int(CameraCard::ExfatFragmented) << 12;
    QTest::newRow("FAT32: photos split by the driver around other files") << int(CameraCard::Fat32Fragmented) << 12;
    // Every deleted video and HEIC photo whole under its name, no live file,
    // no frame of a Motion-JPEG clip offered as a photo.
    QTest::newRow("exFAT with videos and HEIC photos") << int(CameraCard::ExfatMedia) << 0;
    // Written into holes: each comes back whole from its pieces, and no frame
    // of a clip in pieces, deleted or live, is offered.
    QTest::newRow("exFAT with videos and a HEIC photo in pieces") << int(CameraCard::ExfatMediaInPieces) << 4;
}

namespace {

// The window scans the card and restores every photo it found into out_dir.
void restore_from_window(const QString &image, const QString &out_dir)
{
    using namespace windowtest;
    FakeDevices fake;
    MainWindow window(nullptr, fake.source());
    ModalAnswerer answers;
    QVERIFY(QDir().mkpath(out_dir));
    start_scan(window, fake, image_device(image));
    QVERIFY(QTest::qWaitFor([&] { return status_of(window) == "Scanning finished" || status_of(window) == "No files found"; }, 60000));
    if (status_of(window) == "No files found")
        return;
    answers.choose_directory(out_dir);
    click(window, ui::restore);
    QCOMPARE(page_of(window), int(final_page));
    QVERIFY2(answers.unexpected.isEmpty(), qPrintable(answers.unexpected.join("; ")));
}

// No name a card gave reaches a file name with a control or format character in it.
bool plain_names(const QStringList &names)
{
    return std::none_of(names.cbegin(), names.cend(), [](const QString &name) {
        return std::any_of(name.cbegin(), name.cend(), [](QChar c) {
            return c.category() == QChar::Other_Control || c.category() == QChar::Other_Format;
        });
    });
}

} // namespace

// Unmounted and without --root: the live photos are known from the card's
// own file system, the deleted ones come back under their names where their
// entries tell them, the others numbered. A damaged file system costs only
// its answers: every photo the raw read finds comes back, and stderr says
// when the file system could not be read.
void TestDevices::camera_cards()
{
    QFETCH(int, kind);
    QFETCH(int, in_pieces);
    QTemporaryDir dir;
    CameraCard card;
    QString why;
    if (!card.make(CameraCard::Kind(kind), dir.path(), &why))
        QSKIP(qPrintable(why));
    QCOMPARE(card.in_pieces, in_pieces);
    const QString out = dir.filePath("out"), window_out = dir.filePath("window-out");
    const QStringList before = entries_of(dir.path());
    const ProgramRun scan = run_scan({card.image, out});
    QCOMPARE(scan.exit_code, 0);
    QCOMPARE(scan.err.contains("could not be read"), card.unreadable);
    QList<QByteArray> photos = photos_in(out);
    const QStringList names = entries_of(out);
    if (!card.damaged) {
        const int found = int(card.named.size() + card.unnamed.size()) + card.partial;
        QCOMPARE(scan.out, summary(found, found, 0, int(card.named.size()), card.partial, int(card.rotten.size()),
                                   card.videos, card.heic));
        for (auto photo = card.named.cbegin(); photo != card.named.cend(); ++photo) {
            QVERIFY2(read_file(out + '/' + photo.key()) == photo.value(), qPrintable(photo.key() + " among " + names.join(" | ")));
            photos.removeOne(photo.value());
        }
        QCOMPARE(photos.size(), card.unnamed.size() + card.partial);
        QCOMPARE(names.filter(QRegularExpression("^IMAGE_\\d{4}\\.partial\\.JPG$")).size(), card.partial);
    }
    for (const QByteArray &photo : (card.damaged ? card.live : QList<QByteArray>()) + card.unnamed)
        QVERIFY(photos.contains(photo));

    // The window names and writes the same scan's photos alike, and no name
    // leaves the folder or carries a control character, from either.
    restore_from_window(card.image, window_out);
    QCOMPARE(entries_of(window_out), names);
    for (const QString &name : names)
        QVERIFY2(read_file(window_out + '/' + name) == read_file(out + '/' + name), qPrintable(name));
    QVERIFY2(plain_names(names), qPrintable(names.join(" | ")));
    QStringList now = entries_of(dir.path()), expected = before + QStringList{"out", "window-out"};
    now.sort();
    expected.sort();
    QCOMPARE(now, expected); // nothing beside the two folders

    QVERIFY(!QFileInfo::exists(dir.filePath("../FATESC_123456789012.jpg")));
}

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    if (argc == 4 && QByteArray(argv[1]) == "--window")
        return window_run(argv[2], argv[3]);
    TestDevices test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_devices.moc"
