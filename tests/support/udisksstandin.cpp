#include "udisksstandin.h"
#include "testsupport.h"
#include "udisksclient.h"

#include <QDBusMessage>
#include <QDBusMetaType>
#include <QFile>
#include <QFileInfo>

namespace testsupport {

namespace {

const QString root = "/org/freedesktop/UDisks2", udisks = "org.freedesktop.UDisks2.";

// Byte strings as the service sends them: with a trailing NUL.
QByteArray c_string(const QString &text)
{
    return QFile::encodeName(text) + '\0';
}

} // namespace

QDBusObjectPath UdisksTree::drive(const QString &name, bool removable, bool media_removable, const QString &bus,
                                  bool media_available, const QStringList &media)
{
    const QDBusObjectPath path(root + "/drives/" + name);
    objects.insert(path, {{udisks + "Drive",
                           {{"Removable", removable}, {"MediaRemovable", media_removable}, {"ConnectionBus", bus},
                            {"MediaAvailable", media_available}, {"MediaCompatibility", media}, {"Optical", false}}}});
    return path;
}

QDBusObjectPath UdisksTree::block(const QString &node, const BlockFacts &facts)
{
    Interfaces interfaces{{udisks + "Block",
                           {{"Device", c_string(node)}, {"Size", qulonglong(facts.size)}, {"IdLabel", facts.label},
                            {"IdType", facts.type}, {"IdVersion", facts.version},
                            {"Drive", QVariant::fromValue(facts.drive)},
                            {"HintSystem", facts.hint_system || facts.backing_file}, {"HintIgnore", facts.hint_ignore}}}};
    if (facts.mount_points) {
        QList<QByteArray> points;
        for (const QString &point : *facts.mount_points)
            points.append(c_string(point));
        interfaces.insert(udisks + "Filesystem", {{"MountPoints", QVariant::fromValue(points)}});
    }
    if (facts.partitioned)
        interfaces.insert(udisks + "PartitionTable", {});
    if (!facts.table.path().isEmpty())
        interfaces.insert(udisks + "Partition",
                          {{"Table", QVariant::fromValue(facts.table)}, {"IsContainer", facts.container}});
    if (facts.backing_file)
        interfaces.insert(udisks + "Loop", {{"BackingFile", c_string(*facts.backing_file)}});
    const QDBusObjectPath path(root + "/block_devices/" + QFileInfo(node).fileName());
    objects.insert(path, interfaces);
    return path;
}

ManagedObjects StandInObjectManager::GetManagedObjects()
{
    if (silent)
        setDelayedReply(true); // and never reply
    return objects;
}

QDBusUnixFileDescriptor StandInBlock::OpenForBackup(const QVariantMap &options)
{
    ++calls;
    const QVariant no_interaction = options.value("auth.no_user_interaction");
    if (no_interaction.isValid() && !no_interaction.toBool() && message().isInteractiveAuthorizationAllowed())
        ++interactive_calls;
    QFile file(target);
    if (refuse)
        sendErrorReply(udisks + "Error.NotAuthorizedDismissed", "The authentication dialog was dismissed");
    else if (!file.open(QIODevice::ReadOnly))
        sendErrorReply(udisks + "Error.Failed", file.errorString());
    return QDBusUnixFileDescriptor(file.handle()); // keeps a duplicate; unused after an error reply
}

PrivateBus::PrivateBus()
{
    if (!missing_tools({"dbus-daemon"}).isEmpty() || !dir.isValid())
        return;
    open_to_everyone(dir.path()); // other users reach the socket through this folder
    const QString config = dir.filePath("bus.conf");
    write_file(config, QString("<busconfig><type>session</type><listen>unix:path=%1</listen><auth>EXTERNAL</auth>"
                               "<policy context='default'><allow user='*'/><allow own='*'/><allow eavesdrop='true'/>"
                               "<allow send_destination='*' eavesdrop='true'/></policy></busconfig>")
                           .arg(dir.filePath("socket"))
                           .toUtf8());
    daemon.start("dbus-daemon", {"--config-file=" + config, "--nofork", "--print-address"});
    while (daemon.waitForStarted(10000) && !daemon.canReadLine() && daemon.waitForReadyRead(10000)) {
    }
    address = QString::fromUtf8(daemon.readLine()).trimmed();
}

PrivateBus::~PrivateBus()
{
    daemon.kill();
    daemon.waitForFinished(10000);
}

UdisksStandIn::UdisksStandIn(const QString &address, const ManagedObjects &objects)
    : manager(objects), connection(QDBusConnection::connectToBus(address, "udisks-stand-in"))
{
    qDBusRegisterMetaType<QList<QByteArray>>();
    qDBusRegisterMetaType<QVariantMap>();
    qDBusRegisterMetaType<Interfaces>();
    qDBusRegisterMetaType<ManagedObjects>();
    manager.moveToThread(&thread);
    thread.start();
}

UdisksStandIn::~UdisksStandIn()
{
    connection.unregisterService(UdisksClient::service);
    connection.unregisterObject(root, QDBusConnection::UnregisterTree);
    thread.quit();
    thread.wait();
    blocks.clear();
    QDBusConnection::disconnectFromBus("udisks-stand-in");
}

StandInBlock *UdisksStandIn::serve_block(const QDBusObjectPath &path, const QString &target, bool refuse)
{
    blocks.emplace_back(std::make_unique<StandInBlock>(target, refuse));
    blocks.back()->moveToThread(&thread);
    connection.registerObject(path.path(), blocks.back().get(), QDBusConnection::ExportAllSlots);
    return blocks.back().get();
}

bool UdisksStandIn::publish()
{
    return connection.registerObject(root, &manager, QDBusConnection::ExportAllSlots)
        && connection.registerService(UdisksClient::service);
}

} // namespace testsupport
