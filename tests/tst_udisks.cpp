// Raw access through the desktop's disk service: the stand-in UDisks2 service
// on a private dbus-daemon, the client's listing, and an unprivileged user who
// reads a loop device only through the service, with velvora-scan and the window.

#include "cardimage.h"
#include "testsupport.h"
#include "udisksclient.h"
#include "udisksstandin.h"
#include "volumeplatform.h"

#include <QDir>
#include <QSet>
#include <QTemporaryDir>
#include <QtTest>

using namespace testsupport;
using volume_platform::Failure;
using volume_platform::VolumeInfo;

namespace {

constexpr qint64 MiB = 1024 * 1024;

// A program run as nobody, with the service's bus as its system bus: its
// stdout and exit status.
ProgramRun run_as_nobody(const QStringList &command, const QString &bus)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("DBUS_SYSTEM_BUS_ADDRESS", bus);
    QStringList unprivileged = as_nobody(command);
    ProgramRun run = run_program(unprivileged.takeFirst(), unprivileged, environment);
    run.out += QStringLiteral("exit=%1\n").arg(run.crashed ? -1 : run.exit_code).toUtf8();
    return run;
}

// The window as nobody (velvora-udisks-helper): its key=value lines, joined by blanks.
QString window_as_nobody(const QString &node, const QString &out_dir, const QString &bus)
{
    return QString::fromUtf8(run_as_nobody({VELVORA_UDISKS_HELPER_PATH, node, out_dir}, bus).out).trimmed().replace('\n', ' ');
}

QString open_folder(const QTemporaryDir &dir, const QString &name)
{
    QDir().mkpath(dir.filePath(name));
    open_for_writing(dir.filePath(name));
    return dir.filePath(name);
}

QSet<QByteArray> contents_of(const QString &directory)
{
    QSet<QByteArray> contents;
    for (const QString &name : QDir(directory).entryList(QDir::Files))
        contents.insert(read_file(QDir(directory).filePath(name)));
    return contents;
}

QStringList described(const QList<VolumeInfo> &volumes)
{
    QStringList lines;
    for (const VolumeInfo &v : volumes)
        lines.append(QStringList{v.raw_path, v.drive, v.label, v.file_system, v.root_path, QString::number(v.size),
                                 QString::number(v.bytes_per_sector), QString::number(v.identity)}
                         .join(" | "));
    lines.sort();
    return lines;
}

std::optional<QList<VolumeInfo>> listed_by_service(const QString &bus)
{
    const std::optional<QList<VolumeInfo>> volumes = UdisksClient(QDBusConnection::connectToBus(bus, "client")).list_volumes();
    QDBusConnection::disconnectFromBus("client");
    return volumes;
}

} // namespace

class TestUdisks : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void lists_the_volumes_a_user_would_pick();
    void same_records_as_the_device_listing();
    void unprivileged_user_recovers_through_the_service();
    void refused_prompt_is_reported_once();

private:
    // Attaches the card to a loop device and describes it as the service would; skips where it cannot.
    bool attach_card(LoopDevice &loop, UdisksTree &tree, QDBusObjectPath *object);
    QTemporaryDir scratch;
    SampleCard card;
    QString card_error;
    PrivateBus bus;
};

void TestUdisks::initTestCase()
{
    if (bus.address.isEmpty())
        QSKIP("dbus-daemon cannot be started here");
    if (!card.make(scratch.path(), &card_error) && card_error.isEmpty())
        card_error = "the sample card could not be made";
}

bool TestUdisks::attach_card(LoopDevice &loop, UdisksTree &tree, QDBusObjectPath *object)
{
    QString reason = loop_unavailable_reason();
    reason = reason.isEmpty() ? why_not_as_nobody() : reason;
    reason = reason.isEmpty() ? card_error : reason;
    if (!reason.isEmpty())
        QTest::qSkip(qPrintable(reason), __FILE__, __LINE__);
    else if (!loop.attach(card.image))
        QTest::qFail("losetup could not attach the card", __FILE__, __LINE__);
    else
        *object = tree.loop(loop.node, facts_of(loop.node), card.image);
    return reason.isEmpty() && !loop.node.isEmpty();
}

// A laptop with its system disk, a USB stick with an MBR and a logical
// partition, an empty card reader, a DVD drive, an SD card in an SDIO slot, a
// live system's stick, a reader marked as the system's, a hidden stick, a
// snap package and two image files on loop devices.
void TestUdisks::lists_the_volumes_a_user_would_pick()
{
    UdisksTree tree;
    const QDBusObjectPath ssd = tree.drive("Samsung_SSD", false, false, "sata");
    const QDBusObjectPath sda = tree.partitioned("/dev/sda", {.size = 500000 * MiB, .drive = ssd, .hint_system = true});
    tree.partition("/dev/sda1", sda, {.size = 499000 * MiB, .type = "ext4", .drive = ssd, .hint_system = true,
                                      .mount_points = QStringList{"/"}});
    const QDBusObjectPath stick = tree.drive("SanDisk_Cruzer", true, false, "usb");
    const QDBusObjectPath sdb = tree.partitioned("/dev/sdb", {.size = 16000 * MiB, .drive = stick});
    tree.partition("/dev/sdb1", sdb, {.size = 8000 * MiB, .label = "HOLIDAY", .type = "vfat", .version = "FAT32",
                                      .drive = stick, .mount_points = QStringList{"/media/anna/HOLIDAY", "/mnt/bind"}});
    tree.partition("/dev/sdb2", sdb, {.size = 1024, .drive = stick}, true);
    tree.partition("/dev/sdb5", sdb, {.size = 7990 * MiB, .type = "exfat", .version = "1.0", .drive = stick,
                                      .mount_points = QStringList()});
    tree.block("/dev/sdc", {.drive = tree.drive("Reader", false, true, "usb", false)});
    tree.block("/dev/sr0", {.size = 4700 * MiB, .label = "PHOTOS_2019", .type = "iso9660",
                            .drive = tree.drive("DVD", false, true, "sata", true, {"optical_dvd"})});
    tree.block("/dev/mmcblk0", {.size = 64000 * MiB, .label = "EOS_DIGITAL", .type = "exfat",
                                .drive = tree.drive("SD", false, false, "sdio"),
                                .mount_points = QStringList{"/media/anna/EOS_DIGITAL"}});
    const QDBusObjectPath live = tree.drive("Live", true, false, "usb");
    const QDBusObjectPath sdg = tree.partitioned("/dev/sdg", {.size = 8000 * MiB, .drive = live});
    tree.partition("/dev/sdg1", sdg, {.size = 3000 * MiB, .type = "ext4", .drive = live, .mount_points = QStringList{"/"}});
    tree.partition("/dev/sdg2", sdg, {.size = 5000 * MiB, .type = "vfat", .version = "FAT32", .drive = live});
    tree.block("/dev/sdh", {.size = 2000 * MiB, .type = "vfat", .version = "FAT32",
                            .drive = tree.drive("Marked", false, true, "usb"), .hint_system = true});
    tree.block("/dev/sdd", {.size = 1000 * MiB, .type = "vfat", .version = "FAT16",
                            .drive = tree.drive("Hidden", true, false, "usb"), .hint_ignore = true});
    tree.loop("/dev/loop0", {.size = 50 * MiB, .type = "squashfs", .mount_points = QStringList{"/snap/core/1"}},
              "/var/lib/snapd/snaps/core_1.snap");
    tree.loop("/dev/loop1", {.size = 64 * MiB, .label = "CARD", .type = "vfat", .version = "FAT32"}, "/home/anna/card.img");
    tree.loop("/dev/loop2", {}, QString());

    UdisksStandIn service(bus.address, tree.objects);
    QVERIFY2(!listed_by_service(bus.address).has_value(), "a listing came from a bus without the service");
    QVERIFY(service.publish());
    const std::optional<QList<VolumeInfo>> listed = listed_by_service(bus.address);
    QVERIFY(listed.has_value());
    QStringList lines = described(*listed);
    for (QString &line : lines)
        line = line.section(" | ", 0, 5); // sector size and identity come from the nodes, absent here
    QCOMPARE(lines, (QStringList{"/dev/loop1 | loop1 | CARD | FAT32 |  | 67108864",
                                 "/dev/mmcblk0 | mmcblk0 | EOS_DIGITAL | exFAT | /media/anna/EOS_DIGITAL | 67108864000",
                                 "/dev/sdb1 | sdb1 | HOLIDAY | FAT32 | /media/anna/HOLIDAY | 8388608000",
                                 "/dev/sdb5 | sdb5 |  | exFAT |  | 8378122240"}));
}

// The service's description of a card on a loop device gives the record the
// sysfs listing gives, also to velvora-scan --list of an ordinary user.
void TestUdisks::same_records_as_the_device_listing()
{
    LoopDevice loop;
    UdisksTree tree;
    QDBusObjectPath object;
    if (!attach_card(loop, tree, &object))
        return;
    UdisksStandIn service(bus.address, tree.objects);
    QVERIFY(service.publish());
    QList<VolumeInfo> from_sysfs = volume_platform::list_volumes();
    from_sysfs.removeIf([&](const VolumeInfo &v) { return v.raw_path != loop.node; });
    QCOMPARE(described(listed_by_service(bus.address).value_or(QList<VolumeInfo>())), described(from_sysfs));
    QCOMPARE(from_sysfs.value(0).file_system, QStringLiteral("FAT32"));
    const QByteArray listed = run_as_nobody({VELVORA_SCAN_PATH, "--list"}, bus.address).out;
    QVERIFY2(listed.contains(QStringLiteral("%1\tVELVORA (%2) - 48 MB | FAT32 Volume\t\n").arg(loop.node, loop.name()).toUtf8())
                 && listed.endsWith("exit=0\n"),
             listed.constData());
}

// The node refuses someone outside the disk group; the service hands out a
// descriptor after one prompt a run, and every photo of the card comes back.
void TestUdisks::unprivileged_user_recovers_through_the_service()
{
    LoopDevice loop;
    UdisksTree tree;
    QDBusObjectPath object;
    if (!attach_card(loop, tree, &object))
        return;
    const QDBusObjectPath other = tree.block("/dev/sdz", {.size = 40 * MiB});
    UdisksStandIn service(bus.address, tree.objects);
    StandInBlock *served = service.serve_block(object, loop.node);
    StandInBlock *decoy = service.serve_block(other, card.image);
    QVERIFY(service.publish());
    const int all = int(card.deleted.size() + card.live_paths.size());
    QTemporaryDir dir;
    open_to_everyone(dir.path());

    const QString scan_out = open_folder(dir, "scan");
    QCOMPARE(run_as_nobody({VELVORA_SCAN_PATH, loop.node, scan_out}, bus.address).out,
             QStringLiteral("found=%1 written=%1 failed=0 unreadable_bytes=0 renamed=0 partial=0\nexit=0\n").arg(all).toUtf8());
    const QSet<QByteArray> recovered = contents_of(scan_out);
    for (const QByteArray &photo : std::as_const(card.deleted))
        QVERIFY(recovered.contains(photo));
    QCOMPARE(served->calls.load(), 1); // one prompt for the check, the scan and the writing together
    QCOMPARE(served->interactive_calls.load(), 1);
    QCOMPARE(decoy->calls.load(), 0);

    const QString window_out = open_folder(dir, "window");
    QCOMPARE(window_as_nobody(loop.node, window_out, bus.address),
             QStringLiteral("plain=%1 listed=1 messages=0 found=%2 page=3 exit=0")
                 .arg(volume_platform::failure_text(Failure::PermissionDenied)).arg(all));
    QCOMPARE(contents_of(window_out), recovered);
    QCOMPARE(served->calls.load(), 2);
}

// Without the service the node's own refusal stands; with a service whose
// prompt is cancelled, the refusal is said as such, after a single prompt.
void TestUdisks::refused_prompt_is_reported_once()
{
    LoopDevice loop;
    UdisksTree tree;
    QDBusObjectPath object;
    if (!attach_card(loop, tree, &object))
        return;
    UdisksStandIn service(bus.address, tree.objects);
    StandInBlock *refusing = service.serve_block(object, loop.node, true);
    QTemporaryDir dir;
    open_to_everyone(dir.path());
    const QString out = open_folder(dir, "out");
    const auto scan_says = [&](Failure failure) {
        const ProgramRun run = run_as_nobody({VELVORA_SCAN_PATH, loop.node, out}, bus.address);
        QCOMPARE(run.out, QByteArray("exit=2\n"));
        QCOMPARE(QString::fromLocal8Bit(run.err).section('\n', 0, 0),
                 QStringLiteral("velvora-scan: %1: %2").arg(loop.node, volume_platform::failure_text(failure)));
    };
    scan_says(Failure::PermissionDenied);
    QVERIFY(service.publish());
    scan_says(Failure::AuthorizationRefused);
    QCOMPARE(refusing->calls.load(), 1);
    QVERIFY(QDir(out).isEmpty());

    // the wizard says so on Next and stays on the device page
    QCOMPARE(window_as_nobody(loop.node, out, bus.address),
             QStringLiteral("plain=%1 listed=1 messages=1 message=The device could not be read. | %2 page=1 exit=0")
                 .arg(volume_platform::failure_text(Failure::PermissionDenied),
                      volume_platform::failure_text(Failure::AuthorizationRefused)));
    QCOMPARE(refusing->calls.load(), 2);
}

QTEST_GUILESS_MAIN(TestUdisks)
#include "tst_udisks.moc"
