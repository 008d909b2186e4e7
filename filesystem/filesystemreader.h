#pragma once

#include "filesystemview.h"
#include "volumesource.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QString>

#include <functional>

class QIODevice;

// Reads a volume's file system with The Sleuth Kit: its live and deleted
// files and the bytes it uses. The library runs in a helper process
// (velvora-fs-reader) that gets every byte from this one, through the scan's
// own volume source, so the same descriptor serves root and the desktop's
// disk service alike, and a damaged file system that crashes the library or
// sends it round in circles costs only that process: it is ended after a
// time limit and the scan goes on without the file system. What both
// processes keep is bounded in total: the helper's address space, and here
// the entries, runs and used bytes by what they cost together.
class FileSystemReader
{
    Q_DECLARE_TR_FUNCTIONS(FileSystemReader)

public:
    enum class Outcome { Read, NoFileSystem, Failed };
    using NameFilter = std::function<bool(const QString &name)>;
    using KeepGoing = std::function<bool()>;

    static constexpr int default_time_limit_ms = 20000;
    // How long the entries found in unused space (after a quick format) may
    // take on top of the folders; what came by then is kept.
    static constexpr int default_orphan_time_limit_ms = 5000;
    // Memory for files, their runs and the used bytes together; a file
    // system that lists more is not used.
    static constexpr qint64 memory_budget = 32 * 1024 * 1024;
    // The helper's address space: the library's own tables and buffers
    // (a folder whose chain runs through every free cluster) stop there.
    static constexpr qint64 helper_address_space = 160 * 1024 * 1024;

    FileSystemReader(VolumeSource &volume, qint64 size, quint32 sector_size);

    // Only files whose name passes are kept (every file when unset).
    void set_name_filter(NameFilter filter) { keep_name = std::move(filter); }
    // Asked while waiting: false ends the reading at once.
    void set_keep_going(KeepGoing keep_going) { this->keep_going = std::move(keep_going); }
    void set_time_limit(int ms) { time_limit_ms = ms; }
    void set_orphan_time_limit(int ms) { orphan_time_limit_ms = ms; }

    Outcome read(FileSystemView &view);
    // The conversation with a helper whose output comes from helper (and
    // whose requests for bytes are answered into it): what read() does once
    // the helper runs; replays recorded output as well.
    Outcome converse(QIODevice &helper, FileSystemView &view);
    // Why the last read() failed.
    QString failure() const { return failure_text; }

    // The helper beside the running program, or in ../libexec from it.
    static QString helper_path();

private:
    bool take(QIODevice &helper, void *buffer, qint64 count);
    bool take_string(QIODevice &helper, QString *text);
    bool answer_read(QIODevice &helper);
    bool take_geometry(QIODevice &helper, FileSystemView &view);
    bool take_file(QIODevice &helper, FileSystemView &view);
    bool note_deleted_runs(const FileEntry &file, FileSystemView &view);
    bool take_used(QIODevice &helper, FileSystemView &view);
    bool spend(qint64 bytes);
    bool stopped() const;
    Outcome finish(FileSystemView &view);
    Outcome fail(const QString &why);

    VolumeSource &volume;
    qint64 size = 0;
    quint32 sector_size = 512;
    NameFilter keep_name;
    KeepGoing keep_going;
    int time_limit_ms = default_time_limit_ms;
    int orphan_time_limit_ms = default_orphan_time_limit_ms;
    QDeadlineTimer deadline;
    QString failure_text;
    qint64 spent = 0;
    bool folders_complete = false; // everything but the orphans is in
    QString last_folder;           // shared by the files of one folder
};
