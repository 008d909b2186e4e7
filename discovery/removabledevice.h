#pragma once

#include "volumeextent.h"
#include "volumeplatform.h"

#include <QMetaType>
#include <QString>

class RawAccess;

// One removable volume: where it is, what it is called and how big it is.
// A plain value that holds nothing open: the volume is read through an
// OpenVolume of its raw_path, which owns what it opens.
class RemovableDevice
{
public:
    QString drive;       // kernel name, for example sdb1
    QString raw_path;    // device node or image file; key of device maps
    QString label;
    QString root_path;   // mount point, empty when not mounted
    QString file_system;
    quint32 bytes_per_sector = 0;
    qint64 sector_count = 0;
    qint64 size = 0;
    quint64 identity = 0; // what raw_path named when listed; 0 when not known

    // The record of path, a device node or an image file, read from the
    // volume itself: size, sector size, identity and, for a mounted block
    // device, its mount point. False when it cannot be opened (failure says
    // why) or its size cannot be read (failure is Failure::Other).
    static bool describe(const QString &path, const RawAccess &access, RemovableDevice *device,
                         volume_platform::Failure *failure = nullptr);

    // Two lines for the device list: name, drive and size; file system.
    QString display_text() const;

    // raw_path still names the same device (or file) and can be opened for reading.
    bool is_available() const;
    // The same, opening through access; failure says why not (DeviceGone
    // when raw_path names something else now).
    bool is_available(const RawAccess &access, volume_platform::Failure *failure = nullptr) const;
    // root_path is a mounted, readable directory.
    bool has_file_system() const;
};

Q_DECLARE_METATYPE(RemovableDevice)
