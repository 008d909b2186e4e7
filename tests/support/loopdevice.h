#pragma once

#include <QString>
#include <QStringList>

#include <memory>

// Loop devices over card images, and what gets mounted for a test.
namespace testsupport {

// A loop device attached for the length of a test, and its FUSE mount.
class LoopDevice
{
public:
    LoopDevice() = default;
    ~LoopDevice();
    LoopDevice(const LoopDevice &) = delete;
    LoopDevice &operator=(const LoopDevice &) = delete;

    bool attach(const QString &image, const QStringList &options = {});
    bool mount_exfat(const QString &directory);
    void unmount();
    void detach();
    QString name() const { return node.section('/', -1); }

    QString node;
    QString mount_point;
};

// Empty when loop devices can be attached here with tools (and FUSE for mount.exfat-fuse), else why not.
QString loop_unavailable_reason(const QStringList &tools = {});

// A small tmpfs mounted on directory for as long as this object lives.
class TmpfsMount
{
public:
    TmpfsMount(const QString &directory, const QString &size);
    ~TmpfsMount();
    TmpfsMount(const TmpfsMount &) = delete;
    TmpfsMount &operator=(const TmpfsMount &) = delete;
    bool mounted() const { return !point.isEmpty(); }

private:
    QString point;
};

// A folder on a disk that takes every write and then cannot store it, as a
// stick that fails or runs out of real space behind what it claims: an ext2
// file system on a loop device whose sparse image lies on a full tmpfs.
// Writes land in the page cache; putting them on the disk (fsync) fails.
class UnstorableDisk
{
public:
    explicit UnstorableDisk(const QString &work_directory);
    QString folder() const { return loop.mount_point; } // empty when it could not be made
    QString why_not;

private:
    std::unique_ptr<TmpfsMount> backing;
    LoopDevice loop; // unmounted and detached before the tmpfs goes
};

// A sparse file of size bytes (all zeros: an unformatted card).
bool make_blank_image(const QString &path, qint64 size);
// An exFAT card image made with mkfs.exfat (options such as -c 32K).
bool make_exfat_image(const QString &path, qint64 size, const QString &label, const QStringList &options = {});

} // namespace testsupport
