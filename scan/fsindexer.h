#pragma once

#include "crccalculator.h"
#include "filesystemreader.h"
#include "filesystemview.h"
#include "removabledevice.h"
#include "streamkey.h"
#include "volumesource.h"

#include <QMap>
#include <QObject>
#include <QString>

#include <atomic>
#include <functional>

// The index of the JPEG files still on a volume: reads the volume's file
// system, then notes the CRC-32 and length of every live JPEG file, read
// through a mount point (root path) or through the file system's own runs,
// so that the raw scan does not offer them as deleted. Runs on the scan's
// thread and ends early when running or index_existing drop.
class FsIndexer : public QObject
{
    Q_OBJECT

public:
    // A JPEG photo by its name: the last suffix is JPG, JPEG, JPE or JFIF in
    // any case (IMG_0001.jpg, photo.backup.JPG, PXL_..._PORTRAIT.jpeg).
    static bool is_jpeg_file_name(const QString &name);

    FsIndexer(const RemovableDevice &device, const std::atomic<bool> &running,
              const std::atomic<bool> &index_existing, QObject *parent = nullptr);

    void set_root_path(const QString &path) { root_path = path; }
    // How long the volume's file system may take to read before the scan
    // goes on without it.
    void set_file_system_time_limit(int ms) { file_system_time_limit_ms = ms; }

    void read_file_system(VolumeSource &volume);
    // True when there are live files to index: under the root path, or in
    // the file system read.
    bool will_index() const;
    void index_files(VolumeSource *volume);

    const FileSystemView &file_system() const { return view; }
    // Live files by CRC-32 and length.
    const QMap<StreamKey, bool> &known_files() const { return known_crcs; }

signals:
    void processedItem(int i);
    // When no file system could be read on the volume: why is empty when
    // none was found (a raw image, a reformatted card), else why reading it
    // failed (a damaged one).
    void file_system_unreadable(QString why);

private:
    // Bytes of one file, piece by piece, to a consumer; false when a read failed.
    using Content = std::function<bool(const std::function<void(const char *, qint64)> &consume)>;

    void index_existing_files();
    void index_file_system_files(VolumeSource &volume);
    void index_file(const QString &path);
    void index_content(const Content &content);

    const RemovableDevice &device;
    const std::atomic<bool> &running;
    const std::atomic<bool> &index_existing;
    QString root_path;
    FileSystemView view;
    int file_system_time_limit_ms = FileSystemReader::default_time_limit_ms;
    QMap<StreamKey, bool> known_crcs;
};
