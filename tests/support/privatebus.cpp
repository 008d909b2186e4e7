#include "privatebus.h"

#include "testsupport.h"

#include <QFile>

namespace testsupport {

PrivateBus::PrivateBus()
{
    if (missing_tools({QStringLiteral("dbus-daemon")}).size() == 1 || !dir.isValid())
        return;
    // other users reach the socket through this folder
    QFile::setPermissions(dir.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner
                                          | QFileDevice::ReadOther | QFileDevice::ExeOther
                                          | QFileDevice::ReadGroup | QFileDevice::ExeGroup);
    const QString config = dir.filePath(QStringLiteral("bus.conf"));
    write_file(
        config, QStringLiteral("<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
                               " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                               "<busconfig>\n"
                               "  <type>session</type>\n"
                               "  <listen>unix:path=%1</listen>\n"
                               "  <auth>EXTERNAL</auth>\n"
                               "  <policy context=\"default\">\n"
                               "    <allow user=\"*\"/>\n"
                               "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
                               "    <allow eavesdrop=\"true\"/>\n"
                               "    <allow own=\"*\"/>\n"
                               "  </policy>\n"
                               "</busconfig>\n")
                    .arg(dir.filePath(QStringLiteral("socket")))
                    .toUtf8());
    daemon.start(QStringLiteral("dbus-daemon"), {QStringLiteral("--config-file=") + config,
                                                 QStringLiteral("--nofork"), QStringLiteral("--print-address")});
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

} // namespace testsupport
