#include "grownvideo.h"

#include "mediafiles.h"

#include <QFile>
#include <QtEndian>

namespace testsupport {

namespace {

// Where the top-level mdat box of an ISO file starts, or -1.
qint64 mdat_of(const QByteArray &file)
{
    for (qint64 at = 0; at + 8 <= file.size();) {
        const quint32 size = qFromBigEndian<quint32>(file.constData() + at);
        if (file.mid(at + 4, 4) == "mdat")
            return at;
        if (size < 8)
            return -1;
        at += size;
    }
    return -1;
}

} // namespace

bool write_grown_video_card(const QString &path, qint64 size, qint64 offset, QString *why)
{
    const MediaFile *video = media_named(QStringLiteral("MVI_0002.MP4"));
    if (!video) {
        *why = QStringLiteral("needs ffmpeg and heif-enc for the camera's videos");
        return false;
    }
    const QByteArray &small = video->bytes;
    const qint64 mdat = mdat_of(small);
    const qint64 free_box = mdat - 8;
    if (mdat < 8 || small.mid(free_box + 4, 4) != "free" || qFromBigEndian<quint32>(small.constData() + free_box) != 8
        || size <= small.size()) {
        *why = QStringLiteral("ffmpeg's MP4 has no 8-byte free box before its mdat");
        return false;
    }
    QByteArray header(16, '\0');
    qToBigEndian(quint32(1), header.data());
    header.replace(4, 4, "mdat", 4);
    qToBigEndian(quint64(size - free_box), header.data() + 8);
    QFile file(path);
    const bool written = file.open(QIODevice::WriteOnly) && file.resize(offset + size + (1 << 20))
        && file.seek(offset) && file.write(small.left(free_box)) == free_box && file.write(header) == header.size()
        && file.write(small.mid(mdat + 8)) == small.size() - mdat - 8;
    if (!written)
        *why = QStringLiteral("%1 could not be written: %2").arg(path, file.errorString());
    return written;
}

} // namespace testsupport
