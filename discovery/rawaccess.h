#pragma once

#include "removabledevice.h"
#include "volumeplatform.h"

#include <QDBusConnection>
#include <QMap>
#include <QString>

#include <functional>
#include <memory>
#include <optional>

class RawVolume;
class VolumeSource;

// How the program reaches a volume raw. A device node is opened read-only
// first. When that is refused for want of permission and the desktop's disk
// service (UDisks2) is on the given bus, the service is asked for a
// read-only descriptor instead, which costs the user one administrator
// password prompt; the descriptor is kept, so the scan, the availability
// check and the recovery of the same device do not ask again while this
// object (or a copy) lives. Copies share that state; every member may be
// called from any thread.
class RawAccess
{
public:
    // Device nodes and image files only: no disk service.
    RawAccess();
    explicit RawAccess(const std::optional<QDBusConnection> &bus);
    ~RawAccess();

    // With the system bus, or with no disk service when it cannot be reached.
    static RawAccess with_system_bus();

    bool has_disk_service() const;

    // A read-only handle to path positioned at 0; the caller closes it.
    volume_platform::Handle open(const QString &path, volume_platform::Failure *failure = nullptr) const;
    std::unique_ptr<RawVolume> open_volume(const QString &path, volume_platform::Failure *failure = nullptr) const;
    // open_volume() for the scan worker (ScanOptions::open_volume).
    std::function<std::unique_ptr<VolumeSource>(const QString &path, volume_platform::Failure *failure)>
    volume_opener() const;

    // The removable volumes attached now: as the disk service lists them
    // when it answers, otherwise as enumerate_removable_devices() does.
    QMap<QString, RemovableDevice> removable_devices() const;

private:
    struct State;
    std::shared_ptr<State> state;
};
