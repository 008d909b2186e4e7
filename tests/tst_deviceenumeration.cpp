// The removable device listing: against a sysfs tree, mount table and udev
// database laid out as on a real laptop, and live on this machine with loop
// devices over card images.

#include "deviceenumeration.h"
#include "removabledevice.h"
#include "sysfsvolumetable.h"
#include "testsupport.h"
#include "volumeplatform.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtTest>

using namespace testsupport;
using volume_platform::VolumeInfo;

namespace {

constexpr qint64 MiB = 1024 * 1024;

SysfsVolumeTable::Roots laptop()
{
    const QString root = QStringLiteral(VELVORA_FIXTURES_DIR "/laptop");
    return {root + "/sys", root + "/mountinfo", root + "/swaps", root + "/udev/data", root + "/dev"};
}

// One line per volume: node, drive, label, file system, mount point, size, sector size.
QStringList described(const QList<VolumeInfo> &volumes)
{
    QStringList lines;
    for (const VolumeInfo &v : volumes)
        lines.append(QStringList{QFileInfo(v.raw_path).fileName(), v.drive, v.label, v.file_system, v.root_path,
                                 QString::number(v.size), QString::number(v.bytes_per_sector)}
                         .join(" | "));
    lines.sort();
    return lines;
}

// The line velvora-scan --list prints for node, split at its tabs.
QStringList listed_line(const QString &node, bool unprivileged = false)
{
    QStringList command{VELVORA_SCAN_PATH, "--list"};
    if (unprivileged)
        command = as_nobody(command);
    const ProgramRun run = run_program(command.takeFirst(), command);
    for (const QString &line : QString::fromLocal8Bit(run.out).split('\n')) {
        if (line.startsWith(node + '\t'))
            return line.split('\t');
    }
    return {};
}

} // namespace

class TestDeviceEnumeration : public QObject
{
    Q_OBJECT

private slots:
    void laptop_lists_cards_sticks_and_images_data();
    void laptop_lists_cards_sticks_and_images();
    void live_loop_devices_data();
    void live_loop_devices();
    void detached_or_rebound_loop_device_is_another_device();
};

void TestDeviceEnumeration::laptop_lists_cards_sticks_and_images_data()
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
        "sdb1 | sdb1 |  |  | /media/anna/PHOTOS | 10240393216 | 512",
        "sdb5 | sdb5 |  |  |  | 5134876672 | 512"};
}

// Never listed: sdb itself (it has partitions) and sdb2 (an extended
// partition's container); sdc, a card reader without card; sdd, a USB disk
// holding /home under LUKS; sde, a USB stick holding /boot; sdf, a USB disk
// used for swap; sr0, a DVD drive with a disc; loop1, unbound; loop2, a snap
// package's squashfs; the internal NVMe disk; dm-0, zram0 and ram0. The stick's
// first partition is mounted twice: the folder bind mount must not win.
void TestDeviceEnumeration::laptop_lists_cards_sticks_and_images()
{
    QFETCH(bool, udev);
    QFETCH(QStringList, lines);
    SysfsVolumeTable::Roots roots = laptop();
    if (!udev)
        roots.udev_data = "/nonexistent/udev/data";
    QStringList probed;
    const SysfsVolumeTable table(roots, [&probed](const QString &node, SysfsVolumeTable::FileSystemId *id) {
        probed.append(QFileInfo(node).fileName());
        if (!node.endsWith("/mmcblk0"))
            return false; // unreadable, or no file system on it
        *id = {"CAMERA", "vfat", "FAT32"};
        return true;
    });
    const QList<VolumeInfo> volumes = table.volumes();
    QCOMPARE(described(volumes), lines);
    QCOMPARE(probed.size(), udev ? 0 : 4); // udev knows every listed volume: nothing is probed
    for (const VolumeInfo &v : volumes) {
        if (v.drive.startsWith("sdb"))
            QCOMPARE(v.identity, volume_platform::block_device_identity(8, v.drive == "sdb1" ? 17 : 21, 21));
    }
}

void TestDeviceEnumeration::live_loop_devices_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("text");           // the listing's text, after the drive
    QTest::addColumn<quint32>("bytes_per_sector");
    QTest::newRow("exFAT card mounted by FUSE") << "exfat" << "- 32 MB | exFAT Volume" << 512u;
    QTest::newRow("unformatted, 4096-byte sectors") << "blank" << "- 8 MB | Not formatted" << 4096u;
}

// The listing, velvora-scan --list and an unprivileged user's --list agree
// on a live loop device.
void TestDeviceEnumeration::live_loop_devices()
{
    QFETCH(QString, kind);
    QFETCH(QString, text);
    QFETCH(quint32, bytes_per_sector);
    const QString why_not = loop_unavailable_reason({"mkfs.exfat", "mount.exfat-fuse"});
    if (!why_not.isEmpty())
        QSKIP(qPrintable(why_not));
    QTemporaryDir dir;
    const QString image = dir.filePath("card.img"), point = QFileInfo(dir.path()).canonicalFilePath() + "/mnt";
    QVERIFY(QDir().mkpath(point));
    LoopDevice loop;
    QString node, label, mount_point;
    if (kind == "exfat") {
        QVERIFY(make_exfat_image(image, 32 * MiB, "VLVTEST"));
        if (!loop.attach(image) || !loop.mount_exfat(point))
            QSKIP("cannot attach and mount an exFAT image here");
        node = loop.node;
        label = "VLVTEST ";
        mount_point = point;
    } else {
        QVERIFY(make_blank_image(image, 8 * MiB));
        if (!loop.attach(image, {"-b", "4096"}))
            QSKIP("losetup could not attach an image with 4096-byte sectors here");
        node = loop.node;
        label = "Removable Media ";
    }
    const QMap<QString, RemovableDevice> devices = enumerate_removable_devices();
    QVERIFY2(devices.contains(node), qPrintable(node + " is not listed"));
    const RemovableDevice device = devices.value(node);
    QCOMPARE(device.bytes_per_sector, bytes_per_sector);
    QCOMPARE(device.sector_count, device.size / bytes_per_sector);
    QCOMPARE(device.identity, volume_platform::identity_of(node));
    QVERIFY(device.is_available());
    QCOMPARE(device.has_file_system(), !mount_point.isEmpty());
    const QString drive = QFileInfo(node).fileName();
    QCOMPARE(listed_line(node), (QStringList{node, label + '(' + drive + ") " + text, mount_point}));
    // listing needs no read access to the device
    if (why_not_as_nobody().isEmpty()) {
        const QStringList unprivileged = listed_line(node, true);
        QCOMPARE(unprivileged.size(), 3);
        QVERIFY2(unprivileged[1].contains('(' + drive + ") " + text.left(text.indexOf('|'))), qPrintable(unprivileged[1]));
        QCOMPARE(unprivileged[2], mount_point);
    }
}

void TestDeviceEnumeration::detached_or_rebound_loop_device_is_another_device()
{
    const QString why_not = loop_unavailable_reason({"mkfs.exfat", "mount.exfat-fuse"});
    if (!why_not.isEmpty())
        QSKIP(qPrintable(why_not));
    QTemporaryDir dir;
    const QString image = dir.filePath("card.img"), other = dir.filePath("other.img");
    const QString point = QFileInfo(dir.path()).canonicalFilePath() + "/mnt";
    QVERIFY(make_exfat_image(image, 32 * MiB, "VLVTEST") && make_blank_image(other, 32 * MiB) && QDir().mkpath(point));
    LoopDevice loop;
    if (!loop.attach(image) || !loop.mount_exfat(point))
        QSKIP("cannot attach and mount an exFAT image here");
    const RemovableDevice device = enumerate_removable_devices().value(loop.node);
    QCOMPARE(device.root_path, point);

    loop.unmount();
    QCOMPARE(enumerate_removable_devices().value(loop.node).root_path, QString());
    QVERIFY(!device.has_file_system());

    // the node outlives the device: a detached loop device still opens
    const QString node = loop.node;
    loop.detach();
    QVERIFY(!device.is_available());
    const QMap<QString, RemovableDevice> after = enumerate_removable_devices();
    QVERIFY(!after.contains(node) || after.value(node).identity != device.identity);

    // the same node bound to another image is another device
    if (!run_tool("losetup", {node, other}))
        QSKIP("the loop node was taken by someone else before it could be bound again");
    loop.node = node;
    QVERIFY(!device.is_available());
    QVERIFY(enumerate_removable_devices().value(node).is_available());
}

QTEST_GUILESS_MAIN(TestDeviceEnumeration)
#include "tst_deviceenumeration.moc"
