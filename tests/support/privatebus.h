#pragma once

#include <QProcess>
#include <QString>
#include <QTemporaryDir>

namespace testsupport {

// A dbus-daemon of the test's own that any local user may connect to;
// address stays empty when it cannot be started.
class PrivateBus
{
public:
    PrivateBus();
    ~PrivateBus();
    PrivateBus(const PrivateBus &) = delete;
    PrivateBus &operator=(const PrivateBus &) = delete;

    QTemporaryDir dir;
    QProcess daemon;
    QString address;
};

} // namespace testsupport
