#pragma once

#include "removabledevice.h"

#include <QMap>
#include <QString>

// The removable volumes attached now, keyed by raw_path.
QMap<QString, RemovableDevice> enumerate_removable_devices();
