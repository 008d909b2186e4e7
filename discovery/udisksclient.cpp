#include "udisksclient.h"

#include "sysfsvolumetable.h"

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusPendingCall>
#include <QDBusPendingCallWatcher>
#include <QDateTime>
#include <QEventLoop>
#include <QThread>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusUnixFileDescriptor>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QMap>
#include <QVariantMap>

const QString UdisksClient::service = QStringLiteral("org.freedesktop.UDisks2");

namespace {

using Interfaces = QMap<QString, QVariantMap>;
using Objects = QMap<QDBusObjectPath, Interfaces>;

const QString object_manager_path = QStringLiteral("/org/freedesktop/UDisks2");
const QString block_interface = QStringLiteral("org.freedesktop.UDisks2.Block");
const QString drive_interface = QStringLiteral("org.freedesktop.UDisks2.Drive");
const QString partition_interface = QStringLiteral("org.freedesktop.UDisks2.Partition");
const QString filesystem_interface = QStringLiteral("org.freedesktop.UDisks2.Filesystem");
const QString loop_interface = QStringLiteral("org.freedesktop.UDisks2.Loop");
const QString not_authorized_error = QStringLiteral("org.freedesktop.UDisks2.Error.NotAuthorized");

// Byte-string properties (ay) end in a NUL the service adds for C callers.
QString path_from_bytes(QByteArray bytes)
{
    const qsizetype end = bytes.indexOf('\0');
    if (end >= 0)
        bytes.truncate(end);
    return QFile::decodeName(bytes);
}

QByteArray bytes_of(const QVariant &value)
{
    if (value.metaType() == QMetaType::fromType<QDBusArgument>()) {
        QByteArray bytes;
        value.value<QDBusArgument>() >> bytes;
        return bytes;
    }
    return value.toByteArray();
}

// The first of a list of byte strings (aay), such as a file system's mount points.
QString first_path_of(const QVariant &value)
{
    QList<QByteArray> list;
    if (value.metaType() == QMetaType::fromType<QDBusArgument>())
        value.value<QDBusArgument>() >> list;
    else
        list = value.value<QList<QByteArray>>();
    return list.isEmpty() ? QString() : path_from_bytes(list.first());
}

QString object_path_of(const QVariant &value)
{
    return value.value<QDBusObjectPath>().path();
}

qint64 now_ms()
{
    return QDateTime::currentMSecsSinceEpoch();
}

// Asked with a short timeout: a service that does not answer must not hold up
// a window that lists devices every second.
std::optional<Objects> managed_objects(const QDBusConnection &bus, std::atomic<qint64> &quiet_until)
{
    if (!bus.isConnected() || now_ms() < quiet_until)
        return std::nullopt;
    const QDBusMessage call = QDBusMessage::createMethodCall(
        UdisksClient::service, object_manager_path, QStringLiteral("org.freedesktop.DBus.ObjectManager"),
        QStringLiteral("GetManagedObjects"));
    const QDBusMessage reply = bus.call(call, QDBus::Block, UdisksClient::list_timeout_ms);
    if (reply.type() == QDBusMessage::ErrorMessage && reply.errorName() == QStringLiteral("org.freedesktop.DBus.Error.NoReply"))
        quiet_until = now_ms() + UdisksClient::quiet_period_ms;
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        return std::nullopt;
    const QVariant first = reply.arguments().first();
    if (first.metaType() != QMetaType::fromType<QDBusArgument>())
        return std::nullopt;
    return qdbus_cast<Objects>(first.value<QDBusArgument>());
}

// Drives a user plugs in and out: cards, their readers, sticks and cameras,
// with a medium in them. Optical drives never hold photos to carve.
bool is_removable_drive(const QVariantMap &drive)
{
    const QString bus = drive.value(QStringLiteral("ConnectionBus")).toString();
    const bool removable = drive.value(QStringLiteral("Removable")).toBool()
        || drive.value(QStringLiteral("MediaRemovable")).toBool() || bus == QLatin1String("usb")
        || bus == QLatin1String("sdio");
    if (!removable || !drive.value(QStringLiteral("MediaAvailable")).toBool()
        || drive.value(QStringLiteral("Optical")).toBool())
        return false;
    const QStringList media = drive.value(QStringLiteral("MediaCompatibility")).toStringList();
    for (const QString &kind : media) {
        if (kind.startsWith(QLatin1String("optical")))
            return false;
    }
    return true;
}

class VolumeLister
{
public:
    explicit VolumeLister(const Objects &objects)
        : objects(objects)
    {
        for (auto object = objects.cbegin(); object != objects.cend(); ++object) {
            const auto partition = object->constFind(partition_interface);
            if (partition == object->cend() || !object->contains(block_interface))
                continue;
            partitions[object_path_of(partition->value(QStringLiteral("Table")))].append(object.key().path());
        }
    }

    QList<volume_platform::VolumeInfo> volumes() const
    {
        QList<volume_platform::VolumeInfo> result;
        for (auto object = objects.cbegin(); object != objects.cend(); ++object) {
            if (object->contains(block_interface) && !object->contains(partition_interface)
                && is_candidate_disk(*object))
                add_volumes_of(object.key().path(), &result);
        }
        return result;
    }

private:
    Interfaces interfaces_of(const QString &path) const { return objects.value(QDBusObjectPath(path)); }
    static QVariantMap block_of(const Interfaces &interfaces) { return interfaces.value(block_interface); }
    static QString node_of(const Interfaces &interfaces)
    {
        return path_from_bytes(bytes_of(block_of(interfaces).value(QStringLiteral("Device"))));
    }
    static QString mount_point_of(const Interfaces &interfaces)
    {
        const auto filesystem = interfaces.constFind(filesystem_interface);
        return filesystem == interfaces.cend() ? QString()
                                               : first_path_of(filesystem->value(QStringLiteral("MountPoints")));
    }

    bool is_candidate_disk(const Interfaces &interfaces) const
    {
        const QVariantMap block = block_of(interfaces);
        if (block.value(QStringLiteral("Size")).toLongLong() <= 0)
            return false;
        const auto loop = interfaces.constFind(loop_interface);
        // Loop devices the administrator set up count as system devices to
        // the service; an image file behind one is what makes it a volume.
        if (loop != interfaces.cend())
            return !path_from_bytes(bytes_of(loop->value(QStringLiteral("BackingFile")))).isEmpty();
        const QString drive = object_path_of(block.value(QStringLiteral("Drive")));
        const Interfaces drive_object = interfaces_of(drive);
        return drive_object.contains(drive_interface) && is_removable_drive(drive_object.value(drive_interface))
            && !block.value(QStringLiteral("HintSystem")).toBool();
    }

    void add_volumes_of(const QString &disk_path, QList<volume_platform::VolumeInfo> *result) const
    {
        const Interfaces disk = interfaces_of(disk_path);
        const QString disk_node = node_of(disk);
        const quint32 bytes_per_sector = volume_platform::sector_size_of(disk_node);

        QList<Interfaces> volumes;
        bool holds_system = SysfsVolumeTable::is_system_mount_point(mount_point_of(disk));
        for (const QString &path : partitions.value(disk_path)) {
            const Interfaces partition = interfaces_of(path);
            holds_system = holds_system || SysfsVolumeTable::is_system_mount_point(mount_point_of(partition));
            // an extended partition's container spans only its link sectors
            if (!partition.value(partition_interface).value(QStringLiteral("IsContainer")).toBool()
                && block_of(partition).value(QStringLiteral("Size")).toLongLong() > 2 * qint64(bytes_per_sector))
                volumes.append(partition);
        }
        if (holds_system)
            return;
        if (volumes.isEmpty())
            volumes.append(disk);

        for (const Interfaces &volume : std::as_const(volumes)) {
            const QVariantMap block = block_of(volume);
            const QString type = block.value(QStringLiteral("IdType")).toString();
            if (block.value(QStringLiteral("HintIgnore")).toBool() || SysfsVolumeTable::is_packed_image(type))
                continue;
            result->append(describe(volume, bytes_per_sector));
        }
    }

    static volume_platform::VolumeInfo describe(const Interfaces &volume, quint32 bytes_per_sector)
    {
        const QVariantMap block = block_of(volume);
        volume_platform::VolumeInfo info;
        info.raw_path = node_of(volume);
        info.drive = info.raw_path.startsWith(QLatin1String("/dev/")) ? info.raw_path.mid(5)
                                                                       : QFileInfo(info.raw_path).fileName();
        info.root_path = mount_point_of(volume);
        info.label = block.value(QStringLiteral("IdLabel")).toString();
        info.file_system = SysfsVolumeTable::file_system_name(block.value(QStringLiteral("IdType")).toString(),
                                                              block.value(QStringLiteral("IdVersion")).toString());
        info.bytes_per_sector = bytes_per_sector;
        info.size = block.value(QStringLiteral("Size")).toLongLong();
        info.identity = volume_platform::identity_of(info.raw_path);
        return info;
    }

    const Objects &objects;
    QHash<QString, QStringList> partitions; // partition table object -> its partitions
};

// The block object whose Device is node, or whose Device is where node leads.
QString block_object_of(const Objects &objects, const QString &node)
{
    const QString resolved = QFileInfo(node).canonicalFilePath();
    for (auto object = objects.cbegin(); object != objects.cend(); ++object) {
        const auto block = object->constFind(block_interface);
        if (block == object->cend())
            continue;
        const QString device = path_from_bytes(bytes_of(block->value(QStringLiteral("Device"))));
        if (device == node || (!resolved.isEmpty() && device == resolved))
            return object.key().path();
    }
    return {};
}

// On the main thread the event loop runs meanwhile, without user input, so
// the window keeps painting behind the password prompt; elsewhere it blocks.
QDBusMessage wait_for_reply(const QDBusPendingCall &pending)
{
    const QCoreApplication *app = QCoreApplication::instance();
    if (app && QThread::currentThread() == app->thread()) {
        QDBusPendingCallWatcher watcher(pending);
        QEventLoop loop;
        QObject::connect(&watcher, &QDBusPendingCallWatcher::finished, &loop, &QEventLoop::quit);
        if (!watcher.isFinished())
            loop.exec(QEventLoop::ExcludeUserInputEvents);
    }
    QDBusPendingCall call = pending;
    call.waitForFinished();
    return call.reply();
}

} // namespace

UdisksClient::UdisksClient(const QDBusConnection &bus)
    : bus(bus)
    , quiet_until(std::make_shared<std::atomic<qint64>>(0))
{
}

std::optional<QList<volume_platform::VolumeInfo>> UdisksClient::list_volumes() const
{
    const std::optional<Objects> objects = managed_objects(bus, *quiet_until);
    if (!objects)
        return std::nullopt;
    return VolumeLister(*objects).volumes();
}

volume_platform::Handle UdisksClient::open_for_backup(const QString &node, volume_platform::Failure *failure) const
{
    const auto report = [failure](volume_platform::Failure value) {
        if (failure)
            *failure = value;
        return volume_platform::invalid_handle;
    };
    const std::optional<Objects> objects = managed_objects(bus, *quiet_until);
    const QString object = objects ? block_object_of(*objects, node) : QString();
    if (object.isEmpty() || !bus.connectionCapabilities().testFlag(QDBusConnection::UnixFileDescriptorPassing))
        return report(volume_platform::Failure::NotFound);

    QDBusMessage call = QDBusMessage::createMethodCall(service, object, block_interface, QStringLiteral("OpenForBackup"));
    // The service asks polkit, and polkit may ask the user for the password.
    call << QVariantMap{{QStringLiteral("auth.no_user_interaction"), false}};
    call.setInteractiveAuthorizationAllowed(true);
    const QDBusMessage reply = wait_for_reply(bus.asyncCall(call, prompt_timeout_ms));
    if (reply.type() == QDBusMessage::ErrorMessage) {
        // NotAuthorized, NotAuthorizedCanObtain, NotAuthorizedDismissed
        if (reply.errorName().startsWith(not_authorized_error))
            return report(volume_platform::Failure::AuthorizationRefused);
        return report(volume_platform::Failure::Other);
    }
    if (reply.arguments().isEmpty())
        return report(volume_platform::Failure::Other);
    const QDBusUnixFileDescriptor descriptor = reply.arguments().first().value<QDBusUnixFileDescriptor>();
    // The message's copy closes with it; keep one of our own.
    const volume_platform::Handle handle = volume_platform::duplicate(descriptor.fileDescriptor());
    if (handle == volume_platform::invalid_handle)
        return report(volume_platform::Failure::Other);
    report(volume_platform::Failure::None);
    return handle;
}
