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
    QString label = {}, type = {}, version = {};
    QDBusObjectPath drive = QDBusObjectPath("/");
    bool hint_system = false, hint_ignore = false;
    std::optional<QStringList> mount_points = {}; // set: it has a Filesystem interface
    bool partitioned = false;                     // it holds a partition table
    QDBusObjectPath table = {};                   // set: a partition in that table
    bool container = false;                       // an extended partition's container
    std::optional<QString> backing_file = {};     // set: a loop device, which carries HintSystem
};

// The object tree the service exports.
struct UdisksTree
{
    QDBusObjectPath drive(const QString &name, bool removable, bool media_removable, const QString &bus,
                          bool media_available = true, const QStringList &media = {});
    QDBusObjectPath block(const QString &node, const BlockFacts &facts);

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
    StandInBlock(const QString &target, bool refuse) : refuse(refuse), target(target) {}
    std::atomic<bool> refuse;               // as when the password prompt is cancelled
    std::atomic<int> calls{0};
    std::atomic<int> interactive_calls{0}; // with auth.no_user_interaction false

public slots:
    QDBusUnixFileDescriptor OpenForBackup(const QVariantMap &options);

private:
    const QString target;
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
