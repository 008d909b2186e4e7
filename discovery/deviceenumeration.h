#pragma once

#include "removabledevice.h"

#include <QMap>
#include <QString>

// The removable volumes attached now, keyed by raw_path.
QMap<QString, RemovableDevice> enumerate_removable_devices();

// Device records of volumes as a platform source lists them, keyed by raw_path.
QMap<QString, RemovableDevice> removable_devices_from(const QList<volume_platform::VolumeInfo> &volumes);
