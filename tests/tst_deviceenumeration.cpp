// The removable device listing: against a sysfs tree, mount table and udev
// database laid out as on a real laptop, and live on this machine with loop
// devices over card images.

#include "deviceenumeration.h"
#include "removabledevice.h"
#include "sysfsvolumetable.h"
#include "testsupport.h"
#include "volumeplatform.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

using volume_platform::VolumeInfo;

namespace {

constexpr qint64 MiB = 1024 * 1024;

QMap<QString, VolumeInfo> by_raw_path(const QList<VolumeInfo> &volumes)
{
    QMap<QString, VolumeInfo> map;
    for (const VolumeInfo &volume : volumes)
        map.insert(volume.raw_path, volume);
    return map;
}

SysfsVolumeTable::Roots fixture_roots(const QString &name)
{
    const QString root = QStringLiteral(VELVORA_FIXTURES_DIR "/") + name;
    SysfsVolumeTable::Roots roots;
    roots.sysfs = root + QStringLiteral("/sys");
    roots.mountinfo = root + QStringLiteral("/mountinfo");
    roots.swaps = root + QStringLiteral("/swaps");
    roots.udev_data = root + QStringLiteral("/udev/data");
    roots.dev = root + QStringLiteral("/dev");
    return roots;
}

using testsupport::LoopDevice;
using testsupport::tool_output;

QString loop_unavailable_reason()
{
    const QStringList missing = testsupport::missing_tools({QStringLiteral("losetup")});
    if (!missing.isEmpty())
        return QStringLiteral("losetup is not installed");
    if (!QFileInfo::exists(QStringLiteral("/dev/loop-control")))
        return QStringLiteral("this machine has no loop devices (/dev/loop-control is missing)");
    return {};
}

// The line velvora-scan --list prints for node, split at its tabs; run through
// wrapper (for example setpriv and its options) when given.
QStringList listed_line(const QString &node, QStringList wrapper = {})
{
    QProcess process;
    wrapper << QStringLiteral(VELVORA_SCAN_PATH) << QStringLiteral("--list");
    process.start(wrapper.takeFirst(), wrapper);
    if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0)
        return {};
    const QStringList lines = QString::fromLocal8Bit(process.readAllStandardOutput()).split(QLatin1Char('\n'));
    for (const QString &line : lines) {
        if (line.startsWith(node + QLatin1Char('\t')))
            return line.split(QLatin1Char('\t'));
    }
    return {};
}

// A disk image with an MBR holding one partition of the given type from
// sector 2048 to the end, as fdisk lays it out.
bool write_partitioned_image(const QString &path, qint64 size, quint8 type)
{
    QByteArray mbr(512, '\0');
    const quint32 first = 2048;
    const quint32 count = quint32(size / 512) - first;
    char *entry = mbr.data() + 446;
    entry[4] = char(type);
    for (int i = 0; i < 4; ++i) {
        entry[8 + i] = char((first >> (8 * i)) & 0xff);
        entry[12 + i] = char((count >> (8 * i)) & 0xff);
    }
    mbr[510] = char(0x55);
    mbr[511] = char(0xaa);
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(mbr) == 512 && file.resize(size);
}

} // namespace

class TestDeviceEnumeration : public QObject
{
    Q_OBJECT

private slots:
    void laptop_lists_cards_sticks_and_images();
    void without_udev_the_probe_names_the_file_system();

    void live_exfat_card_on_loop_device();
    void live_partitioned_fat32_card();
    void live_unformatted_4k_sector_image();
    void is_available_follows_the_file();
};

void TestDeviceEnumeration::laptop_lists_cards_sticks_and_images()
{
    QStringList probed;
    const SysfsVolumeTable table(fixture_roots(QStringLiteral("laptop")),
                                 [&probed](const QString &node, SysfsVolumeTable::FileSystemId *) {
                                     probed.append(node);
                                     return false;
                                 });
    const QMap<QString, VolumeInfo> volumes = by_raw_path(table.volumes());
    const QString dev = fixture_roots(QStringLiteral("laptop")).dev;
    // Never listed: sdb itself (it has partitions) and sdb2 (an extended partition's
    // container); sdc, a card reader without card; sdd, a USB disk holding /home
    // under LUKS; sde, a USB stick holding /boot; sdf, a USB disk used for swap;
    // sr0, a DVD drive with a disc; loop1, unbound; loop2, a snap package's
    // squashfs; the internal NVMe disk; dm-0, zram0 and ram0.
    QCOMPARE(volumes.keys(), (QStringList{dev + QStringLiteral("/loop0"), dev + QStringLiteral("/mmcblk0"),
                                          dev + QStringLiteral("/sdb1"), dev + QStringLiteral("/sdb5")}));
    QVERIFY2(probed.isEmpty(), "udev knows every listed volume; nothing should be probed");

    // USB stick, first partition: mounted twice, the folder bind mount must not win
    const VolumeInfo stick = volumes.value(dev + QStringLiteral("/sdb1"));
    QCOMPARE(stick.drive, QStringLiteral("sdb1"));
    QCOMPARE(stick.label, QStringLiteral("PHOTOS"));
    QCOMPARE(stick.file_system, QStringLiteral("FAT32"));
    QCOMPARE(stick.root_path, QStringLiteral("/media/anna/PHOTOS"));
    QCOMPARE(stick.bytes_per_sector, 512u);
    QCOMPARE(stick.size, qint64(20000768) * 512);
    QCOMPARE(stick.identity, volume_platform::block_device_identity(8, 17, 21));

    // its logical partition: label with a blank, as udev encodes it; not mounted
    const VolumeInfo logical = volumes.value(dev + QStringLiteral("/sdb5"));
    QCOMPARE(logical.label, QStringLiteral("MY CARD"));
    QCOMPARE(logical.file_system, QStringLiteral("exFAT"));
    QCOMPARE(logical.root_path, QString());
    QCOMPARE(logical.size, qint64(10029056) * 512);
    QCOMPARE(logical.identity, volume_platform::block_device_identity(8, 21, 21));

    // SD card without partition table in the built-in slot, mounted by exfat-fuse
    const VolumeInfo card = volumes.value(dev + QStringLiteral("/mmcblk0"));
    QCOMPARE(card.drive, QStringLiteral("mmcblk0"));
    QCOMPARE(card.label, QStringLiteral("CAMERA"));
    QCOMPARE(card.file_system, QStringLiteral("exFAT"));
    QCOMPARE(card.root_path, QStringLiteral("/media/anna/CAMERA CARD"));
    QCOMPARE(card.size, qint64(62333952) * 512);

    // loop device over a card image
    const VolumeInfo image = volumes.value(dev + QStringLiteral("/loop0"));
    QCOMPARE(image.label, QStringLiteral("NO NAME"));
    QCOMPARE(image.file_system, QStringLiteral("FAT16"));
    QCOMPARE(image.root_path, QStringLiteral("/mnt/failing"));
    QCOMPARE(image.size, qint64(2048) * MiB);
}

void TestDeviceEnumeration::without_udev_the_probe_names_the_file_system()
{
    SysfsVolumeTable::Roots roots = fixture_roots(QStringLiteral("laptop"));
    roots.udev_data = QStringLiteral("/nonexistent/udev/data");
    QStringList probed;
    const SysfsVolumeTable table(roots, [&probed](const QString &node, SysfsVolumeTable::FileSystemId *id) {
        probed.append(QFileInfo(node).fileName());
        if (!node.endsWith(QLatin1String("/mmcblk0")))
            return false; // unreadable, or no file system on it
        id->label = QStringLiteral("CAMERA");
        id->type = QStringLiteral("vfat");
        id->version = QStringLiteral("FAT32");
        return true;
    });
    const QMap<QString, VolumeInfo> volumes = by_raw_path(table.volumes());
    probed.sort();
    QCOMPARE(probed, (QStringList{QStringLiteral("loop0"), QStringLiteral("mmcblk0"), QStringLiteral("sdb1"),
                                  QStringLiteral("sdb5")}));
    // volumes the probe cannot name are still listed, with their size
    QCOMPARE(volumes.size(), 4);
    const VolumeInfo stick = volumes.value(roots.dev + QStringLiteral("/sdb1"));
    QVERIFY(stick.label.isEmpty());
    QVERIFY(stick.file_system.isEmpty());
    QCOMPARE(stick.size, qint64(20000768) * 512);
    const VolumeInfo card = volumes.value(roots.dev + QStringLiteral("/mmcblk0"));
    QCOMPARE(card.label, QStringLiteral("CAMERA"));
    QCOMPARE(card.file_system, QStringLiteral("FAT32"));
}

void TestDeviceEnumeration::live_exfat_card_on_loop_device()
{
    const QString reason = loop_unavailable_reason();
    if (!reason.isEmpty())
        QSKIP(qPrintable(reason));
    if (!testsupport::missing_tools({QStringLiteral("mkfs.exfat"), QStringLiteral("mount.exfat-fuse")}).isEmpty())
        QSKIP("mkfs.exfat or mount.exfat-fuse is not installed");

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString image = dir.filePath(QStringLiteral("card.img"));
    const QString other_image = dir.filePath(QStringLiteral("other.img"));
    QVERIFY(QDir().mkpath(dir.filePath(QStringLiteral("mnt"))));
    const QString mount_point = QFileInfo(dir.filePath(QStringLiteral("mnt"))).canonicalFilePath();
    {
        QFile file(image);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.resize(32 * MiB));
    }
    QVERIFY(testsupport::run_tool(QStringLiteral("mkfs.exfat"), {QStringLiteral("-L"), QStringLiteral("VLVTEST"), image}));

    LoopDevice loop;
    if (!loop.attach(image, {QStringLiteral("-P")}))
        QSKIP("losetup could not attach an image here (no permission or no free loop device)");
    if (!QFileInfo::exists(QStringLiteral("/dev/fuse")) || !loop.mount_exfat(mount_point))
        QSKIP("exfat-fuse could not mount the image here (no FUSE)");

    QMap<QString, RemovableDevice> devices = enumerate_removable_devices();
    QVERIFY2(devices.contains(loop.node), qPrintable(loop.node + QStringLiteral(" is not listed")));
    RemovableDevice device = devices.value(loop.node);
    QCOMPARE(device.raw_path, loop.node);
    QCOMPARE(device.drive, loop.name());
    QCOMPARE(device.label, QStringLiteral("VLVTEST"));
    QCOMPARE(device.file_system, QStringLiteral("exFAT"));
    QCOMPARE(device.size, 32 * MiB);
    QCOMPARE(device.bytes_per_sector, 512u);
    QCOMPARE(device.sector_count, 32 * MiB / 512);
    QCOMPARE(device.root_path, mount_point);
    QCOMPARE(device.identity, volume_platform::identity_of(loop.node));
    QVERIFY(device.is_available());
    QVERIFY(device.has_file_system());

    const QStringList line = listed_line(loop.node);
    QCOMPARE(line, (QStringList{loop.node,
                                QStringLiteral("VLVTEST (%1) - 32 MB | exFAT Volume").arg(loop.name()),
                                mount_point}));

    // listing needs no read access to the device
    const QStringList as_nobody = {QStringLiteral("setpriv"), QStringLiteral("--reuid=65534"),
                                   QStringLiteral("--regid=65534"), QStringLiteral("--clear-groups")};
    if (testsupport::run_tool(as_nobody.first(), as_nobody.mid(1) << QStringLiteral("true"))) {
        const QStringList unprivileged = listed_line(loop.node, as_nobody);
        QCOMPARE(unprivileged.size(), 3);
        QVERIFY2(unprivileged[1].contains(QStringLiteral("(%1) - 32 MB | ").arg(loop.name())),
                 qPrintable(unprivileged[1]));
        QCOMPARE(unprivileged[2], mount_point);
    } else {
        qInfo("setpriv cannot switch to an unprivileged user here; listing without read access not checked");
    }

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
    {
        QFile file(other_image);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.resize(32 * MiB));
    }
    if (!testsupport::run_tool(QStringLiteral("losetup"), {node, other_image})) {
        qInfo("%s was taken by someone else before it could be bound again; nothing more to check",
              qPrintable(node));
        return;
    }
    loop.node = node;
    QVERIFY(volume_platform::identity_of(node) != 0);
    QVERIFY(!device.is_available());
    QVERIFY(enumerate_removable_devices().value(node).is_available());
}

void TestDeviceEnumeration::live_partitioned_fat32_card()
{
    const QString reason = loop_unavailable_reason();
    if (!reason.isEmpty())
        QSKIP(qPrintable(reason));
    if (!testsupport::missing_tools({QStringLiteral("mkfs.fat")}).isEmpty())
        QSKIP("mkfs.fat is not installed");

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString image = dir.filePath(QStringLiteral("stick.img"));
    QVERIFY(write_partitioned_image(image, 40 * MiB, 0x0c));

    LoopDevice loop;
    if (!loop.attach(image, {QStringLiteral("-P")}))
        QSKIP("losetup could not attach an image here (no permission or no free loop device)");
    const QString partition = loop.node + QStringLiteral("p1");
    // a kernel built without the MBR parser leaves partitions to user space
    if (!QFileInfo::exists(partition))
        testsupport::run_tool(QStringLiteral("partx"), {QStringLiteral("-a"), loop.node});
    for (int i = 0; i < 50 && !QFileInfo::exists(partition); ++i)
        QTest::qWait(100);
    QVERIFY2(QFileInfo::exists(partition), "the kernel made no partition node");
    QVERIFY(testsupport::run_tool(QStringLiteral("mkfs.fat"),
                                  {QStringLiteral("-F"), QStringLiteral("32"), QStringLiteral("-n"),
                                   QStringLiteral("SNAPSHOTS"), partition}));

    const QMap<QString, RemovableDevice> devices = enumerate_removable_devices();
    QVERIFY2(!devices.contains(loop.node), "a partitioned disk is listed by its partitions only");
    QVERIFY2(devices.contains(partition), qPrintable(partition + QStringLiteral(" is not listed")));
    const RemovableDevice device = devices.value(partition);
    QCOMPARE(device.drive, loop.name() + QStringLiteral("p1"));
    QCOMPARE(device.label, QStringLiteral("SNAPSHOTS"));
    QCOMPARE(device.file_system, QStringLiteral("FAT32"));
    QCOMPARE(device.size, 40 * MiB - 2048 * 512);
    QCOMPARE(device.root_path, QString());
    QCOMPARE(device.identity, volume_platform::identity_of(partition));
    QVERIFY(device.is_available());
    QVERIFY(!device.has_file_system());
}

void TestDeviceEnumeration::live_unformatted_4k_sector_image()
{
    const QString reason = loop_unavailable_reason();
    if (!reason.isEmpty())
        QSKIP(qPrintable(reason));

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString image = dir.filePath(QStringLiteral("blank.img"));
    {
        QFile file(image);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.resize(8 * MiB));
    }
    LoopDevice loop;
    if (!loop.attach(image, {QStringLiteral("-b"), QStringLiteral("4096")}))
        QSKIP("losetup could not attach an image with 4096-byte sectors here");

    const RemovableDevice device = enumerate_removable_devices().value(loop.node);
    QCOMPARE(device.raw_path, loop.node);
    QCOMPARE(device.bytes_per_sector, 4096u);
    QCOMPARE(device.sector_count, 8 * MiB / 4096);
    QCOMPARE(device.size, 8 * MiB);
    QVERIFY(device.label.isEmpty());
    QVERIFY(device.file_system.isEmpty());
    QCOMPARE(listed_line(loop.node).value(1), QStringLiteral("Removable Media (%1) - 8 MB | Not formatted").arg(loop.name()));
}

void TestDeviceEnumeration::is_available_follows_the_file()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    RemovableDevice device;
    QVERIFY(!device.is_available());

    device.raw_path = dir.filePath(QStringLiteral("card.img"));
    QVERIFY(testsupport::write_file(device.raw_path, QByteArray(4096, 'a')));
    device.identity = volume_platform::identity_of(device.raw_path);
    QVERIFY(device.is_available());

    // another file moved into its place is not the volume that was chosen
    const QString replacement = dir.filePath(QStringLiteral("replacement.img"));
    QVERIFY(testsupport::write_file(replacement, QByteArray(4096, 'b')));
    QVERIFY(QFile::remove(device.raw_path));
    QVERIFY(QFile::rename(replacement, device.raw_path));
    QVERIFY(!device.is_available());

    QVERIFY(QFile::remove(device.raw_path));
    device.identity = 0;
    QVERIFY(!device.is_available());
}

QTEST_GUILESS_MAIN(TestDeviceEnumeration)
#include "tst_deviceenumeration.moc"
