#include "udisksstandin.h"
#include "testsupport.h"
#include "udisksclient.h"

#include <QDBusMessage>
#include <QDBusMetaType>
#include <QFile>
#include <QFileInfo>

namespace testsupport {

namespace {

const QString root = QStringLiteral("/org/freedesktop/UDisks2");

// Byte strings as the service sends them: with a trailing NUL.
QByteArray c_string(const QString &text)
{
    return QFile::encodeName(text) + '\0';
}

} // namespace

BlockFacts facts_of(const QString &node)
{
    BlockFacts facts;
    facts.size = tool_output(QStringLiteral("lsblk"), {QStringLiteral("-bndo"), QStringLiteral("SIZE"), node}).toLongLong();
    const QStringList lines =
        tool_output(QStringLiteral("blkid"), {QStringLiteral("-p"), QStringLiteral("-o"), QStringLiteral("export"), node})
            .split(QLatin1Char('\n'));
    for (const QString &line : lines) {
        const QString value = line.section(QLatin1Char('='), 1);
        if (line.startsWith(QLatin1String("LABEL=")))
            facts.label = value;
        else if (line.startsWith(QLatin1String("TYPE=")))
            facts.type = value;
        else if (line.startsWith(QLatin1String("VERSION=")))
            facts.version = value;
    }
    return facts;
}

QDBusObjectPath UdisksTree::drive(const QString &name, bool removable, bool media_removable, const QString &bus,
                                  bool media_available, const QStringList &media)
{
    const QDBusObjectPath path(root + QStringLiteral("/drives/") + name);
    objects.insert(path, {{QStringLiteral("org.freedesktop.UDisks2.Drive"),
                           {{QStringLiteral("Removable"), removable},
                            {QStringLiteral("MediaRemovable"), media_removable},
                            {QStringLiteral("ConnectionBus"), bus},
                            {QStringLiteral("MediaAvailable"), media_available},
                            {QStringLiteral("MediaCompatibility"), media},
                            {QStringLiteral("Optical"), false}}}});
    return path;
}

QDBusObjectPath UdisksTree::block(const QString &node, const BlockFacts &facts, Interfaces more)
{
    more.insert(QStringLiteral("org.freedesktop.UDisks2.Block"),
                {{QStringLiteral("Device"), c_string(node)},
                 {QStringLiteral("Size"), qulonglong(facts.size)},
                 {QStringLiteral("IdLabel"), facts.label},
                 {QStringLiteral("IdType"), facts.type},
                 {QStringLiteral("IdVersion"), facts.version},
                 {QStringLiteral("Drive"), QVariant::fromValue(facts.drive)},
                 {QStringLiteral("HintSystem"), facts.hint_system},
                 {QStringLiteral("HintIgnore"), facts.hint_ignore}});
    if (facts.mount_points) {
        QList<QByteArray> points;
        for (const QString &point : *facts.mount_points)
            points.append(c_string(point));
        more.insert(QStringLiteral("org.freedesktop.UDisks2.Filesystem"),
                    {{QStringLiteral("MountPoints"), QVariant::fromValue(points)}});
    }
    const QDBusObjectPath path(root + QStringLiteral("/block_devices/") + QFileInfo(node).fileName());
    objects.insert(path, more);
    return path;
}

QDBusObjectPath UdisksTree::partitioned(const QString &node, const BlockFacts &facts)
{
    return block(node, facts, {{QStringLiteral("org.freedesktop.UDisks2.PartitionTable"), {}}});
}

QDBusObjectPath UdisksTree::partition(const QString &node, const QDBusObjectPath &table, const BlockFacts &facts,
                                      bool container)
{
    return block(node, facts,
                 {{QStringLiteral("org.freedesktop.UDisks2.Partition"),
                   {{QStringLiteral("Table"), QVariant::fromValue(table)}, {QStringLiteral("IsContainer"), container}}}});
}

QDBusObjectPath UdisksTree::loop(const QString &node, BlockFacts facts, const QString &backing_file, Interfaces more)
{
    facts.hint_system = true;
    more.insert(QStringLiteral("org.freedesktop.UDisks2.Loop"), {{QStringLiteral("BackingFile"), c_string(backing_file)}});
    return block(node, facts, more);
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
    const QVariant no_interaction = options.value(QStringLiteral("auth.no_user_interaction"));
    if (no_interaction.isValid() && !no_interaction.toBool() && message().isInteractiveAuthorizationAllowed())
        ++interactive_calls;
    if (refuse) {
        sendErrorReply(QStringLiteral("org.freedesktop.UDisks2.Error.NotAuthorizedDismissed"),
                       QStringLiteral("The authentication dialog was dismissed"));
        return {};
    }
    QFile file(target);
    if (!file.open(QIODevice::ReadOnly)) {
        sendErrorReply(QStringLiteral("org.freedesktop.UDisks2.Error.Failed"), file.errorString());
        return {};
    }
    return QDBusUnixFileDescriptor(file.handle()); // keeps a duplicate
}

PrivateBus::PrivateBus()
{
    if (!missing_tools({QStringLiteral("dbus-daemon")}).isEmpty() || !dir.isValid())
        return;
    open_to_everyone(dir.path()); // other users reach the socket through this folder
    const QString config = dir.filePath(QStringLiteral("bus.conf"));
    write_file(config, QStringLiteral("<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
                                      " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                                      "<busconfig><type>session</type><listen>unix:path=%1</listen><auth>EXTERNAL</auth>\n"
                                      "<policy context=\"default\"><allow user=\"*\"/><allow own=\"*\"/>\n"
                                      "<allow send_destination=\"*\" eavesdrop=\"true\"/><allow eavesdrop=\"true\"/>\n"
                                      "</policy></busconfig>\n")
                           .arg(dir.filePath(QStringLiteral("socket")))
                           .toUtf8());
    daemon.start(QStringLiteral("dbus-daemon"),
                 {QStringLiteral("--config-file=") + config, QStringLiteral("--nofork"), QStringLiteral("--print-address")});
    if (!daemon.waitForStarted(10000))
        return;
    while (!daemon.canReadLine() && daemon.waitForReadyRead(10000)) {
    }
    address = QString::fromUtf8(daemon.readLine()).trimmed();
}

PrivateBus::~PrivateBus()
{
    if (daemon.state() != QProcess::NotRunning) {
        daemon.kill();
        daemon.waitForFinished(10000);
    }
}

UdisksStandIn::UdisksStandIn(const QString &address, const ManagedObjects &objects)
    : manager(objects), connection(QDBusConnection::connectToBus(address, QStringLiteral("udisks-stand-in")))
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
    QDBusConnection::disconnectFromBus(QStringLiteral("udisks-stand-in"));
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
