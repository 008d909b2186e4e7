#include "loopdevice.h"
#include "testsupport.h"

#include <QFileInfo>

#include <unistd.h>

namespace testsupport {

LoopDevice::~LoopDevice()
{
    unmount();
    detach();
}

bool LoopDevice::attach(const QString &image, const QStringList &options)
{
    QByteArray output;
    if (run_tool("losetup", options + QStringList{"-f", "--show", image}, &output))
        node = QString::fromLocal8Bit(output).trimmed();
    return !node.isEmpty();
}

bool LoopDevice::mount_exfat(const QString &directory)
{
    if (run_tool("mount.exfat-fuse", {node, directory}))
        mount_point = directory;
    return !mount_point.isEmpty();
}

void LoopDevice::unmount()
{
    if (!mount_point.isEmpty() && !run_tool("umount", {mount_point}))
        run_tool("umount", {"-l", mount_point});
    mount_point.clear();
}

void LoopDevice::detach()
{
    if (!node.isEmpty())
        run_tool("losetup", {"-d", node});
    node.clear();
}

QString loop_unavailable_reason(const QStringList &tools)
{
    if (::geteuid() != 0)
        return "not root: loop devices cannot be attached here";
    const QStringList missing = missing_tools(tools + QStringList{"losetup"});
    if (!missing.isEmpty())
        return "not installed: " + missing.join(' ');
    if (!QFileInfo::exists("/dev/loop-control"))
        return "this machine has no loop devices (/dev/loop-control is missing)";
    if (tools.contains("mount.exfat-fuse") && !QFileInfo::exists("/dev/fuse"))
        return "FUSE is not available here (no /dev/fuse)";
    return {};
}

TmpfsMount::TmpfsMount(const QString &directory, const QString &size)
{
    if (run_tool("mount", {"-t", "tmpfs", "-o", "size=" + size, "tmpfs", directory}))
        point = directory;
}

TmpfsMount::~TmpfsMount()
{
    if (mounted())
        run_tool("umount", {point});
}

bool make_blank_image(const QString &path, qint64 size)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.resize(size);
}

bool make_exfat_image(const QString &path, qint64 size, const QString &label)
{
    return make_blank_image(path, size) && run_tool("mkfs.exfat", {"-L", label, path});
}

} // namespace testsupport
