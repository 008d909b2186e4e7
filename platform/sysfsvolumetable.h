#pragma once

#include "volumeplatform.h"

#include <QHash>
#include <QList>
#include <QSet>
#include <QString>

#include <functional>

// Finds the removable volumes of a Linux machine in its sysfs tree, its mount
// table and udev's database. Every location is given to the constructor, so a
// tree captured from another machine reads the same as the live one. Nothing
// here opens a device; the optional probe is asked only about devices that
// udev has no record of.
class SysfsVolumeTable
{
public:
    struct Roots {
        QString sysfs = QStringLiteral("/sys");
        QString mountinfo = QStringLiteral("/proc/self/mountinfo");
        QString swaps = QStringLiteral("/proc/swaps");
        QString udev_data = QStringLiteral("/run/udev/data");
        QString dev = QStringLiteral("/dev");
    };

    struct FileSystemId {
        QString label;
        QString type;    // as udev and libblkid name it: vfat, exfat, ntfs, ...
        QString version; // FAT12, FAT16 or FAT32 for vfat
    };
    // Reads the file system's label and type from the device node itself;
    // false when the node cannot be read or holds no known file system.
    using Probe = std::function<bool(const QString &node, FileSystemId *id)>;

    explicit SysfsVolumeTable(Roots roots, Probe probe = {});

    QList<volume_platform::VolumeInfo> volumes() const;

    // The rules this table lists by, for other sources of the same records.
    // The name users know a file system by (FAT32 rather than vfat).
    static QString file_system_name(const QString &type, const QString &version);
    // A disk holding one of these mount points is the system's, never offered.
    static bool is_system_mount_point(const QString &mount_point);
    // Compressed read-only images (snap packages, live systems), never offered.
    static bool is_packed_image(const QString &file_system_type);

    // One line of a mount table (/proc/self/mountinfo).
    struct Mount {
        quint32 major = 0;
        quint32 minor = 0;
        QString root;
        QString mount_point;
        QString type;
        QString source;
    };
    static QList<Mount> read_mounts(const QString &mountinfo);

private:
    struct BlockEntry {
        QString name; // kernel name: sdb, sdb1
        QString disk; // kernel name of the whole disk
        QString dir;  // resolved sysfs directory
        quint32 major = 0;
        quint32 minor = 0;
    };
    struct Snapshot {
        QHash<QString, BlockEntry> by_name;
        QHash<QString, QString> by_numbers; // "8:17" -> sdb1
        QStringList disks;
        QHash<QString, QStringList> partitions; // disk -> its partitions
        QList<Mount> mounts;
    };

    Snapshot read_snapshot() const;
    void add_disk(Snapshot *snapshot, const QString &name) const;
    QString entry_of_mount(const Snapshot &snapshot, const Mount &mount) const;
    QString entry_of_node(const Snapshot &snapshot, const QString &node) const;
    QSet<QString> system_disks(const Snapshot &snapshot) const;
    void add_disks_behind(const Snapshot &snapshot, const QString &name, QSet<QString> *disks, int depth) const;
    bool is_candidate(const BlockEntry &disk) const;
    const Mount *mount_of(const Snapshot &snapshot, const BlockEntry &entry) const;
    QHash<QString, QString> udev_properties(const BlockEntry &entry, bool *known) const;
    volume_platform::VolumeInfo describe(const BlockEntry &entry, const Mount *mount, quint32 bytes_per_sector,
                                         quint64 disk_sequence, QString *file_system_type) const;

    Roots roots;
    Probe probe;
};
