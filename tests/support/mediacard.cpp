#include "mediacard.h"

#include "loopdevice.h"
#include "mediafiles.h"
#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QSet>
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

// Whether every cluster of file lies on the card, at a cluster boundary.
bool in_clusters(const QByteArray &card, const QByteArray &file, qint64 cluster)
{
    QSet<QByteArray> clusters;
    for (qint64 at = 0; at + cluster <= card.size(); at += cluster)
        clusters.insert(card.mid(at, cluster));
    for (qint64 at = 0; at < file.size(); at += cluster) {
        const QByteArray piece = file.mid(at, cluster);
        if (piece.size() == cluster ? !clusters.contains(piece) : !card.contains(piece))
            return false;
    }
    return true;
}

// Where the frame at frame_in_file of a clip in clusters lies on the card, or -1.
qint64 frame_on(const QByteArray &card, const QByteArray &clip, qint64 frame_in_file, qint64 cluster)
{
    const QByteArray frame_cluster = clip.mid(frame_in_file / cluster * cluster, cluster);
    for (qint64 at = card.indexOf(frame_cluster); at >= 0; at = card.indexOf(frame_cluster, at + 1)) {
        if (at % cluster == 0)
            return at + frame_in_file % cluster;
    }
    return -1;
}

// What fills the holes and lies between the pieces: noise or text.
QByteArray filler(qint64 size, int seed)
{
    QByteArray bytes;
    bytes.reserve(size);
    QRandomGenerator random(quint32(seed) + 11);
    for (int line = 0; bytes.size() < size; ++line) {
        if (seed % 2 == 0)
            bytes.append(char(random.bounded(256)));
        else
            bytes.append(QString::asprintf("%06d dash cam log of file %d\n", line, seed).toLatin1());
    }
    bytes.truncate(size);
    return bytes;
}

// Syncs the card's writes and lets the loop device go; false, with why,
// when a write failed.
bool release(LoopDevice &loop, bool written, QString *why)
{
    written = written && run_tool(QStringLiteral("sync"), {});
    loop.unmount();
    loop.detach();
    if (!written)
        *why = QStringLiteral("the files could not be written through exfat-fuse");
    return written;
}

} // namespace

bool MediaCard::make_in_pieces(const QString &directory, QString *why)
{
    deleted.clear();
    live.clear();
    in_pieces.clear();
    live_frame = -1;
    deleted_frame = -1;
    if (!(*why = loop_unavailable_reason({"mkfs.exfat", "mount.exfat-fuse"})).isEmpty())
        return false;
    if (const QStringList missing = missing_media_tools(); !missing.isEmpty()) {
        *why = QStringLiteral("needs ") + missing.join(QLatin1Char(' '));
        return false;
    }
    const MediaFile *clip = media_named(QStringLiteral("PICT0008.AVI"));
    const MediaFile *gone_clip = media_named(QStringLiteral("PICT0005.AVI"));
    if (!clip || !gone_clip) {
        *why = QStringLiteral("ffmpeg or heif-enc could not make the camera's files");
        return false;
    }
    constexpr qint64 cluster = 4096;
    qint64 frame_in_file = -1;
    const QByteArray clip_bytes = with_frame_aligned_after(clip->bytes, 64 * 1024, &frame_in_file);
    qint64 gone_frame_in_file = -1;
    const QByteArray gone_clip_bytes = with_frame_aligned_after(gone_clip->bytes, 64 * 1024, &gone_frame_in_file);
    image = directory + QStringLiteral("/media-pieces.img");
    const QString point = directory + QStringLiteral("/media-pieces-mount");
    LoopDevice loop;
    if (!make_exfat_image(image, 32 * mib, QStringLiteral("CANON"), {QStringLiteral("-c"), QStringLiteral("4K")})
        || !QDir().mkpath(point) || !loop.attach(image) || !loop.mount_exfat(point)
        || !QDir(point).mkpath(QStringLiteral("DCIM/100CANON")) || !QDir(point).mkpath(QStringLiteral("MISC"))) {
        *why = QStringLiteral("cannot attach and mount an exFAT image here");
        return false;
    }
    const QString misc = point + QStringLiteral("/MISC/");
    const QString folder = point + QStringLiteral("/DCIM/100CANON/");
    bool ok = !clip_bytes.isEmpty() && !gone_clip_bytes.isEmpty();
    // Holes of 8 to 24 KiB between kept files of 4 to 12 KiB: every file
    // written next runs across several of them.
    constexpr int pairs = 160;
    for (int i = 0; i < pairs && ok; ++i) {
        ok = write_file(misc + QString::asprintf("HOLE%04d.BIN", i), filler((2 + i * 3 % 5) * cluster, 2 * i))
            && write_file(misc + QString::asprintf("KEEP%04d.BIN", i), filler((1 + i % 3) * cluster, 2 * i + 1));
    }
    for (int i = 0; i < pairs && ok; ++i)
        ok = QFile::remove(misc + QString::asprintf("HOLE%04d.BIN", i));
    QMap<QString, QByteArray> written;
    for (const QString &name : {QStringLiteral("IMG_0006.HEIC"), QStringLiteral("MVI_0001.MP4"),
                                QStringLiteral("DJI_0003.MOV")}) {
        const MediaFile *file = media_named(name);
        written.insert(name, file ? file->bytes : QByteArray());
        ok = ok && file && write_file(folder + name, file->bytes);
    }
    written.insert(gone_clip->name, gone_clip_bytes);
    ok = ok && write_file(folder + gone_clip->name, gone_clip_bytes);
    ok = ok && write_file(folder + clip->name, clip_bytes);
    for (auto file = written.cbegin(); file != written.cend() && ok; ++file)
        ok = QFile::remove(folder + file.key());
    for (int i = 1; i < pairs && ok; i += 2)
        ok = QFile::remove(misc + QString::asprintf("KEEP%04d.BIN", i));
    if (!release(loop, ok, why))
        return false;
    const QByteArray card = read_file(image);
    live.insert(clip->name, clip_bytes);
    live_frame = frame_on(card, clip_bytes, frame_in_file, cluster);
    deleted_frame = frame_on(card, gone_clip_bytes, gone_frame_in_file, cluster);
    if (whole_on(card, clip_bytes) || whole_on(card, gone_clip_bytes) || live_frame < 0 || deleted_frame < 0) {
        *why = QStringLiteral("exfat-fuse did not split the clips");
        return false;
    }
    for (auto file = written.cbegin(); file != written.cend(); ++file) {
        if (!in_clusters(card, file.value(), cluster))
            continue;
        deleted.insert(file.key(), file.value());
        if (!whole_on(card, file.value()))
            in_pieces.append(file.key());
    }
    return true;
}

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
    if (!release(loop, ok, why))
        return false;
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
