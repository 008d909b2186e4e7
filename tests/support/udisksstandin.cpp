#include "udisksstandin.h"
#include "testsupport.h"
#include "udisksclient.h"

#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusUnixFileDescriptor>
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

QDBusObjectPath UdisksTree::block(const QString &node, const BlockFacts &facts)
{
    const auto path_of = [](const QString &node) { return QDBusObjectPath(root + "/block_devices/" + QFileInfo(node).fileName()); };
    Interfaces interfaces{{udisks + "Block",
                           {{"Device", c_string(node)}, {"Size", qulonglong(facts.size)}, {"IdLabel", facts.label},
                            {"IdType", facts.type}, {"IdVersion", facts.version},
                            {"Drive", QVariant::fromValue(facts.drive)},
                            {"HintSystem", facts.hint_system || facts.backing_file.has_value()},
                            {"HintIgnore", facts.hint_ignore}}}};
    if (facts.backing_file)
        interfaces.insert(udisks + "Loop", {{"BackingFile", c_string(*facts.backing_file)}});
    if (!facts.table.isEmpty())
        interfaces.insert(udisks + "Partition",
                          {{"Table", QVariant::fromValue(path_of(facts.table))}, {"IsContainer", facts.container}});
    if (facts.mount_points) {
        QList<QByteArray> points;
        for (const QString &point : *facts.mount_points)
            points.append(c_string(point));
        interfaces.insert(udisks + "Filesystem", {{"MountPoints", QVariant::fromValue(points)}});
    }
    objects.insert(path_of(node), interfaces);
    return path_of(node);
}

QDBusObjectPath UdisksTree::drive(const QString &name, const QVariantMap &properties)
{
    const QDBusObjectPath path(root + "/drives/" + name);
    objects.insert(path, {{udisks + "Drive", properties}});
    return path;
}

bool UdisksStandIn::handleMessage(const QDBusMessage &message, const QDBusConnection &connection)
{
    if (message.member() == "GetManagedObjects") {
        if (!silent)
            connection.send(message.createReply(QVariant::fromValue(objects)));
        return true;
    }
    const auto served = blocks.find(message.path());
    if (served == blocks.end() || message.member() != "OpenForBackup")
        return false;
    StandInBlock &block = *served->second;
    ++block.calls;
    const QVariant no_interaction = qdbus_cast<QVariantMap>(message.arguments().value(0)).value("auth.no_user_interaction");
    if (no_interaction.isValid() && !no_interaction.toBool() && message.isInteractiveAuthorizationAllowed())
        ++block.interactive_calls;
    QThread::msleep(block.prompt_ms);
    QFile file(block.target);
    if (block.refuse)
        connection.send(message.createErrorReply(udisks + "Error.NotAuthorizedDismissed", "The dialog was dismissed"));
    else if (!file.open(QIODevice::ReadOnly))
        connection.send(message.createErrorReply(udisks + "Error.Failed", file.errorString()));
    else
        connection.send(message.createReply(QVariant::fromValue(QDBusUnixFileDescriptor(file.handle()))));
    return true;
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
    : objects(objects), connection(QDBusConnection::connectToBus(address, "udisks-stand-in"))
{
    qDBusRegisterMetaType<QList<QByteArray>>();
    qDBusRegisterMetaType<QVariantMap>();
    qDBusRegisterMetaType<Interfaces>();
    qDBusRegisterMetaType<ManagedObjects>();
    connection.registerVirtualObject(root, this, QDBusConnection::SubPath);
    moveToThread(&thread);
    thread.start();
}

UdisksStandIn::~UdisksStandIn()
{
    connection.unregisterService(UdisksClient::service);
    connection.unregisterObject(root, QDBusConnection::UnregisterTree);
    thread.quit();
    thread.wait();
    QDBusConnection::disconnectFromBus("udisks-stand-in");
}

StandInBlock *UdisksStandIn::serve_block(const QDBusObjectPath &path, const QString &target, bool refuse)
{
    return (blocks[path.path()] = std::make_unique<StandInBlock>(target, refuse)).get();
}

bool UdisksStandIn::publish()
{
    return connection.registerService(UdisksClient::service);
}

} // namespace testsupport
