#pragma once

#include "volumeplatform.h"

#include <QDBusConnection>
#include <QList>
#include <QString>

#include <atomic>
#include <memory>
#include <optional>

// The desktop's disk service, UDisks2, on one D-Bus connection: the
// removable volumes it knows of, and read-only descriptors of block devices
// this user may not open, which it hands out once polkit has had the
// administrator's password typed in.
class UdisksClient
{
public:
    explicit UdisksClient(const QDBusConnection &bus);

    // The volumes as volume_platform::list_volumes() gives them; nullopt when
    // the service could not be asked (not running, no bus) or did not answer
    // within list_timeout_ms; after such a silence it is left alone for
    // quiet_period_ms, so a hung service costs a poll at most that once.
    std::optional<QList<volume_platform::VolumeInfo>> list_volumes() const;

    // A read-only descriptor of the block device node from the service.
    // AuthorizationRefused when the password prompt was cancelled or
    // refused; NotFound when the service knows no such node or cannot be
    // reached. On the application's main thread the call is waited for
    // with the event loop running (user input held back), so a window keeps
    // painting while the desktop's password prompt is up.
    volume_platform::Handle open_for_backup(const QString &node, volume_platform::Failure *failure = nullptr) const;

    static const QString service;
    // Long enough for someone to read a password prompt and answer it.
    static constexpr int prompt_timeout_ms = 10 * 60 * 1000;
    static constexpr int list_timeout_ms = 500;
    static constexpr int quiet_period_ms = 10 * 1000;

private:
    QDBusConnection bus;
    // After a call the service left unanswered, it is not asked again before this.
    std::shared_ptr<std::atomic<qint64>> quiet_until;
};
