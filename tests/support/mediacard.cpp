#include "mediacard.h"

#include "loopdevice.h"
#include "mediafiles.h"
#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QtEndian>

namespace testsupport {

namespace {

constexpr qint64 mib = 1024 * 1024;

// True when bytes lie on the card at a sector boundary.
bool whole_on(const QByteArray &card, const QByteArray &bytes)
{
    for (qsizetype at = card.indexOf(bytes); at >= 0; at = card.indexOf(bytes, at + 1)) {
        if (at % 512 == 0)
            return true;
    }
    return false;
}

// The last top-level box of an ISO file with size 0.
QByteArray with_open_ended_last_box(QByteArray file)
{
    qint64 at = 0;
    for (qint64 next = 0; next + 8 <= file.size();) {
        at = next;
        const quint32 size = qFromBigEndian<quint32>(file.constData() + next);
        if (size < 8)
            return file;
        next += size;
    }
    qToBigEndian(quint32(0), file.data() + at);
    return file;
}

} // namespace

bool MediaCard::make(const QString &directory, QString *why, bool open_ended)
{
    deleted.clear();
    live.clear();
    if (!(*why = loop_unavailable_reason({"mkfs.exfat", "mount.exfat-fuse"})).isEmpty())
        return false;
    if (const QStringList missing = missing_media_tools(); !missing.isEmpty()) {
        *why = QStringLiteral("needs ") + missing.join(QLatin1Char(' '));
        return false;
    }
    if (camera_media().isEmpty()) {
        *why = QStringLiteral("ffmpeg or heif-enc could not make the camera's files");
        return false;
    }
    image = directory + QStringLiteral("/media-card.img");
    const QString point = directory + QStringLiteral("/media-card-mount");
    LoopDevice loop;
    if (!make_exfat_image(image, 64 * mib, QStringLiteral("CANON")) || !QDir().mkpath(point) || !loop.attach(image)
        || !loop.mount_exfat(point) || !QDir(point).mkpath(QStringLiteral("DCIM/100CANON"))) {
        *why = QStringLiteral("cannot attach and mount an exFAT image here");
        return false;
    }
    const QString folder = point + QStringLiteral("/DCIM/100CANON/");
    QMap<QString, QByteArray> written;
    bool ok = true;
    const auto put = [&](const QString &name, const QByteArray &bytes) {
        written.insert(name, bytes);
        ok = ok && write_file(folder + name, bytes);
    };
    for (int number = 1; number <= 4; ++number)
        put(QString::asprintf("IMG_%04d.JPG", number), qt_jpeg(make_picture(480, 360, 900 + number)));
    for (const MediaFile &file : camera_media())
        put(file.name, open_ended && file.name == QLatin1String("MVI_0002.MP4") ? with_open_ended_last_box(file.bytes)
                                                                                : file.bytes);
    const QStringList gone{"IMG_0002.JPG", "IMG_0004.JPG", "MVI_0001.MP4", "MVI_0002.MP4", "DJI_0003.MOV",
                           "IMG_0004.MOV", "PICT0005.AVI", "IMG_0006.HEIC"};
    for (const QString &name : gone)
        ok = ok && QFile::remove(folder + name);
    ok = ok && run_tool(QStringLiteral("sync"), {});
    loop.unmount();
    loop.detach();
    if (!ok) {
        *why = QStringLiteral("the files could not be written through exfat-fuse");
        return false;
    }
    const QByteArray card = read_file(image);
    for (auto file = written.cbegin(); file != written.cend(); ++file) {
        if (!gone.contains(file.key()))
            live.insert(file.key(), file.value());
        else if (whole_on(card, file.value()))
            deleted.insert(file.key(), file.value());
    }
    return true;
}

} // namespace testsupport
