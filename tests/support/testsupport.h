#pragma once

#include <QByteArray>
#include <QImage>
#include <QString>
#include <QStringList>

// Real photographs and real card images for the tests: JPEGs from Qt's
// encoder and libjpeg-turbo's cjpeg, EXIF thumbnails from exiftool, FAT32
// images from mkfs.fat and mtools.
namespace testsupport {

// A distinct, photo-like picture: gradients, shapes and noise from seed.
QImage make_picture(int width, int height, int seed);

// Encoded by Qt's JPEG writer (starts FF D8 FF E0).
QByteArray qt_jpeg(const QImage &picture, int quality = 85);

// Encoded by cjpeg with the given options (for example -restart 1,
// -progressive). Empty when cjpeg cannot be run.
QByteArray cjpeg(const QImage &picture, const QStringList &options = {});

// The same photograph with an EXIF APP1 segment holding a thumbnail, written
// by exiftool. Empty when exiftool cannot be run.
QByteArray with_exif_thumbnail(const QByteArray &jpeg, const QImage &thumbnail);

// Runs a program to its end; true when it exits 0. Output is collected into
// output when given.
bool run_tool(const QString &program, const QStringList &arguments, QByteArray *output = nullptr,
              const QByteArray &input = {});

// What a program printed on stdout, trimmed; empty when it failed.
QString tool_output(const QString &program, const QStringList &arguments);

// The names of the tools that cannot be found on PATH.
QStringList missing_tools(const QStringList &tools);

// A FAT32 card image made with mkfs.fat and filled with mtools.
class FatImage
{
public:
    // Creates path with the given size (at least 34 MiB for FAT32).
    bool create(const QString &path, qint64 size_bytes, const QString &label = QStringLiteral("CARD"));
    bool mkdir(const QString &card_path);
    bool put(const QString &card_path, const QByteArray &content);
    bool remove(const QString &card_path);
    // Copies every live file out of the card into directory.
    bool extract_all(const QString &directory);
    QString path() const { return image_path; }

private:
    QString image_path;
};

// A loop device attached for the length of a test, and its FUSE mount.
class LoopDevice
{
public:
    ~LoopDevice();
    LoopDevice() = default;
    LoopDevice(const LoopDevice &) = delete;
    LoopDevice &operator=(const LoopDevice &) = delete;

    bool attach(const QString &image, const QStringList &options = {});
    bool mount_exfat(const QString &directory);
    void unmount();
    void detach();
    QString name() const;

    QString node;
    QString mount_point;
};

// Writes content to path; true on success.
bool write_file(const QString &path, const QByteArray &content);
QByteArray read_file(const QString &path);

} // namespace testsupport
