#pragma once

#include <QByteArray>
#include <QFile>

// The peak resident set size of this process so far in MiB, from the
// kernel's VmHWM line; -1 where that is not available.
inline double peak_resident_mib()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:")) {
            const QByteArray kib = line.mid(6).trimmed().split(' ').value(0);
            return kib.toDouble() / 1024.0;
        }
    }
    return -1;
}
