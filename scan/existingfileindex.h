#pragma once

#include "filesystemreader.h"
#include "filesystemview.h"
#include "removabledevice.h"
#include "streamkey.h"
#include "volumesource.h"

#include <QCoreApplication>
#include <QMap>
#include <QString>

#include <functional>

// The photos still on a volume as files, known by the CRC-32 and length of
// their bytes so the raw scan does not offer them again: read through a
// mount point, or through the volume's own file system. A file system's
// entries are hostile like every byte of the card: bytes several entries
// share are read once, and the whole index runs within a time budget that
// grows with the live bytes the volume really holds, not with the number of
// entries listing them.
class ExistingFileIndex
{
    Q_DECLARE_TR_FUNCTIONS(ExistingFileIndex)

public:
    using KeepGoing = std::function<bool()>;
    using Progress = std::function<void(int files)>;

    // The budget: this long, and a second more for every slowest_rate bytes
    // of live photos, slower than any card reads.
    static constexpr int base_budget_ms = 5000;
    static constexpr qint64 slowest_rate = 2 * 1024 * 1024;

    // Fills known with the files' keys.
    explicit ExistingFileIndex(QMap<StreamKey, bool> &known);

    // Asked between files and pieces of files: false ends the index (and the
    // reading of the file system) at once.
    void set_keep_going(KeepGoing keep_going) { this->keep_going = std::move(keep_going); }
    // Told the count of files looked at so far.
    void set_progress(Progress progress) { this->progress = std::move(progress); }

    // A JPEG photo by its name: the last suffix is JPG, JPEG, JPE or JFIF in
    // any case (IMG_0001.jpg, photo.backup.JPG, PXL_..._PORTRAIT.jpeg).
    static bool is_jpeg_file_name(const QString &name);

    // Reads the JPEG files' entries of the volume's file system into view;
    // on failure view stays empty and why says what went wrong (for a
    // volume without a file system, what was found instead).
    FileSystemReader::Outcome read_file_system(VolumeSource &volume, const RemovableDevice &device, int time_limit_ms,
                                               FileSystemView &view, QString *why);

    // The JPEG files under a folder (a mount point), hidden ones included.
    void index_folder(const QString &root);
    // The live JPEG files the file system lists, read through their runs,
    // on a volume of volume_size bytes.
    void index_file_system(VolumeSource &volume, const FileSystemView &view, qint64 volume_size);

    // Why the last index ended before every live photo was read; empty when
    // it did not, or when it was stopped.
    QString incomplete() const { return incomplete_text; }
    // The time the live photos of view may take to read, in ms.
    static qint64 time_budget_ms(const FileSystemView &view, qint64 volume_size);

private:
    // Bytes of one file, piece by piece, to a consumer; false when a read failed.
    using Content = std::function<bool(const std::function<void(const char *, qint64)> &consume)>;

    void index_file(const QString &path);
    void index_content(const Content &content);
    bool going() const { return !keep_going || keep_going(); }

    QMap<StreamKey, bool> &known;
    KeepGoing keep_going;
    Progress progress;
    QString incomplete_text;
};
