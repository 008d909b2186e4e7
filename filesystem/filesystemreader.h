#pragma once

#include "filesystemview.h"
#include "volumesource.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QString>

#include <functional>

class QProcess;

// Reads a volume's file system with The Sleuth Kit: its live and deleted
// files and the bytes it uses. The library runs in a helper process
// (velvora-fs-reader) that gets every byte from this one, through the scan's
// own volume source, so the same descriptor serves root and the desktop's
// disk service alike, and a damaged file system that crashes the library or
// sends it round in circles costs only that process: it is ended after a
// time limit and the scan goes on without the file system.
class FileSystemReader
{
    Q_DECLARE_TR_FUNCTIONS(FileSystemReader)

public:
    enum class Outcome { Read, NoFileSystem, Failed };
    using NameFilter = std::function<bool(const QString &name)>;
    using KeepGoing = std::function<bool()>;

    static constexpr int default_time_limit_ms = 20000;
    // Files kept, and runs of used bytes; a file system claiming more is not used.
    static constexpr int most_files = 500000;
    static constexpr int most_used_runs = 1 << 20;

    FileSystemReader(VolumeSource &volume, qint64 size, quint32 sector_size);

    // Only files whose name passes are kept (every file when unset).
    void set_name_filter(NameFilter filter) { keep_name = std::move(filter); }
    // Asked while waiting: false ends the reading at once.
    void set_keep_going(KeepGoing keep_going) { this->keep_going = std::move(keep_going); }
    void set_time_limit(int ms) { time_limit_ms = ms; }

    Outcome read(FileSystemView &view);
    // Why the last read() failed.
    QString failure() const { return failure_text; }

    // The helper beside the running program, or in ../libexec from it.
    static QString helper_path();

private:
    bool take(QProcess &helper, void *buffer, qint64 count);
    bool take_string(QProcess &helper, QString *text);
    bool answer_read(QProcess &helper);
    bool take_geometry(QProcess &helper, FileSystemView &view);
    bool take_file(QProcess &helper, FileSystemView &view);
    bool take_used(QProcess &helper, FileSystemView &view);
    Outcome fail(QProcess &helper, const QString &why);

    VolumeSource &volume;
    qint64 size = 0;
    quint32 sector_size = 512;
    NameFilter keep_name;
    KeepGoing keep_going;
    int time_limit_ms = default_time_limit_ms;
    QDeadlineTimer deadline;
    QString failure_text;
    int used_runs = 0;
};
