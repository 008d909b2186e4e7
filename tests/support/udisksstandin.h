#pragma once

// A stand-in for the desktop's disk service, UDisks2, on a private
// dbus-daemon that any local user may reach: an object tree built a device
// at a time, and block objects whose OpenForBackup hands out a read-only
// descriptor or refuses as polkit does when its prompt is cancelled.
// Link velvora_device and Qt6::DBus.

#include <QDBusConnection>
#include <QDBusContext>
#include <QDBusObjectPath>
#include <QDBusUnixFileDescriptor>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <QVariantMap>

#include <atomic>
#include <memory>
#include <optional>
#include <vector>

namespace testsupport {

using Interfaces = QMap<QString, QVariantMap>;
using ManagedObjects = QMap<QDBusObjectPath, Interfaces>;

// What the service says of one block device.
struct BlockFacts
{
    qint64 size = 0;
    QString label = {};
    QString type = {};
    QString version = {};
    QDBusObjectPath drive = QDBusObjectPath(QStringLiteral("/"));
    bool hint_system = false;
    bool hint_ignore = false;
    std::optional<QStringList> mount_points = {}; // set: it has a Filesystem interface
};

// What the real service would report of a block device node (blkid, lsblk).
BlockFacts facts_of(const QString &node);

// The object tree the service exports.
class UdisksTree
{
public:
    QDBusObjectPath drive(const QString &name, bool removable, bool media_removable, const QString &bus,
                          bool media_available = true, const QStringList &media = {});
    // The block device node; more holds its other interfaces.
    QDBusObjectPath block(const QString &node, const BlockFacts &facts, Interfaces more = {});
    QDBusObjectPath partitioned(const QString &node, const BlockFacts &facts);
    QDBusObjectPath partition(const QString &node, const QDBusObjectPath &table, const BlockFacts &facts,
                              bool container = false);
    // A loop device; the administrator's carry HintSystem.
    QDBusObjectPath loop(const QString &node, BlockFacts facts, const QString &backing_file, Interfaces more = {});

    ManagedObjects objects;
};

class StandInObjectManager : public QObject, protected QDBusContext
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.DBus.ObjectManager")

public:
    explicit StandInObjectManager(const ManagedObjects &objects) : objects(objects) {}
    std::atomic<bool> silent{false}; // never answers, as a hung service

public slots:
    ManagedObjects GetManagedObjects();

private:
    const ManagedObjects objects;
};

class StandInBlock : public QObject, protected QDBusContext
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.UDisks2.Block")

public:
    StandInBlock(const QString &target, bool refuse) : target(target), refuse(refuse) {}
    std::atomic<int> calls{0};
    std::atomic<int> interactive_calls{0}; // with auth.no_user_interaction false

public slots:
    QDBusUnixFileDescriptor OpenForBackup(const QVariantMap &options);

private:
    const QString target;
    const bool refuse;
};

// A dbus-daemon of the test's own; address is empty when it cannot start.
class PrivateBus
{
public:
    PrivateBus();
    ~PrivateBus();
    QString address;

private:
    QTemporaryDir dir;
    QProcess daemon;
};

// The service on the bus at address; its objects answer on a thread of their
// own, so that the test's thread may wait for a reply or a child process.
class UdisksStandIn
{
public:
    UdisksStandIn(const QString &address, const ManagedObjects &objects);
    ~UdisksStandIn();
    // A block object whose OpenForBackup opens target, or refuses.
    StandInBlock *serve_block(const QDBusObjectPath &path, const QString &target, bool refuse = false);
    // Takes the service name: from now on clients find it.
    bool publish();

    StandInObjectManager manager;

private:
    QDBusConnection connection;
    QThread thread;
    std::vector<std::unique_ptr<StandInBlock>> blocks;
};

} // namespace testsupport
