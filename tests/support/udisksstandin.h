#pragma once

// A stand-in for the desktop's disk service, UDisks2, on a private dbus-daemon
// any local user may reach: block devices whose OpenForBackup hands out a
// read-only descriptor or refuses as polkit does when its prompt is cancelled.
// Link velvora_device and Qt6::DBus.

#include <QDBusConnection>
#include <QDBusObjectPath>
#include <QDBusVirtualObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <QVariantMap>

#include <atomic>
#include <map>
#include <memory>
#include <optional>

namespace testsupport {

using Interfaces = QMap<QString, QVariantMap>;
using ManagedObjects = QMap<QDBusObjectPath, Interfaces>;

// What the service says of one block device.
struct BlockFacts
{
    qint64 size = 0;
    QString label = {}, type = {}, version = {};
    std::optional<QString> backing_file = {}; // set: a loop device, which carries HintSystem
    QDBusObjectPath drive = QDBusObjectPath("/");
    QString table = {}; // the disk's node: a partition of it
    bool container = false, hint_system = false, hint_ignore = false;
    std::optional<QStringList> mount_points = {}; // set: a file system
};

struct UdisksTree
{
    QDBusObjectPath block(const QString &node, const BlockFacts &facts);
    QDBusObjectPath drive(const QString &name, const QVariantMap &properties);
    ManagedObjects objects;
};

// A block device whose descriptors the service hands out.
struct StandInBlock
{
    const QString target;                  // what OpenForBackup opens
    std::atomic<bool> refuse;              // as when the password prompt is cancelled
    std::atomic<int> calls{0};
    std::atomic<int> interactive_calls{0}; // with auth.no_user_interaction false
    std::atomic<int> prompt_ms{0};         // how long the password prompt stays up
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

// The service on the bus at address. It answers on a thread of its own, so
// that the test's thread may wait for a reply or a child process.
class UdisksStandIn : public QDBusVirtualObject
{
public:
    UdisksStandIn(const QString &address, const ManagedObjects &objects);
    ~UdisksStandIn() override;
    // OpenForBackup of the block object at path opens target, or refuses.
    StandInBlock *serve_block(const QDBusObjectPath &path, const QString &target, bool refuse = false);
    // Takes the service name: from now on clients find it.
    bool publish();

    std::atomic<bool> silent{false}; // never answers, as a hung service

    bool handleMessage(const QDBusMessage &message, const QDBusConnection &connection) override;
    QString introspect(const QString &) const override { return {}; }

private:
    const ManagedObjects objects;
    QDBusConnection connection;
    QThread thread;
    std::map<QString, std::unique_ptr<StandInBlock>> blocks;
};

} // namespace testsupport
