#include "removabledevice.h"

#include "rawaccess.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <memory>

QString RemovableDevice::display_text() const
{
    QString text = label.isEmpty() ? QCoreApplication::translate("QObject", "Removable Media") : label;
    if (!drive.isEmpty())
        text += QStringLiteral(" (%1)").arg(drive);
    text += QCoreApplication::translate("QObject", " - %1 MB").arg(size / 1024 / 1024);
    text += QLatin1Char('\n');
    text += file_system.isEmpty() ? QStringLiteral("Not formatted") : QStringLiteral("%1 Volume").arg(file_system);
    return text;
}

bool RemovableDevice::is_available() const
{
    return is_available(RawAccess());
}

bool RemovableDevice::is_available(const RawAccess &access, volume_platform::Failure *failure) const
{
    if (raw_path.isEmpty() || (identity != 0 && volume_platform::identity_of(raw_path) != identity)) {
        if (failure)
            *failure = raw_path.isEmpty() ? volume_platform::Failure::NotFound : volume_platform::Failure::DeviceGone;
        return false;
    }
    const volume_platform::Handle probe = access.open(raw_path, failure);
    if (probe == volume_platform::invalid_handle)
        return false;
    volume_platform::close(probe);
    return true;
}

bool RemovableDevice::has_file_system() const
{
    if (root_path.isEmpty() || !volume_platform::probe_mount(root_path))
        return false;
    // An unmounted device leaves its mount point behind as a plain folder.
    return !volume_platform::is_block_device(raw_path) || volume_platform::mount_point_of(raw_path) == root_path;
}

bool RemovableDevice::open(volume_platform::Failure *failure)
{
    return open(RawAccess(), failure);
}

bool RemovableDevice::open(const RawAccess &access, volume_platform::Failure *failure)
{
    handle = access.open(raw_path, failure);
    return handle != volume_platform::invalid_handle;
}

bool RemovableDevice::close()
{
    const bool closed = volume_platform::close(handle);
    handle = volume_platform::invalid_handle;
    return closed;
}

bool RemovableDevice::copy_to_file(const QString &path, qint64 offset, qint64 length) const
{
    return copy_extents_to_file(path, {{offset, length}});
}

bool RemovableDevice::copy_extents_to_file(const QString &path, const VolumeExtents &extents) const
{
    if (handle == volume_platform::invalid_handle || extents.isEmpty())
        return false;
    qint64 total = 0;
    for (const VolumeExtent &extent : extents) {
        if (extent.length < 0)
            return false;
        total += extent.length;
    }
    if (total == 0)
        return volume_platform::seek(handle, extents.first().offset);

    // QSaveFile would write through a link to its target; drop the link itself.
    if (QFileInfo(path).isSymLink() && !QFile::remove(path))
        return false;
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;

    const std::unique_ptr<char[]> chunk(new char[copy_chunk]);
    const auto give_up = [&file] {
        file.cancelWriting();
        file.commit();
        return false;
    };
    for (qsizetype piece = 0; piece < extents.size(); ++piece) {
        const VolumeExtent &extent = extents.at(piece);
        if (!volume_platform::seek(handle, extent.offset))
            return give_up();
        qint64 remaining = extent.length;
        while (remaining > 0) {
            const qint64 n = volume_platform::read(handle, chunk.get(), qMin(remaining, copy_chunk));
            if (n < 0)
                return give_up();
            if (n == 0)
                break; // end of the volume: keep what it had
            if (file.write(chunk.get(), n) != n)
                return give_up();
            remaining -= n;
        }
        // A piece cut short by the end of the volume ends the photo there;
        // later pieces would join bytes that do not belong together.
        if (remaining > 0) {
            file.commit();
            return false;
        }
    }
    // QSaveFile::commit() links a file whose buffered tail could not be
    // written and still says true: every byte must be out before it.
    if (!file.flush() || file.size() != total)
        return give_up();
    return file.commit();
}
