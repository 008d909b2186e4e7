#include "loopdevice.h"
#include "testsupport.h"

#include <QFile>
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
    node = tool_output(QStringLiteral("losetup"), options + QStringList{QStringLiteral("-f"), QStringLiteral("--show"), image});
    return !node.isEmpty();
}

bool LoopDevice::mount_exfat(const QString &directory)
{
    if (!run_tool(QStringLiteral("mount.exfat-fuse"), {node, directory}))
        return false;
    mount_point = directory;
    return true;
}

void LoopDevice::unmount()
{
    if (!mount_point.isEmpty() && !run_tool(QStringLiteral("umount"), {mount_point}))
        run_tool(QStringLiteral("umount"), {QStringLiteral("-l"), mount_point});
    mount_point.clear();
}

void LoopDevice::detach()
{
    if (!node.isEmpty())
        run_tool(QStringLiteral("losetup"), {QStringLiteral("-d"), node});
    node.clear();
}

QString LoopDevice::name() const
{
    return QFileInfo(node).fileName();
}

QString loop_unavailable_reason(const QStringList &tools)
{
    if (::geteuid() != 0)
        return QStringLiteral("not root: loop devices cannot be attached here");
    const QStringList missing = missing_tools(tools + QStringList{QStringLiteral("losetup")});
    if (!missing.isEmpty())
        return QStringLiteral("not installed: %1").arg(missing.join(QLatin1Char(' ')));
    if (!QFileInfo::exists(QStringLiteral("/dev/loop-control")))
        return QStringLiteral("this machine has no loop devices (/dev/loop-control is missing)");
    if (tools.contains(QStringLiteral("mount.exfat-fuse")) && !QFileInfo::exists(QStringLiteral("/dev/fuse")))
        return QStringLiteral("FUSE is not available here (no /dev/fuse)");
    return {};
}

TmpfsMount::TmpfsMount(const QString &directory, const QString &size)
{
    if (run_tool(QStringLiteral("mount"), {QStringLiteral("-t"), QStringLiteral("tmpfs"), QStringLiteral("-o"),
                                           QStringLiteral("size=") + size, QStringLiteral("tmpfs"), directory}))
        point = directory;
}

TmpfsMount::~TmpfsMount()
{
    if (mounted())
        run_tool(QStringLiteral("umount"), {point});
}

bool make_blank_image(const QString &path, qint64 size)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.resize(size);
}

bool make_exfat_image(const QString &path, qint64 size, const QString &label)
{
    return make_blank_image(path, size) && run_tool(QStringLiteral("mkfs.exfat"), {QStringLiteral("-L"), label, path});
}

} // namespace testsupport
