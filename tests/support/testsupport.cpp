#include "testsupport.h"
#include "cardimage.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImageWriter>
#include <QPainter>
#include <QProcess>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <unistd.h>

namespace testsupport {

QImage make_picture(int width, int height, int seed)
{
    QImage picture(width, height, QImage::Format_RGB32);
    QRandomGenerator random(quint32(seed) * 2654435761u + 1);
    const int hue = int(random.bounded(360));
    for (int y = 0; y < height; ++y) {
        QRgb *line = reinterpret_cast<QRgb *>(picture.scanLine(y));
        for (int x = 0; x < width; ++x)
            line[x] = qRgb((x * 255 / qMax(1, width - 1) + seed * 37) & 0xFF,
                           (y * 255 / qMax(1, height - 1) + seed * 11) & 0xFF, ((x + y) * 3 + hue) & 0xFF);
    }
    QPainter painter(&picture);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    for (int i = 0; i < 12; ++i) {
        painter.setBrush(QColor::fromHsv(int(random.bounded(360)), 160, 220));
        const int w = 10 + int(random.bounded(qMax(11, width / 3)));
        const int h = 10 + int(random.bounded(qMax(11, height / 3)));
        painter.drawEllipse(int(random.bounded(width)), int(random.bounded(height)), w, h);
    }
    painter.end();
    // a little sensor noise keeps the entropy-coded data photo-like
    for (int i = 0; i < width * height / 8; ++i) {
        const int x = int(random.bounded(width));
        const int y = int(random.bounded(height));
        const QRgb c = picture.pixel(x, y);
        const int d = int(random.bounded(31)) - 15;
        picture.setPixel(x, y, qRgb(qBound(0, qRed(c) + d, 255), qBound(0, qGreen(c) + d, 255),
                                    qBound(0, qBlue(c) + d, 255)));
    }
    return picture;
}

QByteArray qt_jpeg(const QImage &picture, int quality, bool progressive)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, "JPEG");
    writer.setQuality(quality);
    writer.setProgressiveScanWrite(progressive);
    writer.write(picture);
    return bytes;
}

QByteArray cjpeg(const QImage &picture, const QStringList &options)
{
    const QImage rgb = picture.convertToFormat(QImage::Format_RGB888);
    QByteArray ppm = "P6\n" + QByteArray::number(rgb.width()) + ' ' + QByteArray::number(rgb.height()) + "\n255\n";
    for (int y = 0; y < rgb.height(); ++y)
        ppm.append(reinterpret_cast<const char *>(rgb.constScanLine(y)), rgb.width() * 3);
    QByteArray jpeg;
    return run_tool("cjpeg", options, &jpeg, ppm) ? jpeg : QByteArray();
}

QByteArray with_exif_thumbnail(const QByteArray &jpeg, const QImage &thumbnail)
{
    QTemporaryDir dir;
    const QString photo = dir.filePath("photo.jpg"), thumb = dir.filePath("thumb.jpg");
    if (!write_file(photo, jpeg) || !write_file(thumb, qt_jpeg(thumbnail, 80))
        || !run_tool("exiftool", {"-q", "-overwrite_original", "-Make=Velvora Test", "-ThumbnailImage<=" + thumb, photo}))
        return {};
    return read_file(photo);
}

ProgramRun run_program(const QString &program, const QStringList &arguments, const QProcessEnvironment &environment,
                       const QByteArray &input)
{
    QProcess process;
    process.setProcessEnvironment(environment);
    process.start(program, arguments);
    process.write(input);
    process.closeWriteChannel();
    if (!process.waitForFinished(300000)) {
        process.kill();
        process.waitForFinished();
        return {-1, true, {}, process.errorString().toLocal8Bit()};
    }
    return {process.exitCode(), process.exitStatus() != QProcess::NormalExit, process.readAllStandardOutput(),
            process.readAllStandardError()};
}

bool run_tool(const QString &program, const QStringList &arguments, QByteArray *output, const QByteArray &input)
{
    const ProgramRun run = run_program(program, arguments, QProcessEnvironment::systemEnvironment(), input);
    if (output)
        *output = run.out;
    return !run.crashed && run.exit_code == 0;
}

QStringList missing_tools(const QStringList &tools)
{
    QStringList missing;
    for (const QString &tool : tools) {
        if (QStandardPaths::findExecutable(tool).isEmpty())
            missing.append(tool);
    }
    return missing;
}

QStringList as_nobody(const QStringList &command)
{
    return QStringList{"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"} + command;
}

QString why_not_as_nobody()
{
    if (!missing_tools({"setpriv"}).isEmpty())
        return "setpriv is not installed";
    return run_tool("setpriv", as_nobody({"true"}).mid(1)) ? QString() : "cannot run programs as nobody here (needs root)";
}

bool open_to_everyone(const QString &path)
{
    return QFile::setPermissions(path, QFileDevice::Permissions(0x7755));
}

bool open_for_writing(const QString &path)
{
    return QFile::setPermissions(path, QFileDevice::Permissions(0x7777));
}

bool write_file(const QString &path, const QByteArray &content)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

QByteArray read_file(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QStringList entries_of(const QString &directory)
{
    return QDir(directory).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
}

QByteArray volume_of(const QList<QByteArray> &photos)
{
    QByteArray volume(512 * 4, '\0');
    for (const QByteArray &photo : photos) {
        volume += photo;
        volume.resize((volume.size() + 511) / 512 * 512 + 512 * 3, '\0');
    }
    return volume;
}

namespace {

double status_mib(const QByteArray &field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith(field))
            return line.mid(field.size()).trimmed().split(' ').value(0).toDouble() / 1024.0;
    return -1;
}

} // namespace

PeakMemory::PeakMemory()
{
    QFile clear(QStringLiteral("/proc/self/clear_refs"));
    if (!clear.open(QIODevice::WriteOnly) || clear.write("5") != 1)
        reason = QStringLiteral("the kernel's peak resident size cannot be reset here");
    clear.close();
    start_mib = status_mib("VmRSS:");
    if (start_mib < 0 && reason.isEmpty())
        reason = QStringLiteral("/proc/self/status gives no resident size");
}

double PeakMemory::growth_mib() const
{
    return status_mib("VmHWM:") - start_mib;
}

bool FatImage::create(const QString &path, qint64 size_bytes, const QString &label, const QStringList &mkfs_options)
{
    image_path = path;
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || !file.resize(size_bytes))
        return false;
    file.close();
    return run_tool("mkfs.fat", QStringList{"-F", "32", "-n", label} + mkfs_options + QStringList{path});
}

bool FatImage::make_folder(const QString &card_path)
{
    return run_tool("mmd", {"-i", image_path, "::" + card_path});
}

bool FatImage::put(const QString &card_path, const QByteArray &content)
{
    QTemporaryDir dir;
    const QString source = dir.filePath("content");
    return write_file(source, content) && run_tool("mcopy", {"-o", "-i", image_path, source, "::" + card_path});
}

bool FatImage::remove(const QString &card_path)
{
    return run_tool("mdel", {"-i", image_path, "::" + card_path});
}

LoopDevice::~LoopDevice()
{
    unmount();
    detach();
}

bool LoopDevice::attach(const QString &image, const QStringList &options)
{
    QByteArray output;
    if (run_tool("losetup", options + QStringList{"-f", "--show", image}, &output))
        node = QString::fromLocal8Bit(output).trimmed();
    return !node.isEmpty();
}

bool LoopDevice::mount_exfat(const QString &directory)
{
    if (run_tool("mount.exfat-fuse", {node, directory}))
        mount_point = directory;
    return !mount_point.isEmpty();
}

void LoopDevice::unmount()
{
    if (!mount_point.isEmpty() && !run_tool("umount", {mount_point}))
        run_tool("umount", {"-l", mount_point});
    mount_point.clear();
}

void LoopDevice::detach()
{
    if (!node.isEmpty())
        run_tool("losetup", {"-d", node});
    node.clear();
}

QString loop_unavailable_reason(const QStringList &tools)
{
    if (::geteuid() != 0)
        return "not root: loop devices cannot be attached here";
    const QStringList missing = missing_tools(tools + QStringList{"losetup"});
    if (!missing.isEmpty())
        return "not installed: " + missing.join(' ');
    if (!QFileInfo::exists("/dev/loop-control"))
        return "this machine has no loop devices (/dev/loop-control is missing)";
    if (tools.contains("mount.exfat-fuse") && !QFileInfo::exists("/dev/fuse"))
        return "FUSE is not available here (no /dev/fuse)";
    return {};
}

TmpfsMount::TmpfsMount(const QString &directory, const QString &size)
{
    if (run_tool("mount", {"-t", "tmpfs", "-o", "size=" + size, "tmpfs", directory}))
        point = directory;
}

TmpfsMount::~TmpfsMount()
{
    if (mounted())
        run_tool("umount", {point});
}

UnstorableDisk::UnstorableDisk(const QString &work_directory)
{
    why_not = loop_unavailable_reason({"mkfs.ext2", "mount"});
    const QString under = work_directory + "/backing", image = under + "/disk.img", point = work_directory + "/disk";
    if (!why_not.isEmpty() || !QDir().mkpath(under) || !QDir().mkpath(point))
        return;
    backing = std::make_unique<TmpfsMount>(under, "4m");
    if (!backing->mounted() || !make_blank_image(image, 64 << 20) || !run_tool("mkfs.ext2", {"-q", "-F", image})) {
        why_not = "cannot make an ext2 image on a small tmpfs here";
        return;
    }
    // Whatever the tmpfs has left goes to a filler: the image's holes can no longer be filled.
    QFile filler(under + "/filler");
    if (filler.open(QIODevice::WriteOnly)) {
        const QByteArray zeros(64 * 1024, '\1');
        while (filler.write(zeros) == zeros.size() && filler.flush()) {
        }
    }
    if (!loop.attach(image) || !run_tool("mount", {"-t", "ext2", loop.node, point})) {
        why_not = "cannot attach and mount an ext2 image here";
        return;
    }
    loop.mount_point = point;
}

bool make_blank_image(const QString &path, qint64 size)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.resize(size);
}

bool make_exfat_image(const QString &path, qint64 size, const QString &label, const QStringList &options)
{
    return make_blank_image(path, size) && run_tool("mkfs.exfat", options + QStringList{"-L", label, path});
}

bool SampleCard::make(const QString &directory, QString *error)
{
    image = directory + "/card.img";
    live = directory + "/live";
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("VELVORA_MAKE_PHOTO", VELVORA_MAKE_PHOTO_PATH);
    const ProgramRun made = run_program("bash", {VELVORA_SOURCE_DIR "/scripts/make-sample-card.sh", image}, environment);
    *error = made.exit_code == 0 ? QString() : "make-sample-card.sh failed: " + QString::fromLocal8Bit(made.err);
    const QString expected = image + ".expected/";
    live_paths = QString::fromUtf8(read_file(expected + "live.txt")).split('\n', Qt::SkipEmptyParts);
    deleted_paths = QString::fromUtf8(read_file(expected + "deleted.txt")).split('\n', Qt::SkipEmptyParts);
    deleted.clear();
    for (const QString &path : std::as_const(deleted_paths))
        deleted.append(read_file(expected + "deleted/" + QFileInfo(path).fileName()));
    open_to_everyone(directory);
    open_to_everyone(image);
    if (error->isEmpty() && !(QDir().mkpath(live) && run_tool("mcopy", {"-s", "-n", "-i", image, "::/*", live})))
        *error = "mcopy could not copy the live files off the card";
    return error->isEmpty();
}

QStringList SampleCard::recovered_names() const
{
    QStringList names;
    for (const QString &path : deleted_paths)
        names.append(QFileInfo(path).fileName());
    // beach.jpg is an 8.3 name that no other name on the card resembles: its B is lost
    return names.replaceInStrings(QStringLiteral("beach.jpg"), QStringLiteral("_each.jpg"));
}

} // namespace testsupport
