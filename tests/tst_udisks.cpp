// Raw access through the desktop's disk service: a stand-in UDisks2 service
// on a private dbus-daemon, the client's listing and descriptors in this
// process, and an unprivileged user who reads a loop device only through
// the service.

#include "deviceenumeration.h"
#include "rawaccess.h"
#include "privatebus.h"
#include "testsupport.h"
#include "udisksclient.h"
#include "volumeplatform.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusContext>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusUnixFileDescriptor>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QProcess>
#include <QSet>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <atomic>
#include <memory>

#include <unistd.h> // geteuid: the live cases need root

using volume_platform::Failure;
using volume_platform::VolumeInfo;

using Interfaces = QMap<QString, QVariantMap>;
using Objects = QMap<QDBusObjectPath, Interfaces>;

namespace {

constexpr qint64 MiB = 1024 * 1024;
const QString udisks_root = QStringLiteral("/org/freedesktop/UDisks2");
const QString block_interface = QStringLiteral("org.freedesktop.UDisks2.Block");
const QStringList as_nobody = {QStringLiteral("setpriv"), QStringLiteral("--reuid=65534"),
                               QStringLiteral("--regid=65534"), QStringLiteral("--clear-groups")};

// Byte strings as the service sends them: with a trailing NUL.
QByteArray c_string(const QString &text)
{
    return QFile::encodeName(text) + '\0';
}

QDBusObjectPath block_path(const QString &name)
{
    return QDBusObjectPath(udisks_root + QStringLiteral("/block_devices/") + name);
}

// What the service says of one block device.
struct BlockFacts {
    qint64 size = 0;
    QString label = {};
    QString type = {};
    QString version = {};
    QDBusObjectPath drive = QDBusObjectPath(QStringLiteral("/"));
    bool hint_system = false;
    bool hint_ignore = false;
    std::optional<QStringList> mount_points = {}; // set: it has a Filesystem interface
};

// The object tree the service exports, built a device at a time.
class Tree
{
public:
    QDBusObjectPath drive(const QString &name, bool removable, bool media_removable, const QString &bus,
                          bool media_available = true, const QStringList &media = {})
    {
        const QDBusObjectPath path(udisks_root + QStringLiteral("/drives/") + name);
        objects.insert(path, {{QStringLiteral("org.freedesktop.UDisks2.Drive"),
                               {{QStringLiteral("Removable"), removable},
                                {QStringLiteral("MediaRemovable"), media_removable},
                                {QStringLiteral("ConnectionBus"), bus},
                                {QStringLiteral("MediaAvailable"), media_available},
                                {QStringLiteral("MediaCompatibility"), media},
                                {QStringLiteral("Optical"), false}}}});
        return path;
    }

    // The block device node; more holds its other interfaces.
    QDBusObjectPath block(const QString &node, const BlockFacts &facts, Interfaces more = {})
    {
        more.insert(block_interface, {{QStringLiteral("Device"), c_string(node)},
                                      {QStringLiteral("Size"), qulonglong(facts.size)},
                                      {QStringLiteral("IdLabel"), facts.label},
                                      {QStringLiteral("IdType"), facts.type},
                                      {QStringLiteral("IdVersion"), facts.version},
                                      {QStringLiteral("Drive"), QVariant::fromValue(facts.drive)},
                                      {QStringLiteral("HintSystem"), facts.hint_system},
                                      {QStringLiteral("HintIgnore"), facts.hint_ignore}});
        if (facts.mount_points) {
            QList<QByteArray> points;
            for (const QString &point : *facts.mount_points)
                points.append(c_string(point));
            more.insert(QStringLiteral("org.freedesktop.UDisks2.Filesystem"),
                        {{QStringLiteral("MountPoints"), QVariant::fromValue(points)}});
        }
        const QDBusObjectPath path = block_path(QFileInfo(node).fileName());
        objects.insert(path, more);
        return path;
    }

    QDBusObjectPath partitioned(const QString &node, const BlockFacts &facts)
    {
        return block(node, facts, {{QStringLiteral("org.freedesktop.UDisks2.PartitionTable"), {}}});
    }

    QDBusObjectPath partition(const QString &node, const QDBusObjectPath &table, const BlockFacts &facts,
                              bool container = false)
    {
        return block(node, facts,
                     {{QStringLiteral("org.freedesktop.UDisks2.Partition"),
                       {{QStringLiteral("Table"), QVariant::fromValue(table)},
                        {QStringLiteral("IsContainer"), container}}}});
    }

    // A loop device; the administrator's carry HintSystem.
    QDBusObjectPath loop(const QString &node, BlockFacts facts, const QString &backing_file, Interfaces more = {})
    {
        facts.hint_system = true;
        more.insert(QStringLiteral("org.freedesktop.UDisks2.Loop"),
                    {{QStringLiteral("BackingFile"), c_string(backing_file)}});
        return block(node, facts, more);
    }

    Objects objects;
};

// The object manager at /org/freedesktop/UDisks2.
class FakeObjectManager : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.DBus.ObjectManager")

public:
    explicit FakeObjectManager(const Objects &objects)
        : objects(objects)
    {
    }

public slots:
    Objects GetManagedObjects() { return objects; }

private:
    const Objects objects;
};

// One block object. OpenForBackup hands out a read-only descriptor of
// target, or refuses as polkit does when its prompt is cancelled.
class FakeBlock : public QObject, protected QDBusContext
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.UDisks2.Block")

public:
    FakeBlock(const QString &target, bool refuse)
        : target(target)
        , refuse(refuse)
    {
    }

    std::atomic<int> calls{0};
    std::atomic<int> interactive_calls{0}; // with auth.no_user_interaction false

public slots:
    QDBusUnixFileDescriptor OpenForBackup(const QVariantMap &options)
    {
        ++calls;
        const QVariant no_interaction = options.value(QStringLiteral("auth.no_user_interaction"));
        if (no_interaction.isValid() && !no_interaction.toBool() && message().isInteractiveAuthorizationAllowed())
            ++interactive_calls;
        if (refuse) {
            sendErrorReply(QStringLiteral("org.freedesktop.UDisks2.Error.NotAuthorizedDismissed"),
                           QStringLiteral("The authentication dialog was dismissed"));
            return {};
        }
        QFile file(target);
        if (!file.open(QIODevice::ReadOnly)) {
            sendErrorReply(QStringLiteral("org.freedesktop.UDisks2.Error.Failed"), file.errorString());
            return {};
        }
        return QDBusUnixFileDescriptor(file.handle()); // keeps a duplicate
    }

private:
    const QString target;
    const bool refuse;
};

// The stand-in service: its objects answer on a thread of their own, so
// that this thread may wait for a reply or for a child process.
class FakeUdisks
{
public:
    FakeUdisks(const QString &address, const Objects &objects)
        : connection(QDBusConnection::connectToBus(address, QStringLiteral("fake-udisks")))
        , manager(objects)
    {
        manager.moveToThread(&thread);
        thread.start();
    }
    ~FakeUdisks()
    {
        connection.unregisterService(UdisksClient::service);
        connection.unregisterObject(udisks_root, QDBusConnection::UnregisterTree);
        thread.quit();
        thread.wait();
        blocks.clear();
        QDBusConnection::disconnectFromBus(QStringLiteral("fake-udisks"));
    }

    // A block object whose OpenForBackup opens target, or refuses.
    FakeBlock *serve_block(const QDBusObjectPath &path, const QString &target, bool refuse = false)
    {
        blocks.emplace_back(std::make_unique<FakeBlock>(target, refuse));
        blocks.back()->moveToThread(&thread);
        connection.registerObject(path.path(), blocks.back().get(), QDBusConnection::ExportAllSlots);
        return blocks.back().get();
    }

    bool publish()
    {
        return connection.registerObject(udisks_root, &manager, QDBusConnection::ExportAllSlots)
            && connection.registerService(UdisksClient::service);
    }

    QDBusConnection connection;
    QThread thread;
    FakeObjectManager manager;
    std::vector<std::unique_ptr<FakeBlock>> blocks;
};

using testsupport::LoopDevice;
using testsupport::PrivateBus;
using testsupport::tool_output;

QString unprivileged_loop_reason()
{
    if (::geteuid() != 0)
        return QStringLiteral("not root: loop devices cannot be attached and no other user can be taken on");
    if (!testsupport::missing_tools({QStringLiteral("losetup"), QStringLiteral("setpriv"),
                                     QStringLiteral("mkfs.fat"), QStringLiteral("mcopy")})
             .isEmpty())
        return QStringLiteral("losetup, setpriv, mkfs.fat or mtools is not installed");
    if (!QFileInfo::exists(QStringLiteral("/dev/loop-control")))
        return QStringLiteral("this machine has no loop devices (/dev/loop-control is missing)");
    if (!testsupport::run_tool(as_nobody.first(), as_nobody.mid(1) << QStringLiteral("true")))
        return QStringLiteral("setpriv cannot switch to an unprivileged user here");
    return {};
}

// The kernel's node of the first partition, made by user space where the
// kernel has no MBR parser.
bool has_partition_node(const QString &node)
{
    const QString partition = node + QStringLiteral("p1");
    if (!QFileInfo::exists(partition))
        testsupport::run_tool(QStringLiteral("partx"), {QStringLiteral("-a"), node});
    for (int i = 0; i < 50 && !QFileInfo::exists(partition); ++i)
        QTest::qWait(100);
    return QFileInfo::exists(partition);
}

struct Run {
    int exit_code = -1;
    QMap<QString, QString> values; // key=value lines of stdout
    QString out;
    QString err;
};

// Runs program as nobody; waits with the event loop turning.
Run run_as_nobody(const QString &program, const QStringList &arguments, const QString &system_bus = {})
{
    QProcess process;
    if (!system_bus.isEmpty()) {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"), system_bus);
        process.setProcessEnvironment(environment);
    }
    process.start(as_nobody.first(), as_nobody.mid(1) << program << arguments);
    Run run;
    if (!process.waitForStarted(10000))
        return run;
    QDeadlineTimer deadline(180000);
    while (process.state() != QProcess::NotRunning && !deadline.hasExpired())
        process.waitForFinished(100);
    const bool hung = process.state() != QProcess::NotRunning;
    if (hung) {
        process.kill();
        process.waitForFinished(10000);
    }
    run.out = QString::fromLocal8Bit(process.readAllStandardOutput());
    run.err = QString::fromLocal8Bit(process.readAllStandardError());
    run.exit_code = !hung && process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    for (const QString &line : run.out.split(QLatin1Char('\n'))) {
        const qsizetype equals = line.indexOf(QLatin1Char('='));
        if (equals > 0)
            run.values.insert(line.left(equals), line.mid(equals + 1));
    }
    return run;
}

// A world-writable folder for what an unprivileged process writes.
QString open_folder(const QTemporaryDir &dir, const QString &name)
{
    const QString path = dir.filePath(name);
    QDir().mkpath(path);
    QFile::setPermissions(path, QFileDevice::Permissions(0x7777));
    return path;
}

QSet<QByteArray> contents_of(const QString &directory)
{
    QSet<QByteArray> contents;
    const QStringList names = QDir(directory).entryList(QDir::Files);
    for (const QString &name : names)
        contents.insert(testsupport::read_file(QDir(directory).filePath(name)));
    return contents;
}

QMap<QString, QString> blkid_facts(const QString &node)
{
    QMap<QString, QString> facts;
    const QStringList lines = tool_output(QStringLiteral("blkid"), {QStringLiteral("-p"), QStringLiteral("-o"),
                                                                    QStringLiteral("export"), node})
                                  .split(QLatin1Char('\n'));
    for (const QString &line : lines) {
        const qsizetype equals = line.indexOf(QLatin1Char('='));
        if (equals > 0)
            facts.insert(line.left(equals), line.mid(equals + 1));
    }
    return facts;
}

// What the real service reports of a block device, learnt the way it learns it.
BlockFacts facts_of(const QString &node)
{
    const QMap<QString, QString> probed = blkid_facts(node);
    BlockFacts facts;
    facts.size = tool_output(QStringLiteral("lsblk"), {QStringLiteral("-bndo"), QStringLiteral("SIZE"), node})
                     .toLongLong();
    facts.label = probed.value(QStringLiteral("LABEL"));
    facts.type = probed.value(QStringLiteral("TYPE"));
    facts.version = probed.value(QStringLiteral("VERSION"));
    return facts;
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
};

void TestUdisks::initTestCase()
{
    qDBusRegisterMetaType<QList<QByteArray>>();
    qDBusRegisterMetaType<QVariantMap>();
    qDBusRegisterMetaType<Interfaces>();
    qDBusRegisterMetaType<Objects>();
}

// A laptop with its system disk, a USB stick with an MBR and a logical
// partition, an empty card reader, a DVD drive, an SD card in an SDIO slot,
// a snap package and two image files on loop devices.
void TestUdisks::lists_the_volumes_a_user_would_pick()
{
    PrivateBus bus;
    if (bus.address.isEmpty())
        QSKIP("dbus-daemon cannot be started here");

    Tree tree;
    const QDBusObjectPath ssd = tree.drive(QStringLiteral("Samsung_SSD"), false, false, QStringLiteral("sata"));
    const QDBusObjectPath sda = tree.partitioned(QStringLiteral("/dev/sda"),
                                                 {.size = 500000 * MiB, .drive = ssd, .hint_system = true});
    tree.partition(QStringLiteral("/dev/sda1"), sda,
                   {.size = 499000 * MiB, .type = QStringLiteral("ext4"), .drive = ssd, .hint_system = true,
                    .mount_points = QStringList{QStringLiteral("/")}});

    const QDBusObjectPath stick = tree.drive(QStringLiteral("SanDisk_Cruzer"), true, false, QStringLiteral("usb"));
    const QDBusObjectPath sdb = tree.partitioned(QStringLiteral("/dev/sdb"), {.size = 16000 * MiB, .drive = stick});
    tree.partition(QStringLiteral("/dev/sdb1"), sdb,
                   {.size = 8000 * MiB, .label = QStringLiteral("HOLIDAY"), .type = QStringLiteral("vfat"),
                    .version = QStringLiteral("FAT32"), .drive = stick,
                    .mount_points = QStringList{QStringLiteral("/media/anna/HOLIDAY"), QStringLiteral("/mnt/bind")}});
    tree.partition(QStringLiteral("/dev/sdb2"), sdb, {.size = 1024, .drive = stick}, true);
    tree.partition(QStringLiteral("/dev/sdb5"), sdb,
                   {.size = 7990 * MiB, .type = QStringLiteral("exfat"), .version = QStringLiteral("1.0"),
                    .drive = stick, .mount_points = QStringList()});

    const QDBusObjectPath reader = tree.drive(QStringLiteral("Reader"), false, true, QStringLiteral("usb"), false);
    tree.block(QStringLiteral("/dev/sdc"), {.drive = reader});
    const QDBusObjectPath dvd = tree.drive(QStringLiteral("DVD"), false, true, QStringLiteral("sata"), true,
                                           {QStringLiteral("optical_dvd")});
    tree.block(QStringLiteral("/dev/sr0"), {.size = 4700 * MiB, .label = QStringLiteral("PHOTOS_2019"),
                                            .type = QStringLiteral("iso9660"), .drive = dvd});
    const QDBusObjectPath slot = tree.drive(QStringLiteral("SD"), false, false, QStringLiteral("sdio"));
    tree.block(QStringLiteral("/dev/mmcblk0"),
               {.size = 64000 * MiB, .label = QStringLiteral("EOS_DIGITAL"), .type = QStringLiteral("exfat"),
                .drive = slot, .mount_points = QStringList{QStringLiteral("/media/anna/EOS_DIGITAL")}});
    // a live system running from a stick
    const QDBusObjectPath live = tree.drive(QStringLiteral("Live"), true, false, QStringLiteral("usb"));
    const QDBusObjectPath sdg = tree.partitioned(QStringLiteral("/dev/sdg"), {.size = 8000 * MiB, .drive = live});
    tree.partition(QStringLiteral("/dev/sdg1"), sdg, {.size = 3000 * MiB, .type = QStringLiteral("ext4"),
                                                      .drive = live, .mount_points = QStringList{QStringLiteral("/")}});
    tree.partition(QStringLiteral("/dev/sdg2"), sdg, {.size = 5000 * MiB, .type = QStringLiteral("vfat"),
                                                      .version = QStringLiteral("FAT32"), .drive = live});
    // a built-in reader the administrator marked as the system's
    const QDBusObjectPath marked = tree.drive(QStringLiteral("Marked"), false, true, QStringLiteral("usb"));
    tree.block(QStringLiteral("/dev/sdh"), {.size = 2000 * MiB, .type = QStringLiteral("vfat"),
                                            .version = QStringLiteral("FAT32"), .drive = marked, .hint_system = true});
    // a stick the administrator told udev to hide
    const QDBusObjectPath hidden = tree.drive(QStringLiteral("Hidden"), true, false, QStringLiteral("usb"));
    tree.block(QStringLiteral("/dev/sdd"), {.size = 1000 * MiB, .type = QStringLiteral("vfat"),
                                            .version = QStringLiteral("FAT16"), .drive = hidden, .hint_ignore = true});

    tree.loop(QStringLiteral("/dev/loop0"), {.size = 50 * MiB, .type = QStringLiteral("squashfs"),
                                             .mount_points = QStringList{QStringLiteral("/snap/core/1")}},
              QStringLiteral("/var/lib/snapd/snaps/core_1.snap"));
    tree.loop(QStringLiteral("/dev/loop1"), {.size = 64 * MiB, .label = QStringLiteral("CARD"),
                                             .type = QStringLiteral("vfat"), .version = QStringLiteral("FAT32")},
              QStringLiteral("/home/anna/card.img"));
    tree.loop(QStringLiteral("/dev/loop2"), {}, QString());

    FakeUdisks service(bus.address, tree.objects);
    const QDBusConnection client_bus = QDBusConnection::connectToBus(bus.address, QStringLiteral("client"));
    const UdisksClient client(client_bus);
    QVERIFY2(!client.list_volumes().has_value(), "a listing came from a bus without the service");
    QVERIFY(service.publish());

    const std::optional<QList<VolumeInfo>> listed = client.list_volumes();
    QVERIFY(listed.has_value());
    QMap<QString, VolumeInfo> volumes;
    for (const VolumeInfo& volume : *listed)
        volumes.insert(volume.raw_path, volume);
    QCOMPARE(volumes.keys(), (QStringList{QStringLiteral("/dev/loop1"), QStringLiteral("/dev/mmcblk0"),
                                          QStringLiteral("/dev/sdb1"), QStringLiteral("/dev/sdb5")}));

    const VolumeInfo holiday = volumes.value(QStringLiteral("/dev/sdb1"));
    QCOMPARE(holiday.drive, QStringLiteral("sdb1"));
    QCOMPARE(holiday.label, QStringLiteral("HOLIDAY"));
    QCOMPARE(holiday.file_system, QStringLiteral("FAT32"));
    QCOMPARE(holiday.root_path, QStringLiteral("/media/anna/HOLIDAY"));
    QCOMPARE(holiday.size, 8000 * MiB);
    QCOMPARE(volumes.value(QStringLiteral("/dev/sdb5")).file_system, QStringLiteral("exFAT"));
    QCOMPARE(volumes.value(QStringLiteral("/dev/sdb5")).root_path, QString());
    QCOMPARE(volumes.value(QStringLiteral("/dev/mmcblk0")).root_path, QStringLiteral("/media/anna/EOS_DIGITAL"));
    QCOMPARE(volumes.value(QStringLiteral("/dev/loop1")).label, QStringLiteral("CARD"));

    // the window and velvora-scan get their device records the same way
    const RawAccess access(client_bus);
    const QMap<QString, RemovableDevice> devices = access.removable_devices();
    QCOMPARE(devices.keys(), volumes.keys());
    QCOMPARE(devices.value(QStringLiteral("/dev/sdb1")).display_text(),
             QStringLiteral("HOLIDAY (sdb1) - 8000 MB\nFAT32 Volume"));
    QDBusConnection::disconnectFromBus(QStringLiteral("client"));
}

// The service's descriptor reads the volume it names; a cancelled prompt and
// an unknown node are told apart.
void TestUdisks::open_for_backup_hands_over_a_readable_descriptor()
{
    PrivateBus bus;
    if (bus.address.isEmpty())
        QSKIP("dbus-daemon cannot be started here");
    QTemporaryDir dir;
    const QString image = dir.filePath(QStringLiteral("card.img"));
    QByteArray content(3 * MiB + 100, '\0');
    for (qsizetype i = 0; i < content.size(); ++i)
        content[i] = char((i * 7919) >> 5);
    QVERIFY(testsupport::write_file(image, content));

    Tree tree;
    const QDBusObjectPath sde = tree.block(QStringLiteral("/dev/sde"), {.size = content.size()});
    const QDBusObjectPath sdf = tree.block(QStringLiteral("/dev/sdf"), {.size = content.size()});
    FakeUdisks service(bus.address, tree.objects);
    FakeBlock *card = service.serve_block(sde, image);
    FakeBlock *refusing = service.serve_block(sdf, image, true);
    QVERIFY(service.publish());

    const QDBusConnection client_bus = QDBusConnection::connectToBus(bus.address, QStringLiteral("client"));
    const UdisksClient client(client_bus);
    Failure failure = Failure::Other;
    const volume_platform::Handle handle = client.open_for_backup(QStringLiteral("/dev/sde"), &failure);
    QCOMPARE(failure, Failure::None);
    QVERIFY(handle != volume_platform::invalid_handle);
    QCOMPARE(card->calls.load(), 1);
    QCOMPARE(card->interactive_calls.load(), 1);
    QCOMPARE(volume_platform::geometry(handle).size, content.size());
    QByteArray read(content.size(), '\0');
    QVERIFY(volume_platform::seek(handle, 0));
    QCOMPARE(volume_platform::read(handle, read.data(), read.size()), content.size());
    QCOMPARE(read, content);
    QVERIFY(volume_platform::close(handle));

    QCOMPARE(client.open_for_backup(QStringLiteral("/dev/sdf"), &failure), volume_platform::invalid_handle);
    QCOMPARE(failure, Failure::AuthorizationRefused);
    QCOMPARE(refusing->calls.load(), 1);
    QCOMPARE(client.open_for_backup(QStringLiteral("/dev/sdz"), &failure), volume_platform::invalid_handle);
    QCOMPARE(failure, Failure::NotFound);
    QCOMPARE(card->calls.load() + refusing->calls.load(), 2);
    QDBusConnection::disconnectFromBus(QStringLiteral("client"));
}

// An unpartitioned FAT32 card and a partitioned, mounted exFAT card on loop
// devices: the service's description of them gives the records the sysfs
// listing gives.
void TestUdisks::same_records_as_the_device_listing()
{
    const QString reason = unprivileged_loop_reason();
    if (!reason.isEmpty())
        QSKIP(qPrintable(reason));
    PrivateBus bus;
    if (bus.address.isEmpty())
        QSKIP("dbus-daemon cannot be started here");
    QTemporaryDir dir;
    testsupport::FatImage fat;
    QVERIFY(fat.create(dir.filePath(QStringLiteral("fat.img")), 40 * MiB, QStringLiteral("VLVFAT")));
    LoopDevice fat_loop;
    if (!fat_loop.attach(fat.path()))
        QSKIP("losetup could not attach an image here (no free loop device)");

    Tree tree;
    tree.loop(fat_loop.node, facts_of(fat_loop.node), fat.path());

    // a partitioned image, its exFAT partition mounted through FUSE when it can be
    LoopDevice parted_loop;
    QString partition_node;
    const QString parted = dir.filePath(QStringLiteral("parted.img"));
    {
        QByteArray mbr(512, '\0');
        mbr[446 + 4] = char(0x07);
        const quint32 first = 2048, count = quint32(48 * MiB / 512) - 2048;
        for (int i = 0; i < 4; ++i) {
            mbr[446 + 8 + i] = char((first >> (8 * i)) & 0xff);
            mbr[446 + 12 + i] = char((count >> (8 * i)) & 0xff);
        }
        mbr[510] = char(0x55);
        mbr[511] = char(0xaa);
        QFile file(parted);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(mbr) == 512 && file.resize(48 * MiB));
    }
    if (parted_loop.attach(parted, {QStringLiteral("-P")}) && has_partition_node(parted_loop.node)
        && testsupport::missing_tools({QStringLiteral("mkfs.exfat")}).isEmpty()) {
        partition_node = parted_loop.node + QStringLiteral("p1");
        QVERIFY(testsupport::run_tool(QStringLiteral("mkfs.exfat"), {QStringLiteral("-L"), QStringLiteral("VLVPART"),
                                                                     partition_node}));
        const QString mount_point = QDir(dir.path()).filePath(QStringLiteral("mnt"));
        QVERIFY(QDir().mkpath(mount_point));
        BlockFacts partition_facts = facts_of(partition_node);
        partition_facts.mount_points = QStringList();
        if (QFileInfo::exists(QStringLiteral("/dev/fuse"))
            && testsupport::run_tool(QStringLiteral("mount.exfat-fuse"), {partition_node, mount_point})) {
            parted_loop.mount_point = mount_point;
            partition_facts.mount_points->append(QFileInfo(mount_point).canonicalFilePath());
        } else {
            qInfo("exfat-fuse cannot mount here; the partition is compared unmounted");
        }
        const QDBusObjectPath table = tree.loop(parted_loop.node, facts_of(parted_loop.node), parted,
                                                {{QStringLiteral("org.freedesktop.UDisks2.PartitionTable"), {}}});
        tree.partition(partition_node, table, partition_facts);
    } else {
        qInfo("no partitioned loop device here (losetup -P or mkfs.exfat missing); the partition is not compared");
    }

    FakeUdisks service(bus.address, tree.objects);
    QVERIFY(service.publish());
    const QDBusConnection client_bus = QDBusConnection::connectToBus(bus.address, QStringLiteral("client"));
    const std::optional<QList<VolumeInfo>> from_service = UdisksClient(client_bus).list_volumes();
    QDBusConnection::disconnectFromBus(QStringLiteral("client"));
    QVERIFY(from_service.has_value());
    QMap<QString, VolumeInfo> from_sysfs;
    for (const VolumeInfo &volume : volume_platform::list_volumes())
        from_sysfs.insert(volume.raw_path, volume);

    QStringList nodes{fat_loop.node};
    if (!partition_node.isEmpty())
        nodes.append(partition_node);
    QCOMPARE(from_service->size(), nodes.size());
    for (const VolumeInfo &volume : *from_service) {
        QVERIFY2(nodes.contains(volume.raw_path), qPrintable(volume.raw_path));
        QVERIFY2(from_sysfs.contains(volume.raw_path), qPrintable(volume.raw_path + QStringLiteral(" not in sysfs")));
        const VolumeInfo expected = from_sysfs.value(volume.raw_path);
        QCOMPARE(volume.drive, expected.drive);
        QCOMPARE(volume.root_path, expected.root_path);
        QCOMPARE(volume.label, expected.label);
        QCOMPARE(volume.file_system, expected.file_system);
        QCOMPARE(volume.bytes_per_sector, expected.bytes_per_sector);
        QCOMPARE(volume.size, expected.size);
        QCOMPARE(volume.identity, expected.identity);
    }
    QCOMPARE(from_sysfs.value(fat_loop.node).file_system, QStringLiteral("FAT32"));

    // velvora-scan --list of an ordinary user, whose system bus has the service
    const Run listed = run_as_nobody(QStringLiteral(VELVORA_SCAN_PATH), {QStringLiteral("--list")}, bus.address);
    QCOMPARE(listed.exit_code, 0);
    QVERIFY2(listed.out.contains(fat_loop.node + QStringLiteral("\tVLVFAT (%1) - 40 MB | FAT32 Volume\t\n")
                                                     .arg(fat_loop.name())),
             qPrintable(listed.out));
}

// The whole road for someone outside the disk group: the node refuses them,
// the service hands out a descriptor after one prompt, and every deleted
// photo of the card comes back.
void TestUdisks::unprivileged_user_scans_a_loop_device_through_the_service()
{
    const QString reason = unprivileged_loop_reason();
    if (!reason.isEmpty())
        QSKIP(qPrintable(reason));
    PrivateBus bus;
    if (bus.address.isEmpty())
        QSKIP("dbus-daemon cannot be started here");

    QTemporaryDir dir;
    QFile::setPermissions(dir.path(), QFileDevice::Permissions(0x7755));
    testsupport::FatImage card;
    QVERIFY(card.create(dir.filePath(QStringLiteral("card.img")), 40 * MiB));
    QVERIFY(card.mkdir(QStringLiteral("/DCIM")));
    QList<QByteArray> deleted;
    for (int i = 0; i < 6; ++i) {
        const QImage picture = testsupport::make_picture(640 + 16 * i, 480, 100 + i);
        QByteArray photo = i % 2 ? testsupport::cjpeg(picture) : testsupport::qt_jpeg(picture);
        if (photo.isEmpty())
            photo = testsupport::qt_jpeg(picture, 90);
        const QString name = QStringLiteral("/DCIM/IMG_%1.JPG").arg(i);
        QVERIFY(card.put(name, photo));
        if (i != 2) {
            QVERIFY(card.remove(name));
            deleted.append(photo);
        }
    }
    LoopDevice loop;
    if (!loop.attach(card.path()))
        QSKIP("losetup could not attach an image here (no free loop device)");

    Tree tree;
    const QDBusObjectPath card_object = tree.loop(loop.node, facts_of(loop.node), card.path());
    const QDBusObjectPath other = tree.block(QStringLiteral("/dev/sdz"), {.size = 40 * MiB});
    FakeUdisks service(bus.address, tree.objects);
    FakeBlock *served = service.serve_block(card_object, loop.node);
    FakeBlock *decoy = service.serve_block(other, card.path());
    QVERIFY(service.publish());

    const QString helper_out = open_folder(dir, QStringLiteral("helper"));
    const Run helper = run_as_nobody(QStringLiteral(VELVORA_UDISKS_HELPER_PATH),
                                     {QStringLiteral("scan"), bus.address, loop.node, helper_out});
    QVERIFY2(helper.exit_code == 0, qPrintable(helper.out + helper.err));
    QCOMPARE(helper.values.value(QStringLiteral("plain")), volume_platform::failure_text(Failure::PermissionDenied));
    QCOMPARE(helper.values.value(QStringLiteral("found")), QStringLiteral("6"));
    QCOMPARE(helper.values.value(QStringLiteral("written")), QStringLiteral("6"));
    QCOMPARE(helper.values.value(QStringLiteral("source_error")), QString());
    const QSet<QByteArray> recovered = contents_of(helper_out);
    for (const QByteArray &photo : std::as_const(deleted))
        QVERIFY(recovered.contains(photo));
    // one prompt for the check, the scan and the writing together
    QCOMPARE(served->calls.load(), 1);
    QCOMPARE(served->interactive_calls.load(), 1);
    QCOMPARE(decoy->calls.load(), 0);

    // velvora-scan itself, run by the same user with the service on its system bus
    const QString scan_out = open_folder(dir, QStringLiteral("scan"));
    const Run scan = run_as_nobody(QStringLiteral(VELVORA_SCAN_PATH), {loop.node, scan_out}, bus.address);
    QVERIFY2(scan.exit_code == 0, qPrintable(scan.out + scan.err));
    QCOMPARE(scan.out.trimmed(), QStringLiteral("found=6 written=6 failed=0 unreadable_bytes=0 renamed=0 partial=0"));
    QCOMPARE(contents_of(scan_out), recovered);
    QCOMPARE(served->calls.load(), 2);

    // and the wizard: listed by the service, one prompt for Next, the scan and Restore
    const QString window_out = open_folder(dir, QStringLiteral("window"));
    const Run window = run_as_nobody(QStringLiteral(VELVORA_UDISKS_HELPER_PATH),
                                     {QStringLiteral("window"), bus.address, loop.node, window_out});
    QVERIFY2(window.exit_code == 0, qPrintable(window.out + window.err));
    QCOMPARE(window.values.value(QStringLiteral("listed")), QStringLiteral("1"));
    QCOMPARE(window.values.value(QStringLiteral("messages")), QStringLiteral("0"));
    QCOMPARE(window.values.value(QStringLiteral("found")), QStringLiteral("6"));
    QCOMPARE(window.values.value(QStringLiteral("page")), QStringLiteral("3"));
    QCOMPARE(contents_of(window_out), recovered);
    QCOMPARE(served->calls.load(), 3);
}

// Without the service the node's own refusal stands; with a service whose
// prompt is cancelled, the refusal is said as such, after a single prompt.
void TestUdisks::refused_prompt_is_reported_once()
{
    const QString reason = unprivileged_loop_reason();
    if (!reason.isEmpty())
        QSKIP(qPrintable(reason));
    PrivateBus bus;
    if (bus.address.isEmpty())
        QSKIP("dbus-daemon cannot be started here");
    QTemporaryDir dir;
    QFile::setPermissions(dir.path(), QFileDevice::Permissions(0x7755));
    testsupport::FatImage card;
    QVERIFY(card.create(dir.filePath(QStringLiteral("card.img")), 40 * MiB));
    LoopDevice loop;
    if (!loop.attach(card.path()))
        QSKIP("losetup could not attach an image here (no free loop device)");

    Tree tree;
    const QDBusObjectPath card_object = tree.loop(loop.node, facts_of(loop.node), card.path());
    FakeUdisks service(bus.address, tree.objects);
    FakeBlock *refusing = service.serve_block(card_object, loop.node, true);

    const Run without = run_as_nobody(QStringLiteral(VELVORA_UDISKS_HELPER_PATH),
                                      {QStringLiteral("probe"), bus.address, loop.node});
    QCOMPARE(without.exit_code, 0);
    QCOMPARE(without.values.value(QStringLiteral("available")), QStringLiteral("0"));
    QCOMPARE(without.values.value(QStringLiteral("failure")), volume_platform::failure_text(Failure::PermissionDenied));

    QVERIFY(service.publish());
    const Run refused = run_as_nobody(QStringLiteral(VELVORA_UDISKS_HELPER_PATH),
                                      {QStringLiteral("probe"), bus.address, loop.node});
    QCOMPARE(refused.exit_code, 0);
    QCOMPARE(refused.values.value(QStringLiteral("available")), QStringLiteral("0"));
    QCOMPARE(refused.values.value(QStringLiteral("failure")),
             volume_platform::failure_text(Failure::AuthorizationRefused));
    QCOMPARE(refusing->calls.load(), 1);

    const QString out = open_folder(dir, QStringLiteral("out"));
    const Run scan = run_as_nobody(QStringLiteral(VELVORA_SCAN_PATH), {loop.node, out}, bus.address);
    QCOMPARE(scan.exit_code, 2);
    QCOMPARE(scan.err.trimmed(), QStringLiteral("velvora-scan: %1: %2")
                                     .arg(loop.node, volume_platform::failure_text(Failure::AuthorizationRefused)));
    QCOMPARE(refusing->calls.load(), 2);
    QVERIFY(QDir(out).entryList(QDir::Files).isEmpty());

    // the wizard says so on Next and stays on the device page
    const Run window = run_as_nobody(QStringLiteral(VELVORA_UDISKS_HELPER_PATH),
                                     {QStringLiteral("window"), bus.address, loop.node, out});
    QVERIFY2(window.exit_code == 0, qPrintable(window.out + window.err));
    QCOMPARE(window.values.value(QStringLiteral("listed")), QStringLiteral("1"));
    QCOMPARE(window.values.value(QStringLiteral("messages")), QStringLiteral("1"));
    QCOMPARE(window.values.value(QStringLiteral("message")),
             QStringLiteral("The device could not be read. | ")
                 + volume_platform::failure_text(Failure::AuthorizationRefused));
    QCOMPARE(window.values.value(QStringLiteral("page")), QStringLiteral("1"));
    QCOMPARE(refusing->calls.load(), 3);
}

QTEST_GUILESS_MAIN(TestUdisks)
#include "tst_udisks.moc"
