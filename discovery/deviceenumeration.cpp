#include "deviceenumeration.h"

QMap<QString, RemovableDevice> enumerate_removable_devices()
{
    return removable_devices_from(volume_platform::list_volumes());
}

QMap<QString, RemovableDevice> removable_devices_from(const QList<volume_platform::VolumeInfo> &volumes)
{
    QMap<QString, RemovableDevice> devices;
    for (const volume_platform::VolumeInfo &volume : volumes) {
        RemovableDevice device;
        device.drive = volume.drive;
        device.raw_path = volume.raw_path;
        device.label = volume.label;
        device.root_path = volume.root_path;
        device.file_system = volume.file_system;
        device.bytes_per_sector = volume.bytes_per_sector;
        device.size = volume.size;
        device.sector_count = volume.bytes_per_sector == 0 ? 0 : volume.size / volume.bytes_per_sector;
        device.identity = volume.identity;
        devices.insert(device.raw_path, device);
    }
    return devices;
}
