// Raw access through the desktop's disk service: the stand-in UDisks2 service
// on a private dbus-daemon, the client's listing and descriptors in this
// process, and an unprivileged user who reads a loop device only through it.

#include "cardimage.h"
#include "deviceenumeration.h"
#include "rawaccess.h"
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

// The helper, velvora-scan or the window as nobody, with the service's bus
// as their system bus; key=value lines of stdout in values.
struct Run
{
    int exit_code = -1;
    QString out;
    QMap<QString, QString> values;
};

Run run_as_nobody(const QStringList &command, const QString &bus)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("DBUS_SYSTEM_BUS_ADDRESS", bus);
    QStringList unprivileged = as_nobody(command);
    const ProgramRun program = run_program(unprivileged.takeFirst(), unprivileged, environment);
    Run run{program.crashed ? -1 : program.exit_code, QString::fromLocal8Bit(program.out + program.err), {}};
    for (const QString &line : QString::fromLocal8Bit(program.out).split('\n')) {
        if (line.indexOf('=') > 0)
            run.values.insert(line.section('=', 0, 0), line.section('=', 1));
    }
    return run;
}

QStringList helper(const QString &mode, const QString &bus, const QStringList &more)
{
    return QStringList{VELVORA_UDISKS_HELPER_PATH, mode, bus} + more;
}

// A folder an unprivileged process may write into.
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
        lines.append(QStringList{v.raw_path, v.drive, v.label, v.file_system, v.root_path, QString::number(v.size)}.join(" | "));
    lines.sort();
    return lines;
}

} // namespace

class TestUdisks : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void lists_the_volumes_a_user_would_pick();
    void open_for_backup_hands_over_a_readable_descriptor();
    void same_records_as_the_device_listing();
    void unprivileged_user_scans_a_loop_device_through_the_service();
    void refused_prompt_is_reported_once();

private:
    // Skips unless the card is attached to a loop device that only the service opens for nobody.
    QString unprivileged_reason() const;
    QTemporaryDir scratch;
    SampleCard card;
    bool card_made = false;
    PrivateBus bus;
};

void TestUdisks::initTestCase()
{
    if (bus.address.isEmpty())
        QSKIP("dbus-daemon cannot be started here");
    QString error;
    card_made = missing_tools({"mkfs.fat", "mcopy", "cjpeg", "exiftool"}).isEmpty() && card.make(scratch.path(), &error);
}

QString TestUdisks::unprivileged_reason() const
{
    QString reason = loop_unavailable_reason();
    if (reason.isEmpty())
        reason = why_not_as_nobody();
    if (reason.isEmpty() && !card_made)
        reason = "the sample card could not be made (mkfs.fat, mtools, cjpeg, exiftool)";
    return reason;
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
    const QDBusConnection client_bus = QDBusConnection::connectToBus(bus.address, "client");
    const auto disconnect = qScopeGuard([] { QDBusConnection::disconnectFromBus("client"); });
    const UdisksClient client(client_bus);
    QVERIFY2(!client.list_volumes().has_value(), "a listing came from a bus without the service");
    QVERIFY(service.publish());
    const std::optional<QList<VolumeInfo>> listed = client.list_volumes();
    QVERIFY(listed.has_value());
    QCOMPARE(described(*listed), (QStringList{"/dev/loop1 | loop1 | CARD | FAT32 |  | 67108864",
                                              "/dev/mmcblk0 | mmcblk0 | EOS_DIGITAL | exFAT | /media/anna/EOS_DIGITAL | 67108864000",
                                              "/dev/sdb1 | sdb1 | HOLIDAY | FAT32 | /media/anna/HOLIDAY | 8388608000",
                                              "/dev/sdb5 | sdb5 |  | exFAT |  | 8378122240"}));
    // the window and velvora-scan get their device records the same way
    const QMap<QString, RemovableDevice> devices = RawAccess(client_bus).removable_devices();
    QCOMPARE(devices.keys(), (QStringList{"/dev/loop1", "/dev/mmcblk0", "/dev/sdb1", "/dev/sdb5"}));
    QCOMPARE(devices.value("/dev/sdb1").display_text(), QStringLiteral("HOLIDAY (sdb1) - 8000 MB\nFAT32 Volume"));
}

// The descriptor reads the volume it names; a cancelled prompt and an unknown
// node are told apart.
void TestUdisks::open_for_backup_hands_over_a_readable_descriptor()
{
    QTemporaryDir dir;
    const QString image = dir.filePath("card.img");
    QByteArray content(3 * MiB + 100, '\0');
    for (qsizetype i = 0; i < content.size(); ++i)
        content[i] = char((i * 7919) >> 5);
    QVERIFY(write_file(image, content));
    UdisksTree tree;
    const QDBusObjectPath sde = tree.block("/dev/sde", {.size = content.size()});
    const QDBusObjectPath sdf = tree.block("/dev/sdf", {.size = content.size()});
    UdisksStandIn service(bus.address, tree.objects);
    StandInBlock *served = service.serve_block(sde, image);
    StandInBlock *refusing = service.serve_block(sdf, image, true);
    QVERIFY(service.publish());

    const QDBusConnection client_bus = QDBusConnection::connectToBus(bus.address, "client");
    const auto disconnect = qScopeGuard([] { QDBusConnection::disconnectFromBus("client"); });
    const UdisksClient client(client_bus);
    Failure failure = Failure::Other;
    const volume_platform::Handle handle = client.open_for_backup("/dev/sde", &failure);
    QCOMPARE(failure, Failure::None);
    QCOMPARE(served->interactive_calls.load(), 1);
    QCOMPARE(volume_platform::geometry(handle).size, content.size());
    QByteArray read(content.size(), '\0');
    QVERIFY(volume_platform::seek(handle, 0));
    QCOMPARE(volume_platform::read(handle, read.data(), read.size()), content.size());
    QCOMPARE(read, content);
    QVERIFY(volume_platform::close(handle));

    QCOMPARE(client.open_for_backup("/dev/sdf", &failure), volume_platform::invalid_handle);
    QCOMPARE(failure, Failure::AuthorizationRefused);
    QCOMPARE(client.open_for_backup("/dev/sdz", &failure), volume_platform::invalid_handle);
    QCOMPARE(failure, Failure::NotFound);
    QCOMPARE(served->calls.load() + refusing->calls.load(), 2);
}

// A FAT32 card on a loop device: the service's description of it gives the
// record the sysfs listing gives, also to velvora-scan --list of an ordinary user.
void TestUdisks::same_records_as_the_device_listing()
{
    const QString reason = unprivileged_reason();
    if (!reason.isEmpty())
        QSKIP(qPrintable(reason));
    LoopDevice loop;
    QVERIFY(loop.attach(card.image));
    UdisksTree tree;
    tree.loop(loop.node, facts_of(loop.node), card.image);
    UdisksStandIn service(bus.address, tree.objects);
    QVERIFY(service.publish());
    const QDBusConnection client_bus = QDBusConnection::connectToBus(bus.address, "client");
    const std::optional<QList<VolumeInfo>> from_service = UdisksClient(client_bus).list_volumes();
    QDBusConnection::disconnectFromBus("client");
    QVERIFY(from_service.has_value());
    QList<VolumeInfo> from_sysfs = volume_platform::list_volumes();
    from_sysfs.removeIf([&](const VolumeInfo &v) { return v.raw_path != loop.node; });
    QCOMPARE(described(*from_service), described(from_sysfs));
    QCOMPARE(from_service->value(0).identity, from_sysfs.value(0).identity);
    QCOMPARE(from_service->value(0).bytes_per_sector, from_sysfs.value(0).bytes_per_sector);
    QCOMPARE(from_sysfs.value(0).file_system, QStringLiteral("FAT32"));

    const Run listed = run_as_nobody({VELVORA_SCAN_PATH, "--list"}, bus.address);
    QCOMPARE(listed.exit_code, 0);
    QVERIFY2(listed.out.contains(loop.node + QStringLiteral("\tVELVORA (%1) - 48 MB | FAT32 Volume\t\n").arg(loop.name())),
             qPrintable(listed.out));
}

// The whole road for someone outside the disk group: the node refuses them,
// the service hands out a descriptor after one prompt per run, and every
// deleted photo of the card comes back, through the helper, velvora-scan and
// the window.
void TestUdisks::unprivileged_user_scans_a_loop_device_through_the_service()
{
    const QString reason = unprivileged_reason();
    if (!reason.isEmpty())
        QSKIP(qPrintable(reason));
    LoopDevice loop;
    QVERIFY(loop.attach(card.image));
    UdisksTree tree;
    const QDBusObjectPath card_object = tree.loop(loop.node, facts_of(loop.node), card.image);
    const QDBusObjectPath other = tree.block("/dev/sdz", {.size = 40 * MiB});
    UdisksStandIn service(bus.address, tree.objects);
    StandInBlock *served = service.serve_block(card_object, loop.node);
    StandInBlock *decoy = service.serve_block(other, card.image);
    QVERIFY(service.publish());
    const QString all = QString::number(card.deleted.size() + card.live_paths.size());
    QTemporaryDir dir;
    open_to_everyone(dir.path());

    const QString helper_out = open_folder(dir, "helper");
    const Run scan = run_as_nobody(helper("scan", bus.address, {loop.node, helper_out}), bus.address);
    QVERIFY2(scan.exit_code == 0, qPrintable(scan.out));
    QCOMPARE(scan.values.value("plain"), volume_platform::failure_text(Failure::PermissionDenied));
    QCOMPARE(scan.values.value("found"), all);
    QCOMPARE(scan.values.value("written"), all);
    QCOMPARE(scan.values.value("source_error"), QString());
    const QSet<QByteArray> recovered = contents_of(helper_out);
    for (const QByteArray &photo : std::as_const(card.deleted))
        QVERIFY(recovered.contains(photo));
    // one prompt for the check, the scan and the writing together
    QCOMPARE(served->calls.load(), 1);
    QCOMPARE(served->interactive_calls.load(), 1);
    QCOMPARE(decoy->calls.load(), 0);

    const QString scan_out = open_folder(dir, "scan");
    const Run headless = run_as_nobody({VELVORA_SCAN_PATH, loop.node, scan_out}, bus.address);
    QVERIFY2(headless.exit_code == 0, qPrintable(headless.out));
    QCOMPARE(headless.out.trimmed(), QStringLiteral("found=%1 written=%1 failed=0 unreadable_bytes=0").arg(all));
    QCOMPARE(contents_of(scan_out), recovered);
    QCOMPARE(served->calls.load(), 2);

    // the wizard: listed by the service, one prompt for Next, the scan and Restore
    const QString window_out = open_folder(dir, "window");
    const Run window = run_as_nobody(helper("window", bus.address, {loop.node, window_out}), bus.address);
    QVERIFY2(window.exit_code == 0, qPrintable(window.out));
    QCOMPARE(window.values.value("listed"), QStringLiteral("1"));
    QCOMPARE(window.values.value("messages"), QStringLiteral("0"));
    QCOMPARE(window.values.value("found"), all);
    QCOMPARE(window.values.value("page"), QStringLiteral("3"));
    QCOMPARE(contents_of(window_out), recovered);
    QCOMPARE(served->calls.load(), 3);
}

// Without the service the node's own refusal stands; with a service whose
// prompt is cancelled, the refusal is said as such, after a single prompt.
void TestUdisks::refused_prompt_is_reported_once()
{
    const QString reason = unprivileged_reason();
    if (!reason.isEmpty())
        QSKIP(qPrintable(reason));
    LoopDevice loop;
    QVERIFY(loop.attach(card.image));
    UdisksTree tree;
    const QDBusObjectPath card_object = tree.loop(loop.node, facts_of(loop.node), card.image);
    UdisksStandIn service(bus.address, tree.objects);
    StandInBlock *refusing = service.serve_block(card_object, loop.node, true);
    const QString refused = volume_platform::failure_text(Failure::AuthorizationRefused);

    const Run without = run_as_nobody(helper("probe", bus.address, {loop.node}), bus.address);
    QCOMPARE(without.values.value("available"), QStringLiteral("0"));
    QCOMPARE(without.values.value("failure"), volume_platform::failure_text(Failure::PermissionDenied));

    QVERIFY(service.publish());
    const Run probe = run_as_nobody(helper("probe", bus.address, {loop.node}), bus.address);
    QCOMPARE(probe.values.value("available"), QStringLiteral("0"));
    QCOMPARE(probe.values.value("failure"), refused);
    QCOMPARE(refusing->calls.load(), 1);

    QTemporaryDir dir;
    open_to_everyone(dir.path());
    const QString out = open_folder(dir, "out");
    const Run scan = run_as_nobody({VELVORA_SCAN_PATH, loop.node, out}, bus.address);
    QCOMPARE(scan.exit_code, 2);
    QCOMPARE(scan.out.section('\n', 0, 0), QStringLiteral("velvora-scan: %1: %2").arg(loop.node, refused));
    QCOMPARE(refusing->calls.load(), 2);
    QVERIFY(QDir(out).isEmpty());

    // the wizard says so on Next and stays on the device page
    const Run window = run_as_nobody(helper("window", bus.address, {loop.node, out}), bus.address);
    QCOMPARE(window.values.value("listed"), QStringLiteral("1"));
    QCOMPARE(window.values.value("messages"), QStringLiteral("1"));
    QCOMPARE(window.values.value("message"), "The device could not be read. | " + refused);
    QCOMPARE(window.values.value("page"), QStringLiteral("1"));
    QCOMPARE(refusing->calls.load(), 3);
}

QTEST_GUILESS_MAIN(TestUdisks)
#include "tst_udisks.moc"
