#include "rawaccess.h"

#include "deviceenumeration.h"
#include "rawvolume.h"
#include "udisksclient.h"

#include <QHash>
#include <QMutex>
#include <QMutexLocker>

#include <atomic>

namespace {

// A descriptor the disk service handed out, and what its node named then.
struct Grant {
    quint64 identity = 0;
    volume_platform::Handle handle = volume_platform::invalid_handle;
};

} // namespace

struct RawAccess::State {
    ~State()
    {
        for (const Grant &grant : std::as_const(grants))
            volume_platform::close(grant.handle);
        disk_service.reset();
        // Closed here, while the application object still exists: a
        // connection left to the end of the program may still be handling a
        // message from the bus while Qt's type registry is torn down.
        if (!own_connection.isEmpty())
            QDBusConnection::disconnectFromBus(own_connection);
    }

    std::optional<UdisksClient> disk_service;
    QString own_connection; // the name of a connection this state opened itself
    QMutex mutex; // held across a password prompt, so that only one is ever shown
    QHash<QString, Grant> grants;
};

RawAccess::RawAccess()
    : RawAccess(std::nullopt)
{
}

RawAccess::RawAccess(const std::optional<QDBusConnection> &bus)
    : state(std::make_shared<State>())
{
    if (bus && bus->isConnected())
        state->disk_service.emplace(*bus);
}

RawAccess::~RawAccess() = default;

RawAccess RawAccess::with_system_bus()
{
    static std::atomic<int> serial{0};
    const QString name = QStringLiteral("velvora-raw-access-%1").arg(serial++);
    RawAccess access(QDBusConnection::connectToBus(QDBusConnection::SystemBus, name));
    access.state->own_connection = name;
    return access;
}

bool RawAccess::has_disk_service() const
{
    return state->disk_service.has_value();
}

volume_platform::Handle RawAccess::open(const QString &path, volume_platform::Failure *failure) const
{
    volume_platform::Failure why = volume_platform::Failure::None;
    const volume_platform::Handle handle = volume_platform::open_read_only(path, &why);
    if (handle != volume_platform::invalid_handle || why != volume_platform::Failure::PermissionDenied
        || !state->disk_service || !volume_platform::is_block_device(path)) {
        if (failure)
            *failure = why;
        return handle;
    }

    const quint64 identity = volume_platform::identity_of(path);
    QMutexLocker lock(&state->mutex);
    auto grant = state->grants.find(path);
    if (grant != state->grants.end() && grant->identity != identity) {
        // another card or image behind the same node: the old grant is void
        volume_platform::close(grant->handle);
        state->grants.erase(grant);
        grant = state->grants.end();
    }
    if (grant == state->grants.end()) {
        volume_platform::Failure refusal = volume_platform::Failure::None;
        const volume_platform::Handle granted = state->disk_service->open_for_backup(path, &refusal);
        if (granted == volume_platform::invalid_handle) {
            // a node the service does not know of stays a plain permission matter
            if (failure)
                *failure = refusal == volume_platform::Failure::NotFound ? why : refusal;
            return volume_platform::invalid_handle;
        }
        grant = state->grants.insert(path, Grant{identity, granted});
    }
    const volume_platform::Handle copy = volume_platform::duplicate(grant->handle);
    if (copy != volume_platform::invalid_handle)
        volume_platform::seek(copy, 0);
    if (failure)
        *failure = copy == volume_platform::invalid_handle ? volume_platform::Failure::Other
                                                           : volume_platform::Failure::None;
    return copy;
}

std::unique_ptr<RawVolume> RawAccess::open_volume(const QString &path, volume_platform::Failure *failure) const
{
    return RawVolume::adopt(open(path, failure));
}

std::function<std::unique_ptr<VolumeSource>(const QString &, volume_platform::Failure *)>
RawAccess::volume_opener() const
{
    return [access = *this](const QString &path, volume_platform::Failure *failure) {
        return std::unique_ptr<VolumeSource>(access.open_volume(path, failure));
    };
}

QMap<QString, RemovableDevice> RawAccess::removable_devices() const
{
    if (state->disk_service) {
        const std::optional<QList<volume_platform::VolumeInfo>> volumes = state->disk_service->list_volumes();
        if (volumes)
            return removable_devices_from(*volumes);
    }
    return enumerate_removable_devices();
}
