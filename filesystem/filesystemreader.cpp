#include "filesystemreader.h"

#include "filesystemprotocol.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QProcess>

namespace proto = file_system_protocol;

namespace {

constexpr int poll_ms = 100;

QDateTime time_of(qint64 seconds)
{
    return seconds > 0 ? QDateTime::fromSecsSinceEpoch(seconds) : QDateTime();
}

} // namespace

FileSystemReader::FileSystemReader(VolumeSource &volume, qint64 size, quint32 sector_size)
    : volume(volume)
    , size(size)
    , sector_size(sector_size > 0 ? sector_size : 512)
{
}

QString FileSystemReader::helper_path()
{
    const QString here = QCoreApplication::applicationDirPath();
    const QString beside = QDir(here).filePath(QStringLiteral("velvora-fs-reader"));
    if (QFileInfo(beside).isExecutable())
        return beside;
    return QDir(here).filePath(QStringLiteral("../libexec/velvora-fs-reader"));
}

FileSystemReader::Outcome FileSystemReader::read(FileSystemView &view)
{
    view = FileSystemView();
    failure_text.clear();
    used_runs = 0;
    deadline = QDeadlineTimer(time_limit_ms);

    QProcess helper;
    helper.setProgram(helper_path());
    helper.setStandardErrorFile(QProcess::nullDevice());
    helper.start(QIODevice::ReadWrite);
    if (!helper.waitForStarted(int(qMax(qint64(1), deadline.remainingTime()))))
        return fail(helper, tr("The file system reader could not be started."));
    helper.write(reinterpret_cast<const char *>(&size), sizeof size);
    helper.write(reinterpret_cast<const char *>(&sector_size), sizeof sector_size);

    for (;;) {
        char tag = 0;
        if (!take(helper, &tag, 1))
            return fail(helper, failure_text);
        bool ok = false;
        switch (tag) {
        case proto::Read:
            ok = answer_read(helper);
            break;
        case proto::Geometry:
            ok = take_geometry(helper, view);
            break;
        case proto::File:
            ok = take_file(helper, view);
            break;
        case proto::Used:
            ok = take_used(helper, view);
            break;
        case proto::NoFileSystem:
            helper.waitForFinished(poll_ms);
            helper.kill();
            helper.waitForFinished(-1);
            return Outcome::NoFileSystem;
        case proto::Done:
            if (!view.is_read())
                return fail(helper, tr("The file system reader sent no geometry."));
            helper.closeWriteChannel();
            if (!helper.waitForFinished(poll_ms))
                helper.kill();
            helper.waitForFinished(-1);
            if (used_runs > most_used_runs)
                view.allocation.clear();
            view.restore_first_letters();
            view.index_deleted();
            return Outcome::Read;
        default:
            break;
        }
        if (!ok)
            return fail(helper, failure_text.isEmpty() ? tr("The file system reader sent what it should not.")
                                                       : failure_text);
    }
}

FileSystemReader::Outcome FileSystemReader::fail(QProcess &helper, const QString &why)
{
    failure_text = why.isEmpty() ? tr("The file system reader ended unexpectedly.") : why;
    helper.kill();
    helper.waitForFinished(-1);
    return Outcome::Failed;
}

// Waits for count bytes from the helper, within the time limit.
bool FileSystemReader::take(QProcess &helper, void *buffer, qint64 count)
{
    while (helper.bytesAvailable() < count) {
        if (keep_going && !keep_going()) {
            failure_text = tr("The file system reading was stopped.");
            return false;
        }
        const qint64 left = deadline.remainingTime();
        if (left <= 0) {
            failure_text = tr("The file system reader took too long.");
            return false;
        }
        if (!helper.waitForReadyRead(int(qMin<qint64>(left, poll_ms))) && helper.state() == QProcess::NotRunning
            && helper.bytesAvailable() < count)
            return false;
    }
    return helper.read(static_cast<char *>(buffer), count) == count;
}

bool FileSystemReader::take_string(QProcess &helper, QString *text)
{
    quint32 length = 0;
    if (!take(helper, &length, sizeof length) || length > proto::longest_string)
        return false;
    QByteArray bytes(length, Qt::Uninitialized);
    if (!take(helper, bytes.data(), length))
        return false;
    *text = QString::fromUtf8(bytes);
    return true;
}

bool FileSystemReader::answer_read(QProcess &helper)
{
    qint64 offset = 0;
    qint64 count = 0;
    if (!take(helper, &offset, sizeof offset) || !take(helper, &count, sizeof count) || offset < 0 || count < 0
        || count > proto::largest_read)
        return false;
    QByteArray bytes(count, Qt::Uninitialized);
    qint64 got = 0;
    while (got < count && offset + got < size) {
        const qint64 n = volume.read_at(offset + got, bytes.data() + got, qMin(count - got, size - offset - got));
        if (n <= 0)
            break;
        got += n;
    }
    const qint64 answer = got > 0 || count == 0 || offset >= size ? got : -1;
    helper.write(reinterpret_cast<const char *>(&answer), sizeof answer);
    if (answer > 0)
        helper.write(bytes.constData(), answer);
    return true;
}

bool FileSystemReader::take_geometry(QProcess &helper, FileSystemView &view)
{
    quint8 fat_family = 0;
    quint8 fat32 = 0;
    if (!take(helper, &fat_family, 1) || !take(helper, &fat32, 1) || !take(helper, &view.block_size, 8)
        || !take(helper, &view.cluster_size, 8) || !take(helper, &view.data_start, 8) || !take_string(helper, &view.type))
        return false;
    view.fat_family = fat_family != 0;
    view.fat32 = fat32 != 0;
    return view.block_size > 0 && view.cluster_size > 0 && view.data_start >= 0 && view.data_start < size;
}

bool FileSystemReader::take_file(QProcess &helper, FileSystemView &view)
{
    quint8 flags = 0;
    FileEntry file;
    qint64 times[3] = {};
    quint32 run_count = 0;
    if (!take(helper, &flags, 1) || !take(helper, &file.size, 8) || !take(helper, &file.first_offset, 8)
        || !take(helper, &file.first_cluster, 4) || !take(helper, times, sizeof times)
        || !take_string(helper, &file.name) || !take_string(helper, &file.folder)
        || !take(helper, &run_count, 4) || run_count > proto::most_runs)
        return false;
    qint64 in_runs = 0;
    for (quint32 i = 0; i < run_count; ++i) {
        VolumeExtent run;
        if (!take(helper, &run.offset, 8) || !take(helper, &run.length, 8))
            return false;
        // runs outside the volume are the file system's nonsense, not the volume's
        if (run.offset >= 0 && run.length > 0 && run.offset <= size - run.length && in_runs < file.size) {
            file.runs.append(run);
            in_runs += run.length;
        }
    }
    if (file.size < 0 || file.size > size || file.first_offset >= size || view.files.size() >= most_files)
        return true;
    if (keep_name && !keep_name(file.name))
        return true;
    file.deleted = flags & proto::Deleted;
    file.short_name_only = flags & proto::ShortNameOnly;
    file.modified = time_of(times[0]);
    file.created = time_of(times[1]);
    file.accessed = time_of(times[2]);
    view.files.append(file);
    return true;
}

bool FileSystemReader::take_used(QProcess &helper, FileSystemView &view)
{
    qint64 offset = 0;
    qint64 length = 0;
    if (!take(helper, &offset, 8) || !take(helper, &length, 8))
        return false;
    if (++used_runs <= most_used_runs)
        view.allocation.add_used(offset, qMin(length, size - qMin(offset, size)));
    return true;
}
