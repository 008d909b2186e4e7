#pragma once

#include <QByteArray>
#include <QImage>
#include <QProcessEnvironment>
#include <QStringList>

#include "loopdevice.h"

// Real photographs and card images for the tests, and programs run to their end, also as nobody.
namespace testsupport {

// A distinct, photo-like picture: gradients, shapes and noise from seed.
QImage make_picture(int width, int height, int seed);
// Encoded by Qt's JPEG writer (starts FF D8 FF E0).
QByteArray qt_jpeg(const QImage &picture, int quality = 85, bool progressive = false);
// Encoded by cjpeg with options such as -restart 1 or -progressive; empty when cjpeg cannot run.
QByteArray cjpeg(const QImage &picture, const QStringList &options = {});
// With an EXIF APP1 segment holding thumbnail, written by exiftool; empty when it cannot run.
QByteArray with_exif_thumbnail(const QByteArray &jpeg, const QImage &thumbnail);

// What a program did: run_program waits up to 5 minutes for it.
struct ProgramRun
{
    int exit_code = -1;
    bool crashed = true;
    QByteArray out;
    QByteArray err;
};
ProgramRun run_program(const QString &program, const QStringList &arguments,
                       const QProcessEnvironment &environment = QProcessEnvironment::systemEnvironment(),
                       const QByteArray &input = {});
// True when the program exits 0; its stdout goes to output when given.
bool run_tool(const QString &program, const QStringList &arguments, QByteArray *output = nullptr,
              const QByteArray &input = {});
QStringList missing_tools(const QStringList &tools);

// The command run as the unprivileged user nobody (setpriv, no groups).
QStringList as_nobody(const QStringList &command);
// Empty when this process can run programs as nobody here, else why not.
QString why_not_as_nobody();
// Folders and files an unprivileged process can reach (0755), or also write into (0777).
bool open_to_everyone(const QString &path);
bool open_for_writing(const QString &path);

bool write_file(const QString &path, const QByteArray &content);
QByteArray read_file(const QString &path);
// Every entry of a folder by name, hidden ones included.
QStringList entries_of(const QString &directory);
// A volume of photos, each at a 512-byte boundary after a few sectors of zeros.
QByteArray volume_of(const QList<QByteArray> &photos);

// The growth of this process's resident memory at its peak since it was
// made, from the kernel (VmRSS, VmHWM); it resets the high-water mark, so
// earlier tests do not hide the growth. why_not() is empty where it can.
class PeakMemory
{
public:
    PeakMemory();
    QString why_not() const { return reason; }
    double growth_mib() const;

private:
    double start_mib = 0;
    QString reason;
};

// A FAT32 card image made with mkfs.fat (at least 34 MiB) and filled with mtools.
class FatImage
{
public:
    bool create(const QString &path, qint64 size_bytes, const QString &label = QStringLiteral("CARD"),
                const QStringList &mkfs_options = {});
    bool make_folder(const QString &card_path);
    bool put(const QString &card_path, const QByteArray &content);
    bool remove(const QString &card_path);
    QString path() const { return image_path; }

private:
    QString image_path;
};

} // namespace testsupport
