#include "filesystemreader.h"

#include "filesystemprotocol.h"
#include "volumeplatform.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QProcess>

namespace proto = file_system_protocol;

namespace {

constexpr int poll_ms = 100;

// AddressSanitizer reserves terabytes of address space for its shadow: a
// helper built with it cannot start under the limit.
constexpr bool address_space_can_be_limited()
{
#if defined(__SANITIZE_ADDRESS__)
    return false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
    return false;
#endif
#endif
    return true;
}

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
    const QDeadlineTimer start_limit(time_limit_ms);

    QProcess helper;
    helper.setProgram(helper_path());
    helper.setStandardErrorFile(QProcess::nullDevice());
    if (address_space_can_be_limited())
        helper.setChildProcessModifier([] { volume_platform::limit_address_space(helper_address_space); });
    helper.start(QIODevice::ReadWrite);
    if (!helper.waitForStarted(int(qMax(qint64(1), start_limit.remainingTime())))) {
        helper.kill();
        helper.waitForFinished(-1);
        return fail(tr("The file system reader could not be started."));
    }
    helper.write(reinterpret_cast<const char *>(&size), sizeof size);
    helper.write(reinterpret_cast<const char *>(&sector_size), sizeof sector_size);
    const Outcome outcome = converse(helper, view);
    helper.closeWriteChannel();
    if (outcome != Outcome::Read || !helper.waitForFinished(poll_ms))
        helper.kill();
    helper.waitForFinished(-1);
    return outcome;
}

FileSystemReader::Outcome FileSystemReader::converse(QIODevice &helper, FileSystemView &view)
{
    view = FileSystemView();
    failure_text.clear();
    spent = 0;
    folders_complete = false;
    last_folder.clear();
    deadline = QDeadlineTimer(time_limit_ms);

    for (;;) {
        char tag = 0;
        if (!take(helper, &tag, 1))
            return folders_complete && !stopped() ? finish(view) : fail(failure_text);
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
        case proto::Orphans:
            ok = view.is_read();
            folders_complete = ok;
            if (ok && deadline.remainingTime() > orphan_time_limit_ms)
                deadline = QDeadlineTimer(orphan_time_limit_ms);
            break;
        case proto::NoFileSystem:
            take_string(helper, &failure_text);
            return Outcome::NoFileSystem;
        case proto::OverBounds: {
            QString why;
            take_string(helper, &why);
            if (folders_complete)
                return finish(view); // the old entries alone ran over: the folders stand
            return fail(why.isEmpty() ? tr("The file system lists more than it can hold.") : why);
        }
        case proto::Done:
            if (!view.is_read())
                return fail(tr("The file system reader sent no geometry."));
            return finish(view);
        default:
            break;
        }
        if (!ok) {
            // the folders are in: what the hunt for old entries sent is a bonus
            if (folders_complete && !stopped())
                return finish(view);
            return fail(failure_text.isEmpty() ? tr("The file system reader sent what it should not.")
                                               : failure_text);
        }
    }
}

bool FileSystemReader::stopped() const
{
    return keep_going && !keep_going();
}

FileSystemReader::Outcome FileSystemReader::finish(FileSystemView &view)
{
    failure_text.clear();
    view.restore_first_letters();
    view.index_deleted();
    return Outcome::Read;
}

FileSystemReader::Outcome FileSystemReader::fail(const QString &why)
{
    failure_text = why.isEmpty() ? tr("The file system reader ended unexpectedly.") : why;
    return Outcome::Failed;
}

// What a file, a run or a name costs here, counted against the budget; false
// once the file system has listed more than it may.
bool FileSystemReader::spend(qint64 bytes)
{
    spent += bytes;
    if (spent <= memory_budget)
        return true;
    failure_text = tr("The file system lists more files and pieces of files than the scan keeps in memory.");
    return false;
}

// Waits for count bytes from the helper, within the time limit.
bool FileSystemReader::take(QIODevice &helper, void *buffer, qint64 count)
{
    auto *process = qobject_cast<QProcess *>(&helper);
    while (helper.bytesAvailable() < count) {
        if (stopped()) {
            failure_text = tr("The file system reading was stopped.");
            return false;
        }
        const qint64 left = deadline.remainingTime();
        if (left <= 0) {
            if (!folders_complete)
                failure_text = tr("The file system reader took too long.");
            return false;
        }
        const bool running = process && process->state() != QProcess::NotRunning;
        if (!helper.waitForReadyRead(int(qMin<qint64>(left, poll_ms))) && !running
            && helper.bytesAvailable() < count)
            return false;
    }
    return helper.read(static_cast<char *>(buffer), count) == count;
}

bool FileSystemReader::take_string(QIODevice &helper, QString *text)
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

bool FileSystemReader::answer_read(QIODevice &helper)
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

bool FileSystemReader::take_geometry(QIODevice &helper, FileSystemView &view)
{
    quint8 fat_family = 0;
    quint8 fat32 = 0;
    if (view.is_read() || !take(helper, &fat_family, 1) || !take(helper, &fat32, 1)
        || !take(helper, &view.block_size, 8) || !take(helper, &view.cluster_size, 8)
        || !take(helper, &view.data_start, 8) || !take_string(helper, &view.type))
        return false;
    view.fat_family = fat_family != 0;
    view.fat32 = fat32 != 0;
    return view.block_size > 0 && view.cluster_size > 0 && view.data_start >= 0 && view.data_start < size;
}

bool FileSystemReader::take_file(QIODevice &helper, FileSystemView &view)
{
    quint8 flags = 0;
    FileEntry file;
    qint64 times[3] = {};
    quint32 run_count = 0;
    if (!view.is_read() || !take(helper, &flags, 1) || !take(helper, &file.size, 8)
        || !take(helper, &file.first_offset, 8) || !take(helper, &file.first_cluster, 4)
        || !take(helper, times, sizeof times) || !take_string(helper, &file.name) || !take_string(helper, &file.folder)
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
    if (file.size < 0 || file.size > size || file.first_offset >= size)
        return true;
    // Whatever its name, a deleted file's runs tell where a photo's pieces may go round.
    if ((flags & proto::Deleted) && !note_deleted_runs(file, view))
        return false;
    if (keep_name && !keep_name(file.name))
        return true;
    // The files of one folder come together: they share its name.
    if (file.folder == last_folder)
        file.folder = last_folder;
    else if (!spend(file.folder.size() * 2 + 32))
        return false;
    last_folder = file.folder;
    if (!spend(qint64(sizeof(FileEntry)) + file.name.size() * 2 + 32 + file.runs.size() * qint64(sizeof(VolumeExtent))
               + 64))
        return false;
    file.deleted = flags & proto::Deleted;
    file.short_name_only = flags & proto::ShortNameOnly;
    file.shared_content = !file.deleted && (flags & proto::SharedRuns);
    file.modified = time_of(times[0]);
    file.created = time_of(times[1]);
    file.accessed = time_of(times[2]);
    view.files.append(file);
    return true;
}

// A deleted entry without runs (its first cluster is in use again) still
// says where its file began and how long it was.
bool FileSystemReader::note_deleted_runs(const FileEntry &file, FileSystemView &view)
{
    VolumeExtents runs = file.runs;
    if (runs.isEmpty() && file.first_offset >= 0 && file.size > 0) {
        const qint64 clusters = (file.size + view.cluster_size - 1) / view.cluster_size;
        runs.append({file.first_offset, qMin(clusters * view.cluster_size, size - file.first_offset)});
    }
    for (const VolumeExtent &run : std::as_const(runs)) {
        if (!spend(64))
            return false;
        view.allocation.add_deleted(run.offset, run.length);
    }
    return true;
}

bool FileSystemReader::take_used(QIODevice &helper, FileSystemView &view)
{
    qint64 offset = 0;
    qint64 length = 0;
    if (!view.is_read() || !take(helper, &offset, 8) || !take(helper, &length, 8))
        return false;
    // a node of the map of used runs
    if (!spend(64))
        return false;
    view.allocation.add_used(offset, qMin(length, size - qMin(offset, size)));
    return true;
}
