#include "removabledevice.h"

#include "openvolume.h"
#include "rawaccess.h"
#include "rawvolume.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>

QString RemovableDevice::display_text() const
{
    QString text = label.isEmpty() ? QCoreApplication::translate("QObject", "Removable Media") : label;
    if (!drive.isEmpty())
        text += QStringLiteral(" (%1)").arg(drive);
    text += QCoreApplication::translate("QObject", " - %1 MB").arg(size / 1024 / 1024);
    text += QLatin1Char('\n');
    text += file_system.isEmpty() ? QStringLiteral("Not formatted") : QStringLiteral("%1 Volume").arg(file_system);
    return text;
}

bool RemovableDevice::describe(const QString &path, const RawAccess &access, RemovableDevice *device,
                               volume_platform::Failure *failure)
{
    const std::unique_ptr<RawVolume> volume = access.open_volume(path, failure);
    if (!volume)
        return false;
    const volume_platform::Geometry geometry = volume->geometry();
    if (geometry.size < 0 || geometry.bytes_per_sector == 0) {
        if (failure)
            *failure = volume_platform::Failure::Other;
        return false;
    }
    *device = RemovableDevice();
    device->raw_path = path;
    device->drive = QFileInfo(path).fileName();
    device->size = geometry.size;
    device->bytes_per_sector = geometry.bytes_per_sector;
    device->sector_count = geometry.size / geometry.bytes_per_sector;
    device->identity = volume_platform::identity_of(path);
    if (geometry.block_device)
        device->root_path = volume_platform::mount_point_of(path);
    return true;
}

bool RemovableDevice::is_available() const
{
    return is_available(RawAccess());
}

bool RemovableDevice::is_available(const RawAccess &access, volume_platform::Failure *failure) const
{
    if (raw_path.isEmpty() || (identity != 0 && volume_platform::identity_of(raw_path) != identity)) {
        if (failure)
            *failure = raw_path.isEmpty() ? volume_platform::Failure::NotFound : volume_platform::Failure::DeviceGone;
        return false;
    }
    const OpenVolume probe(raw_path, access);
    if (failure)
        *failure = probe.failure();
    return probe.is_open();
}

bool RemovableDevice::has_file_system() const
{
    if (root_path.isEmpty() || !volume_platform::probe_mount(root_path))
        return false;
    // An unmounted device leaves its mount point behind as a plain folder.
    return !volume_platform::is_block_device(raw_path) || volume_platform::mount_point_of(raw_path) == root_path;
}
