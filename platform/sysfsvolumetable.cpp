#include "sysfsvolumetable.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <utility>

namespace {

constexpr qint64 sysfs_sector = 512; // the size files count in 512-byte units on every disk

QByteArray read_small_file(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.read(64 * 1024).trimmed();
}

qint64 read_number(const QString &path, qint64 fallback = 0)
{
    bool ok = false;
    const qint64 value = read_small_file(path).toLongLong(&ok);
    return ok ? value : fallback;
}

bool parse_numbers(const QByteArray &text, quint32 *major, quint32 *minor)
{
    const QList<QByteArray> parts = text.split(':');
    if (parts.size() != 2)
        return false;
    bool ok_major = false, ok_minor = false;
    *major = parts[0].toUInt(&ok_major);
    *minor = parts[1].toUInt(&ok_minor);
    return ok_major && ok_minor;
}

QString numbers_key(quint32 major, quint32 minor)
{
    return QStringLiteral("%1:%2").arg(major).arg(minor);
}

// Mount table fields escape blanks and backslashes as \ooo.
QString unescape_octal(const QByteArray &field)
{
    QByteArray out;
    out.reserve(field.size());
    for (qsizetype i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size()) {
            bool ok = false;
            const int code = field.mid(i + 1, 3).toInt(&ok, 8);
            if (ok) {
                out.append(char(code));
                i += 3;
                continue;
            }
        }
        out.append(field[i]);
    }
    return QFile::decodeName(out);
}

// udev writes labels with unsafe bytes as \xNN in ID_FS_LABEL_ENC.
QString unescape_hex(const QByteArray &value)
{
    QByteArray out;
    out.reserve(value.size());
    for (qsizetype i = 0; i < value.size(); ++i) {
        if (value[i] == '\\' && i + 3 < value.size() && value[i + 1] == 'x') {
            bool ok = false;
            const int code = value.mid(i + 2, 2).toInt(&ok, 16);
            if (ok) {
                out.append(char(code));
                i += 3;
                continue;
            }
        }
        out.append(value[i]);
    }
    return QString::fromUtf8(out);
}

// Where a system lives: a disk holding one of these is never offered for scanning.
bool is_system_mount_point(const QString &mount_point)
{
    static const QSet<QString> system_mounts = {
        QStringLiteral("/"),    QStringLiteral("/boot"), QStringLiteral("/boot/efi"), QStringLiteral("/efi"),
        QStringLiteral("/usr"), QStringLiteral("/var"),  QStringLiteral("/home"),     QStringLiteral("/opt"),
        QStringLiteral("/srv"), QStringLiteral("/cdrom"), QStringLiteral("/run/live/medium"),
        QStringLiteral("/run/initramfs/live"),
    };
    return system_mounts.contains(mount_point);
}

// Read-only compressed images (snap packages, live systems) cannot hold
// deleted photos; their loop devices would only crowd the list.
bool is_packed_image(const QString &file_system_type)
{
    return file_system_type == QLatin1String("squashfs") || file_system_type == QLatin1String("erofs");
}

bool is_never_listed(const QString &name)
{
    // Memory disks, device-mapper, software RAID, optical drives, and the boot
    // areas of an eMMC chip, which are not cards.
    static const QRegularExpression pattern(
        QStringLiteral("^(ram\\d+|zram\\d+|dm-\\d+|md\\d+|md_.*|sr\\d+|mmcblk\\d+(boot\\d+|rpmb))$"));
    return pattern.match(name).hasMatch();
}

bool hangs_off_hotplug_bus(const QString &resolved_dir)
{
    // A USB host's devices sit below .../usbN/, a card slot's below .../mmcN/.
    static const QRegularExpression pattern(QStringLiteral("/(usb|mmc)\\d+/"));
    return pattern.match(resolved_dir).hasMatch();
}

// The name users know a file system by: FAT32 rather than vfat.
QString file_system_name(const QString &type, const QString &version)
{
    if (type == QLatin1String("vfat"))
        return version.startsWith(QLatin1String("FAT")) ? version : QStringLiteral("FAT");
    if (type == QLatin1String("exfat"))
        return QStringLiteral("exFAT");
    if (type == QLatin1String("ntfs") || type == QLatin1String("ntfs3"))
        return QStringLiteral("NTFS");
    return type;
}

} // namespace

QString SysfsVolumeTable::file_system_name(const QString &type, const QString &version)
{
    return ::file_system_name(type, version);
}

bool SysfsVolumeTable::is_system_mount_point(const QString &mount_point)
{
    return ::is_system_mount_point(mount_point);
}

bool SysfsVolumeTable::is_packed_image(const QString &file_system_type)
{
    return ::is_packed_image(file_system_type);
}

SysfsVolumeTable::SysfsVolumeTable(Roots roots, Probe probe)
    : roots(std::move(roots)), probe(std::move(probe))
{
}

void SysfsVolumeTable::add_disk(Snapshot *snapshot, const QString &name) const
{
    BlockEntry disk;
    disk.name = name;
    disk.disk = name;
    disk.dir = QFileInfo(roots.sysfs + QStringLiteral("/block/") + name).canonicalFilePath();
    if (disk.dir.isEmpty() || !parse_numbers(read_small_file(disk.dir + QStringLiteral("/dev")), &disk.major, &disk.minor))
        return;
    snapshot->disks.append(name);
    snapshot->by_name.insert(name, disk);
    snapshot->by_numbers.insert(numbers_key(disk.major, disk.minor), name);

    QStringList partitions;
    const QStringList children = QDir(disk.dir).entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
    for (const QString &child : children) {
        const QString dir = disk.dir + QLatin1Char('/') + child;
        if (!QFileInfo::exists(dir + QStringLiteral("/partition")))
            continue;
        BlockEntry part;
        part.name = child;
        part.disk = name;
        part.dir = dir;
        if (!parse_numbers(read_small_file(dir + QStringLiteral("/dev")), &part.major, &part.minor))
            continue;
        partitions.append(child);
        snapshot->by_name.insert(child, part);
        snapshot->by_numbers.insert(numbers_key(part.major, part.minor), child);
    }
    snapshot->partitions.insert(name, partitions);
}

QList<SysfsVolumeTable::Mount> SysfsVolumeTable::read_mounts(const QString &mountinfo)
{
    QList<Mount> mounts;
    QFile file(mountinfo);
    if (!file.open(QIODevice::ReadOnly))
        return mounts;
    const QList<QByteArray> lines = file.readAll().split('\n');
    for (const QByteArray &line : lines) {
        // id parent major:minor root mount-point options [optional...] - type source super-options
        const QList<QByteArray> fields = line.split(' ');
        const qsizetype separator = fields.indexOf("-");
        if (fields.size() < 5 || separator < 5 || separator + 2 >= fields.size())
            continue;
        Mount mount;
        if (!parse_numbers(fields[2], &mount.major, &mount.minor))
            continue;
        mount.root = unescape_octal(fields[3]);
        mount.mount_point = unescape_octal(fields[4]);
        mount.type = QString::fromUtf8(fields[separator + 1]);
        mount.source = unescape_octal(fields[separator + 2]);
        mounts.append(mount);
    }
    return mounts;
}

SysfsVolumeTable::Snapshot SysfsVolumeTable::read_snapshot() const
{
    Snapshot snapshot;
    const QStringList names = QDir(roots.sysfs + QStringLiteral("/block"))
                                  .entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::System, QDir::Name);
    for (const QString &name : names)
        add_disk(&snapshot, name);
    snapshot.mounts = read_mounts(roots.mountinfo);
    return snapshot;
}

// The kernel name behind a node path such as /dev/sdb1 or /dev/mapper/root.
QString SysfsVolumeTable::entry_of_node(const Snapshot &snapshot, const QString &node) const
{
    if (!node.startsWith(QLatin1String("/dev/")))
        return {};
    // follow links such as /dev/mapper/root -> ../dm-0 within the device folder
    const QString dev_root = QDir::cleanPath(QDir(roots.dev).absolutePath()) + QLatin1Char('/');
    QString path = dev_root + node.mid(5);
    for (int depth = 0; depth < 8 && QFileInfo(path).isSymLink(); ++depth)
        path = QDir::cleanPath(QFileInfo(path).symLinkTarget());
    if (!path.startsWith(dev_root))
        return {};
    QString relative = path.mid(dev_root.size());
    relative.replace(QLatin1Char('/'), QLatin1Char('!')); // sysfs spells cciss/c0d0 as cciss!c0d0
    return snapshot.by_name.contains(relative) ? relative : QString();
}

QString SysfsVolumeTable::entry_of_mount(const Snapshot &snapshot, const Mount &mount) const
{
    // Block-backed FUSE and btrfs mounts carry an anonymous 0:N number; their
    // source still names the device node.
    if (mount.major != 0)
        return snapshot.by_numbers.value(numbers_key(mount.major, mount.minor));
    return entry_of_node(snapshot, mount.source);
}

void SysfsVolumeTable::add_disks_behind(const Snapshot &snapshot, const QString &name, QSet<QString> *disks,
                                        int depth) const
{
    const auto entry = snapshot.by_name.constFind(name);
    if (entry == snapshot.by_name.cend() || depth > 8)
        return;
    const QStringList slaves =
        QDir(entry->dir + QStringLiteral("/slaves")).entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::System);
    if (slaves.isEmpty()) {
        disks->insert(entry->disk);
        return;
    }
    // device-mapper and RAID devices: the disks underneath are what matters
    for (const QString &slave : slaves)
        add_disks_behind(snapshot, slave, disks, depth + 1);
}

QSet<QString> SysfsVolumeTable::system_disks(const Snapshot &snapshot) const
{
    QSet<QString> disks;
    for (const Mount &mount : snapshot.mounts) {
        if (is_system_mount_point(mount.mount_point))
            add_disks_behind(snapshot, entry_of_mount(snapshot, mount), &disks, 0);
    }
    QFile swaps(roots.swaps);
    if (swaps.open(QIODevice::ReadOnly)) {
        const QList<QByteArray> lines = swaps.readAll().split('\n');
        for (const QByteArray &line : lines) {
            const QByteArray first = line.simplified().split(' ').value(0);
            add_disks_behind(snapshot, entry_of_node(snapshot, unescape_octal(first)), &disks, 0);
        }
    }
    return disks;
}

QHash<QString, QString> SysfsVolumeTable::udev_properties(const BlockEntry &entry, bool *known) const
{
    QHash<QString, QString> properties;
    QFile file(QStringLiteral("%1/b%2:%3").arg(roots.udev_data).arg(entry.major).arg(entry.minor));
    *known = file.open(QIODevice::ReadOnly);
    if (!*known)
        return properties;
    const QList<QByteArray> lines = file.readAll().split('\n');
    for (const QByteArray &line : lines) {
        if (!line.startsWith("E:"))
            continue;
        const qsizetype equals = line.indexOf('=');
        if (equals > 2)
            properties.insert(QString::fromUtf8(line.mid(2, equals - 2)), QString::fromUtf8(line.mid(equals + 1)));
    }
    return properties;
}

bool SysfsVolumeTable::is_candidate(const BlockEntry &disk) const
{
    if (is_never_listed(disk.name) || read_number(disk.dir + QStringLiteral("/hidden")) == 1)
        return false;
    if (disk.name.startsWith(QLatin1String("loop")))
        return !read_small_file(disk.dir + QStringLiteral("/loop/backing_file")).isEmpty();
    if (read_number(disk.dir + QStringLiteral("/removable")) != 1 && !hangs_off_hotplug_bus(disk.dir))
        return false;
    // optical drives under other names: SCSI peripheral type 5 or udev's word
    if (read_small_file(disk.dir + QStringLiteral("/device/type")) == "5")
        return false;
    bool known = false;
    return udev_properties(disk, &known).value(QStringLiteral("ID_CDROM")) != QLatin1String("1");
}

const SysfsVolumeTable::Mount *SysfsVolumeTable::mount_of(const Snapshot &snapshot, const BlockEntry &entry) const
{
    const Mount *found = nullptr;
    for (const Mount &mount : snapshot.mounts) {
        if (entry_of_mount(snapshot, mount) != entry.name)
            continue;
        if (mount.root == QLatin1String("/"))
            return &mount;
        if (!found)
            found = &mount; // a bind mount of a folder on it, if nothing better
    }
    return found;
}

volume_platform::VolumeInfo SysfsVolumeTable::describe(const BlockEntry &entry, const Mount *mount,
                                                       quint32 bytes_per_sector, quint64 disk_sequence,
                                                       QString *file_system_type) const
{
    volume_platform::VolumeInfo volume;
    volume.drive = entry.name;
    volume.drive.replace(QLatin1Char('!'), QLatin1Char('/'));
    QString node = volume.drive;
    const QList<QByteArray> uevent = read_small_file(entry.dir + QStringLiteral("/uevent")).split('\n');
    for (const QByteArray &line : uevent) {
        if (line.startsWith("DEVNAME="))
            node = QFile::decodeName(line.mid(8));
    }
    volume.raw_path = roots.dev + QLatin1Char('/') + node;
    if (mount)
        volume.root_path = mount->mount_point;
    volume.bytes_per_sector = bytes_per_sector;
    volume.size = read_number(entry.dir + QStringLiteral("/size")) * sysfs_sector;
    volume.identity = volume_platform::block_device_identity(entry.major, entry.minor, disk_sequence);

    bool known = false;
    const QHash<QString, QString> properties = udev_properties(entry, &known);
    FileSystemId id;
    if (known) {
        id.label = properties.contains(QStringLiteral("ID_FS_LABEL_ENC"))
            ? unescape_hex(properties.value(QStringLiteral("ID_FS_LABEL_ENC")).toUtf8())
            : properties.value(QStringLiteral("ID_FS_LABEL"));
        id.type = properties.value(QStringLiteral("ID_FS_TYPE"));
        id.version = properties.value(QStringLiteral("ID_FS_VERSION"));
    } else if (probe && !probe(volume.raw_path, &id)) {
        id = {};
    }
    volume.label = id.label;
    volume.file_system = file_system_name(id.type, id.version);
    *file_system_type = id.type;
    return volume;
}

QList<volume_platform::VolumeInfo> SysfsVolumeTable::volumes() const
{
    const Snapshot snapshot = read_snapshot();
    const QSet<QString> system = system_disks(snapshot);
    QList<volume_platform::VolumeInfo> result;
    for (const QString &name : snapshot.disks) {
        const BlockEntry disk = snapshot.by_name.value(name);
        // no medium in the drive: a card reader without its card
        if (system.contains(name) || read_number(disk.dir + QStringLiteral("/size")) <= 0
            || !is_candidate(disk))
            continue;
        quint32 bytes_per_sector =
            quint32(read_number(disk.dir + QStringLiteral("/queue/logical_block_size"), sysfs_sector));
        if (bytes_per_sector == 0)
            bytes_per_sector = sysfs_sector;
        const quint64 disk_sequence = quint64(read_number(disk.dir + QStringLiteral("/diskseq")));

        QList<BlockEntry> volumes;
        for (const QString &part : snapshot.partitions.value(name)) {
            const BlockEntry entry = snapshot.by_name.value(part);
            // an extended partition's container spans only its link sectors
            if (read_number(entry.dir + QStringLiteral("/size")) * sysfs_sector > 2 * qint64(bytes_per_sector))
                volumes.append(entry);
        }
        if (volumes.isEmpty())
            volumes.append(disk);
        for (const BlockEntry &entry : std::as_const(volumes)) {
            const Mount *mount = mount_of(snapshot, entry);
            if (mount && is_packed_image(mount->type))
                continue;
            QString type;
            const volume_platform::VolumeInfo volume = describe(entry, mount, bytes_per_sector, disk_sequence, &type);
            if (!is_packed_image(type))
                result.append(volume);
        }
    }
    return result;
}
