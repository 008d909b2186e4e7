#include "volumeplatform.h"
#include "sysfsvolumetable.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QList>

#include <blkid/blkid.h>
#include <cerrno>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace volume_platform {

namespace {

Failure failure_from_errno(int error)
{
    switch (error) {
    case ENOENT:
    case ENOTDIR:
        return Failure::NotFound;
    case EACCES:
    case EPERM:
        return Failure::PermissionDenied;
    case ENODEV:
    case ENXIO:
    case ENOMEDIUM:
        return Failure::DeviceGone;
    case EIO:
        return Failure::Io;
    case EISDIR:
        return Failure::IsDirectory;
    default:
        return Failure::Other;
    }
}

void report(Failure *out, Failure failure)
{
    if (out)
        *out = failure;
}

QByteArray native(const QString &path)
{
    return QFile::encodeName(path);
}

// One line of /proc/self/mountinfo, reduced to what the lookups need.
struct MountEntry {
    dev_t device = 0;
    QString root; // the folder of the file system seen at mount_point; "/" unless bind-mounted
    QString mount_point;
    QString source;
};

QList<MountEntry> read_mounts()
{
    QList<MountEntry> mounts;
    const auto table = SysfsVolumeTable::read_mounts(QStringLiteral("/proc/self/mountinfo"));
    for (const SysfsVolumeTable::Mount &mount : table)
        mounts.append({makedev(mount.major, mount.minor), mount.root, mount.mount_point, mount.source});
    return mounts;
}

bool stat_path(const QString &path, struct stat *st)
{
    return !path.isEmpty() && ::stat(native(path).constData(), st) == 0;
}

dev_t block_device_of(const QString &path)
{
    struct stat st;
    if (stat_path(path, &st) && S_ISBLK(st.st_mode))
        return st.st_rdev;
    return 0;
}

QString sysfs_dir(dev_t device)
{
    return QStringLiteral("/sys/dev/block/%1:%2").arg(major(device)).arg(minor(device));
}

// The whole disk a partition belongs to; the device itself when it is a disk.
dev_t whole_disk_of(dev_t device)
{
    const QString dir = sysfs_dir(device);
    if (!QFileInfo::exists(dir + QStringLiteral("/partition")))
        return device;
    QFile dev_file(QFileInfo(QFileInfo(dir).canonicalFilePath() + QStringLiteral("/..")).canonicalFilePath()
                   + QStringLiteral("/dev"));
    if (!dev_file.open(QIODevice::ReadOnly))
        return device;
    const QList<QByteArray> numbers = dev_file.readAll().trimmed().split(':');
    if (numbers.size() != 2)
        return device;
    return makedev(numbers[0].toUInt(), numbers[1].toUInt());
}

// The image file behind a loop device, or empty.
QString loop_backing_file(dev_t disk)
{
    QFile file(sysfs_dir(disk) + QStringLiteral("/loop/backing_file"));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QFile::decodeName(file.readAll().trimmed());
}

bool same_file(const QString &a, const QString &b)
{
    struct stat sa, sb;
    return stat_path(a, &sa) && stat_path(b, &sb) && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

QString nearest_existing(const QString &path)
{
    QString current = QDir::cleanPath(QDir::current().absoluteFilePath(path));
    while (!QFileInfo::exists(current)) {
        const QString parent = QFileInfo(current).path();
        if (parent == current)
            break;
        current = parent;
    }
    return QFileInfo(current).canonicalFilePath();
}

bool is_under(const QString &path, const QString &mount_point)
{
    if (mount_point == QLatin1String("/"))
        return true;
    return path == mount_point || path.startsWith(mount_point + QLatin1Char('/'));
}

// The kernel's media sequence number of the disk a device belongs to: it
// changes whenever a loop device is attached or detached or a card is swapped.
quint64 disk_sequence_of(dev_t device)
{
    QString dir = QFileInfo(sysfs_dir(device)).canonicalFilePath();
    if (QFileInfo::exists(dir + QStringLiteral("/partition")))
        dir = QFileInfo(dir).path();
    QFile file(dir + QStringLiteral("/diskseq"));
    if (!file.open(QIODevice::ReadOnly))
        return 0;
    return file.readAll().trimmed().toULongLong();
}

// Label and type from the superblock, for machines without udev's database.
// libblkid opens the node read-only; a node this user cannot read stays unknown.
bool probe_file_system(const QString &node, SysfsVolumeTable::FileSystemId *id)
{
    const blkid_probe probe = blkid_new_probe_from_filename(native(node).constData());
    if (!probe)
        return false;
    blkid_probe_enable_superblocks(probe, 1);
    blkid_probe_set_superblocks_flags(probe, BLKID_SUBLKS_LABEL | BLKID_SUBLKS_TYPE | BLKID_SUBLKS_VERSION);
    const bool found = blkid_do_safeprobe(probe) == 0;
    if (found) {
        const auto value = [probe](const char *name) {
            const char *data = nullptr;
            return blkid_probe_lookup_value(probe, name, &data, nullptr) == 0 ? QString::fromUtf8(data) : QString();
        };
        id->label = value("LABEL");
        id->type = value("TYPE");
        id->version = value("VERSION");
    }
    blkid_free_probe(probe);
    return found;
}

} // namespace

QList<VolumeInfo> list_volumes()
{
    return SysfsVolumeTable(SysfsVolumeTable::Roots(), probe_file_system).volumes();
}

Handle open_read_only(const QString &path, Failure *failure)
{
    struct stat st;
    if (path.isEmpty()) {
        report(failure, Failure::NotFound);
        return invalid_handle;
    }
    if (!stat_path(path, &st)) {
        report(failure, failure_from_errno(errno));
        return invalid_handle;
    }
    if (S_ISDIR(st.st_mode)) {
        report(failure, Failure::IsDirectory);
        return invalid_handle;
    }
    if (!S_ISBLK(st.st_mode) && !S_ISREG(st.st_mode)) {
        report(failure, Failure::NotAVolume);
        return invalid_handle;
    }
    int fd;
    do {
        fd = ::open(native(path).constData(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        report(failure, failure_from_errno(errno));
        return invalid_handle;
    }
    report(failure, Failure::None);
    return fd;
}

namespace {

// Reads until count bytes are in, the end is met or a read fails; what was
// read before a failure is handed over, and the next call reports it.
template<typename ReadOnce>
qint64 read_fully(char *buffer, qint64 count, Failure *failure, ReadOnce read_once)
{
    qint64 total = 0;
    while (total < count) {
        const ssize_t n = read_once(buffer + total, size_t(count - total), total);
        if (n > 0) {
            total += n;
            continue;
        }
        if (n == 0)
            break;
        if (errno == EINTR)
            continue;
        if (total > 0)
            break;
        report(failure, failure_from_errno(errno));
        return -1;
    }
    report(failure, Failure::None);
    return total;
}

} // namespace

qint64 read(Handle handle, char *buffer, qint64 count, Failure *failure)
{
    return read_fully(buffer, count, failure, [handle](char *at, size_t n, qint64) {
        return ::read(int(handle), at, n);
    });
}

qint64 read_at(Handle handle, qint64 offset, char *buffer, qint64 count, Failure *failure)
{
    return read_fully(buffer, count, failure, [handle, offset](char *at, size_t n, qint64 done) {
        return ::pread(int(handle), at, n, off_t(offset + done));
    });
}

Handle open_unbuffered(Handle handle)
{
    struct stat st;
    if (handle == invalid_handle || ::fstat(int(handle), &st) != 0 || !S_ISBLK(st.st_mode))
        return invalid_handle;
    // Reopening through /proc opens the same node afresh, with its own flags
    // (a descriptor from the disk service is refused here for want of
    // permission; read_unbuffered_at() then switches that descriptor itself).
    const QByteArray path = "/proc/self/fd/" + QByteArray::number(qint64(handle));
    int fd;
    do {
        fd = ::open(path.constData(), O_RDONLY | O_DIRECT | O_CLOEXEC | O_NOCTTY);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return invalid_handle;
    struct stat reopened;
    if (::fstat(fd, &reopened) != 0 || reopened.st_rdev != st.st_rdev) {
        ::close(fd);
        return invalid_handle;
    }
    return fd;
}

namespace {

// Sets or clears O_DIRECT on handle's open file; the flags before, or -1.
int switch_direct(Handle handle, bool on)
{
    const int flags = ::fcntl(int(handle), F_GETFL);
    if (flags < 0 || bool(flags & O_DIRECT) == on)
        return flags;
    return ::fcntl(int(handle), F_SETFL, on ? flags | O_DIRECT : flags & ~O_DIRECT) == 0 ? flags : -1;
}

} // namespace

qint64 read_unbuffered_at(Handle handle, qint64 offset, char *buffer, qint64 count, Failure *failure)
{
    int flags = switch_direct(handle, true);
    qint64 n = read_at(handle, offset, buffer, count, failure);
    const int error = errno;
    if (flags >= 0)
        ::fcntl(int(handle), F_SETFL, flags);
    if (n < 0 && error == EINVAL) {
        // direct I/O refused for this file, offset or buffer: read it the ordinary way
        flags = switch_direct(handle, false);
        n = read_at(handle, offset, buffer, count, failure);
        if (flags >= 0)
            ::fcntl(int(handle), F_SETFL, flags);
    }
    return n;
}

bool seek(Handle handle, qint64 offset)
{
    return ::lseek(int(handle), off_t(offset), SEEK_SET) == off_t(offset);
}

bool close(Handle handle)
{
    return handle != invalid_handle && ::close(int(handle)) == 0;
}

Handle duplicate(Handle handle)
{
    if (handle == invalid_handle)
        return invalid_handle;
    const int copy = ::fcntl(int(handle), F_DUPFD_CLOEXEC, 0);
    return copy < 0 ? invalid_handle : copy;
}

void advise_sequential(Handle handle)
{
    ::posix_fadvise(int(handle), 0, 0, POSIX_FADV_SEQUENTIAL);
}

void release_cached(Handle handle, qint64 offset, qint64 length)
{
    if (length > 0)
        ::posix_fadvise(int(handle), off_t(offset), off_t(length), POSIX_FADV_DONTNEED);
}

Geometry geometry(Handle handle)
{
    Geometry result;
    struct stat st;
    if (::fstat(int(handle), &st) != 0)
        return result;
    if (S_ISBLK(st.st_mode)) {
        quint64 bytes = 0;
        int sector = 0;
        result.block_device = true;
        if (::ioctl(int(handle), BLKGETSIZE64, &bytes) == 0)
            result.size = qint64(bytes);
        if (::ioctl(int(handle), BLKSSZGET, &sector) == 0 && sector > 0)
            result.bytes_per_sector = quint32(sector);
    } else {
        result.size = st.st_size;
        result.bytes_per_sector = 512;
    }
    return result;
}

quint64 block_device_identity(quint32 major_number, quint32 minor_number, quint64 disk_sequence)
{
    // 1 bit block device, 12 bits major, 20 bits minor, 31 bits media sequence
    return (quint64(1) << 63) | (quint64(major_number & 0xfff) << 51) | (quint64(minor_number & 0xfffff) << 31)
        | (disk_sequence & 0x7fffffff);
}

quint64 identity_of(const QString &path)
{
    struct stat st;
    if (!stat_path(path, &st))
        return 0;
    if (S_ISBLK(st.st_mode))
        return block_device_identity(major(st.st_rdev), minor(st.st_rdev), disk_sequence_of(st.st_rdev));
    return ((quint64(st.st_dev) << 40) ^ quint64(st.st_ino)) & ~(quint64(1) << 63);
}

quint32 sector_size_of(const QString &path)
{
    const dev_t device = block_device_of(path);
    if (device == 0)
        return 512;
    // partitions have no queue of their own; their disk's sector size holds
    const dev_t disk = whole_disk_of(device);
    QFile file(sysfs_dir(disk) + QStringLiteral("/queue/logical_block_size"));
    if (!file.open(QIODevice::ReadOnly))
        return 512;
    const quint32 size = file.readAll().trimmed().toUInt();
    return size == 0 ? 512 : size;
}

bool probe_mount(const QString &root_path)
{
    if (root_path.isEmpty())
        return false;
    const QByteArray path = native(root_path);
    struct stat st;
    struct statvfs vfs;
    return ::stat(path.constData(), &st) == 0 && S_ISDIR(st.st_mode)
        && ::access(path.constData(), R_OK | X_OK) == 0 && ::statvfs(path.constData(), &vfs) == 0;
}

QString mount_point_of(const QString &raw_path)
{
    const dev_t device = block_device_of(raw_path);
    if (device == 0)
        return {};
    QString found;
    for (const MountEntry &mount : read_mounts()) {
        // fuseblk mounts carry an anonymous device number; their source names the node
        if (mount.device != device && block_device_of(mount.source) != device)
            continue;
        if (mount.root == QLatin1String("/"))
            return mount.mount_point;
        if (found.isEmpty())
            found = mount.mount_point; // a folder of it bind-mounted elsewhere, if nothing better
    }
    return found;
}

bool is_block_device(const QString &path)
{
    return block_device_of(path) != 0;
}

bool shares_storage(const QString &directory, const QString &raw_path)
{
    const QString target = nearest_existing(directory);
    if (target.isEmpty())
        return false;
    const MountEntry *holder = nullptr;
    const QList<MountEntry> mounts = read_mounts();
    for (const MountEntry &mount : mounts) {
        if (is_under(target, mount.mount_point)
            && (!holder || mount.mount_point.size() >= holder->mount_point.size()))
            holder = &mount;
    }
    if (!holder)
        return false;
    if (!holder->source.isEmpty() && same_file(holder->source, raw_path))
        return true;

    dev_t written = block_device_of(holder->source);
    if (written == 0 && major(holder->device) != 0)
        written = holder->device;
    if (written == 0)
        return false;
    const dev_t written_disk = whole_disk_of(written);

    const dev_t scanned = block_device_of(raw_path);
    if (scanned != 0) {
        const dev_t scanned_disk = whole_disk_of(scanned);
        return written == scanned || written_disk == scanned || written == scanned_disk;
    }
    const QString backing = loop_backing_file(written_disk);
    return !backing.isEmpty() && same_file(backing, raw_path);
}

} // namespace volume_platform
